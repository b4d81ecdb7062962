#include "local_api_settings.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

#include <Poco/Exception.h>
#include <Poco/Net/IPAddress.h>
#include <Poco/Net/NetworkInterface.h>

#include "config_readers.h"

namespace velmora::Utils {

const std::vector<BodyLimitKey>& bodyLimitKeys() {
    static const std::vector<BodyLimitKey> keys = {
        {kMaxJsonBodyKey, 1024 * 1024, 1024, 2147483647},
        {kMaxUploadKey, 512LL * 1024 * 1024, 1024, 2147483647},
        {kUploadBudgetKey, 1024LL * 1024 * 1024, 1024 * 1024, 2147483647},
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

std::vector<Poco::Net::IPAddress> addressesOfThisHost() {
    std::vector<Poco::Net::IPAddress> addresses;
    try {
        for (const auto& [index, interface] : Poco::Net::NetworkInterface::map(false, false)) {
            for (const auto& entry : interface.addressList()) {
                addresses.push_back(entry.get<Poco::Net::NetworkInterface::IP_ADDRESS>());
            }
        }
    } catch (const Poco::Exception&) {
        // No list of interfaces: only the addresses every computer has.
    }
    return addresses;
}

bool isAddressOfThisHost(const std::string& text, const std::vector<Poco::Net::IPAddress>& addresses) {
    Poco::Net::IPAddress address;
    if (text.empty() || !Poco::Net::IPAddress::tryParse(text, address)) {
        return false;
    }
    if (address.isWildcard() || address.isLoopback()) {
        return true;
    }
    return std::find(addresses.begin(), addresses.end(), address) != addresses.end();
}

bool isAddressOfThisHost(const std::string& text) {
    return isAddressOfThisHost(text, addressesOfThisHost());
}

std::vector<std::string> splitOriginList(const std::string& text) {
    std::vector<std::string> origins;
    std::string current;
    for (char c : text + ",") {
        if (c == ',' || c == ' ' || c == '\t') {
            if (!current.empty()) {
                origins.push_back(current);
            }
            current.clear();
        } else {
            current += c;
        }
    }
    return origins;
}

std::string originProblem(const std::string& origin) {
    std::string rest;
    for (const char* scheme : {"http://", "https://"}) {
        if (origin.rfind(scheme, 0) == 0) {
            rest = origin.substr(std::string(scheme).size());
        }
    }
    if (rest.empty()) {
        return "expected an origin such as http://host:port, got \"" + origin + "\"";
    }
    // Browsers send the origin without a path or a trailing slash, so an entry
    // with one would never match.
    for (unsigned char c : rest) {
        if (!std::isalnum(c) && c != '.' && c != '-' && c != ':' && c != '[' && c != ']') {
            return "an origin is scheme, host and port only, got \"" + origin + "\"";
        }
    }
    return {};
}

std::string tokenProblem(const std::string& token) {
    for (unsigned char c : token) {
        if (c <= ' ' || c > '~') {
            return "a token is printable ASCII without blanks";
        }
    }
    return {};
}

LocalApiSettings readLocalApiSettings(const Config& config) {
    LocalApiSettings settings{};
    settings.maxJsonBodyBytes = limitValue(config, limitKey(kMaxJsonBodyKey));
    settings.maxUploadBytes = limitValue(config, limitKey(kMaxUploadKey));
    settings.uploadBudgetBytes = limitValue(config, limitKey(kUploadBudgetKey));
    settings.bindAddress = kDefaultBindAddress;
    auto bind = config.find(kBindAddressKey);
    if (bind != config.end() && bind->second.isString() && isBindableAddress(bind->second.toString())) {
        settings.bindAddress = bind->second.toString();
    }
    auto origins = config.find(kAllowedOriginsKey);
    if (origins != config.end() && origins->second.isString()) {
        settings.allowedOrigins = splitOriginList(origins->second.extract<std::string>());
    }
    // Any value at all asks for a token: a value the agent cannot read never opens the API.
    auto token = config.find(kApiTokenKey);
    if (token != config.end() && !token->second.isEmpty()) {
        settings.token = token->second.convert<std::string>();
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
