#include "local_api_settings.h"

#include <stdexcept>

#include <Poco/Net/IPAddress.h>

#include "config_readers.h"

namespace velmora::Utils {

const std::vector<BodyLimitKey>& bodyLimitKeys() {
    static const std::vector<BodyLimitKey> keys = {
        {kMaxJsonBodyKey, 1024 * 1024, 1024, 2147483647},
        {kMaxUploadKey, 512LL * 1024 * 1024, 1024, 2147483647},
    };
    return keys;
}

namespace {

using Config = std::unordered_map<std::string, Poco::Dynamic::Var>;

std::uint64_t limitValue(const Config& config, const BodyLimitKey& limit) {
    auto found = config.find(limit.key);
    if (found == config.end() || found->second.isEmpty() || !found->second.isInteger() ||
        found->second.isBoolean()) {
        return static_cast<std::uint64_t>(limit.defaultValue);
    }
    try {
        const std::int64_t value = found->second.convert<std::int64_t>();
        return static_cast<std::uint64_t>(value >= limit.min && value <= limit.max ? value
                                                                                   : limit.defaultValue);
    } catch (const std::exception&) {
        return static_cast<std::uint64_t>(limit.defaultValue);  // an unsigned value beyond the signed range
    }
}

const BodyLimitKey& limitKey(const char* key) {
    for (const auto& limit : bodyLimitKeys()) {
        if (std::string(limit.key) == key) {
            return limit;
        }
    }
    throw std::logic_error(std::string("not a body limit: ") + key);
}

}  // namespace

bool isBindableAddress(const std::string& text) {
    Poco::Net::IPAddress address;
    return !text.empty() && Poco::Net::IPAddress::tryParse(text, address);
}

LocalApiSettings readLocalApiSettings(const Config& config) {
    LocalApiSettings settings{};
    settings.maxJsonBodyBytes = limitValue(config, limitKey(kMaxJsonBodyKey));
    settings.maxUploadBytes = limitValue(config, limitKey(kMaxUploadKey));
    settings.bindAddress = kDefaultBindAddress;
    auto bind = config.find(kBindAddressKey);
    if (bind != config.end() && bind->second.isString() && isBindableAddress(bind->second.toString())) {
        settings.bindAddress = bind->second.toString();
    }
    return settings;
}

bool readMonitoringTlsVerify(const Config& config) {
    if (config.find(kMonitoringTlsVerifyKey) == config.end()) {
        return false;
    }
    Config copy{{kMonitoringTlsVerifyKey, config.at(kMonitoringTlsVerifyKey)}};
    try {
        return readConfigBool(copy, kMonitoringTlsVerifyKey);
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace velmora::Utils
