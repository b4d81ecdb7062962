#pragma once

// Opt-in limits and hardening of the local API and the cloud client: how large a
// request body may be, which address the listener binds, and whether the cloud's
// certificate is checked. None is seeded: an absent key means the default below,
// so a deployment that never set one behaves as the agent always did.

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include <Poco/Dynamic/Var.h>

namespace velmora::Utils {

inline constexpr const char* kMaxJsonBodyKey = "local_api_max_json_body_bytes";
inline constexpr const char* kMaxUploadKey = "local_api_max_upload_bytes";
inline constexpr const char* kBindAddressKey = "local_api_bind_address";
inline constexpr const char* kMonitoringTlsVerifyKey = "monitoring_tls_verify";

inline constexpr const char* kDefaultBindAddress = "0.0.0.0";  // all interfaces

// A body limit key: its default and the values it may take, in bytes, bounds included.
struct BodyLimitKey {
    const char* key;
    std::int64_t defaultValue;
    std::int64_t min;
    std::int64_t max;
};

// The configurations table reloads an "int" row as a 32-bit value, so no limit
// goes beyond that.
const std::vector<BodyLimitKey>& bodyLimitKeys();

struct LocalApiSettings {
    std::uint64_t maxJsonBodyBytes;
    std::uint64_t maxUploadBytes;
    std::string bindAddress;
};

// The settings in effect for `config`: each key's value when it is usable, the
// default otherwise. Does not lock: `config` is the caller's.
LocalApiSettings readLocalApiSettings(const std::unordered_map<std::string, Poco::Dynamic::Var>& config);
bool readMonitoringTlsVerify(const std::unordered_map<std::string, Poco::Dynamic::Var>& config);

// An address the listener can bind: an IPv4 or IPv6 literal, no host name, no port.
bool isBindableAddress(const std::string& text);

}  // namespace velmora::Utils
