#pragma once

// Opt-in limits and hardening of the local API and the cloud client: how large a
// request body may be, which address the listener binds, which browser pages may
// call it, whether callers must present a token, and whether the cloud's
// certificate is checked. None is seeded: an absent key means the default below,
// so a deployment that never set one behaves as the agent always did (but that
// browser pages are kept out).

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include <Poco/Dynamic/Var.h>
#include <Poco/Net/IPAddress.h>

namespace velmora::Utils {

inline constexpr const char* kMaxJsonBodyKey = "local_api_max_json_body_bytes";
inline constexpr const char* kMaxUploadKey = "local_api_max_upload_bytes";
// All request bodies being read or handled at once, together; a body that does
// not fit in what is left is answered 503.
inline constexpr const char* kUploadBudgetKey = "local_api_upload_budget_bytes";
inline constexpr const char* kBindAddressKey = "local_api_bind_address";
inline constexpr const char* kMonitoringTlsVerifyKey = "monitoring_tls_verify";
// Origins ("http://host:port") of browser pages allowed to call the API, separated
// by commas or blanks; empty: none.
inline constexpr const char* kAllowedOriginsKey = "local_api_allowed_origins";
// When not empty, every request must carry "Authorization: Bearer <token>".
inline constexpr const char* kApiTokenKey = "local_api_token";

inline constexpr const char* kDefaultBindAddress = "0.0.0.0";  // all interfaces

// A body limit or budget key: its default and the values it may take, in bytes, bounds included.
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
    std::uint64_t uploadBudgetBytes;
    std::string bindAddress;
    std::vector<std::string> allowedOrigins;
    std::string token;  // "" when no token is asked for
};

// The settings in effect for `config`: each key's value when it is usable, the
// default otherwise. Does not lock: `config` is the caller's.
LocalApiSettings readLocalApiSettings(const std::unordered_map<std::string, Poco::Dynamic::Var>& config);
bool readMonitoringTlsVerify(const std::unordered_map<std::string, Poco::Dynamic::Var>& config);

// An address the listener can bind: an IPv4 or IPv6 literal, no host name, no port.
bool isBindableAddress(const std::string& text);
// A bindable address that this computer has now: one of its interfaces' addresses,
// the wildcard (0.0.0.0, ::) or a loopback address. A listener on any other one
// cannot start.
bool isAddressOfThisHost(const std::string& text);
// The same against a list of this computer's addresses read before.
bool isAddressOfThisHost(const std::string& text, const std::vector<Poco::Net::IPAddress>& addresses);
// The addresses of this computer's interfaces, now.
std::vector<Poco::Net::IPAddress> addressesOfThisHost();

// The entries of a local_api_allowed_origins value, in order.
std::vector<std::string> splitOriginList(const std::string& text);
// "" when `origin` is a browser origin as the Origin header carries it: http:// or
// https://, a host, an optional port, nothing after; otherwise what is wrong.
std::string originProblem(const std::string& origin);
// "" when `token` can travel in an Authorization header: printable ASCII without
// blanks (or empty: no token); otherwise what is wrong.
std::string tokenProblem(const std::string& token);

}  // namespace velmora::Utils
