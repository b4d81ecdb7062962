#include "config_validation.h"

#include <cctype>
#include <cstdint>

#include "config_readers.h"
#include "config_store.h"
#include "db.h"
#include "local_api_settings.h"
#include "logger.h"
#include "storage_limits.h"

namespace velmora::Utils {
namespace {

using Engine::Logging::log;

[[noreturn]] void refuse(const std::string& key, const std::string& reason) {
    throw InvalidConfigError(key, reason);
}

// One of the runtime's own readers; its failure is a refusal of the key.
template <typename Read>
auto readOrRefuse(ConfigMap& config, const std::string& key, Read read) {
    try {
        return read(config, key);
    } catch (const std::runtime_error& e) {
        refuse(key, e.what());
    }
}

bool isDigits(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// A host name or an IPv4 address, nothing around it.
bool isPlainHost(const std::string& text) {
    if (text.empty() || text.size() > 253) {
        return false;
    }
    for (unsigned char c : text) {
        if (!std::isalnum(c) && c != '.' && c != '-' && c != '_') {
            return false;
        }
    }
    return true;
}

// How RestClient reads a base URL: an optional "http://" or "https://", a host, an
// optional ":port", an optional path. Kept a little stricter than the client (a
// plain host, port digits only, no blanks), so whatever passes here the client
// takes as well. "" when the URL is acceptable.
std::string baseUrlProblem(const std::string& url) {
    std::string rest = url;
    for (const std::string scheme : {"http://", "https://"}) {
        if (rest.rfind(scheme, 0) == 0) {
            rest.erase(0, scheme.size());
            break;
        }
    }
    const std::string got = " got \"" + url + "\"";
    if (rest.find("://") != std::string::npos) {
        return "expected an http:// or https:// URL," + got;
    }
    for (unsigned char c : url) {
        if (std::isspace(c) || std::iscntrl(c)) {
            return "a URL has no blanks or control characters," + got;
        }
    }
    const std::string hostPort = rest.substr(0, rest.find('/'));
    const auto colon = hostPort.find(':');
    if (!isPlainHost(hostPort.substr(0, colon))) {
        return "expected a URL with a host name or IPv4 address," + got;
    }
    if (colon != std::string::npos) {
        const std::string port = hostPort.substr(colon + 1);
        if (!port.empty() && (!isDigits(port) || port.size() > 5 || std::stoi(port) > 65535)) {
            return "the port of the URL must be 0-65535," + got;
        }
    }
    return {};
}

using Check = void (*)(ConfigMap&, const std::string&);

void anyText(ConfigMap& config, const std::string& key) {
    readOrRefuse(config, key, readConfigString);
}

void nonEmptyText(ConfigMap& config, const std::string& key) {
    if (readOrRefuse(config, key, readConfigString).empty()) {
        refuse(key, "must not be empty");
    }
}

void flag(ConfigMap& config, const std::string& key) {
    readOrRefuse(config, key, readConfigBool);
}

void moduleHost(ConfigMap& config, const std::string& key) {
    const std::string host = readOrRefuse(config, key, readConfigString);
    if (!isPlainHost(host)) {
        refuse(key, "expected a host name or IPv4 address without port or path, got \"" + host + "\"");
    }
}

void modulePort(ConfigMap& config, const std::string& key) {
    readOrRefuse(config, key, readConfigPort);
}

void serviceUrl(ConfigMap& config, const std::string& key) {
    const std::string problem = baseUrlProblem(readOrRefuse(config, key, readConfigString));
    if (!problem.empty()) {
        refuse(key, problem);
    }
}

// The monitoring service's port is kept as text.
void servicePort(ConfigMap& config, const std::string& key) {
    const std::string port = readOrRefuse(config, key, readConfigString);
    if (!isDigits(port) || port.size() > 5 || std::stoi(port) < 1 || std::stoi(port) > 65535) {
        refuse(key, "expected the digits of a port 1-65535, got \"" + port + "\"");
    }
}

// Milliseconds between two iterations of the cloud worker.
void requestPeriod(ConfigMap& config, const std::string& key) {
    constexpr std::int64_t kMin = 100;
    constexpr std::int64_t kMax = 24LL * 60 * 60 * 1000;
    const std::int64_t period = readOrRefuse(config, key, readConfigInt64);
    if (period < kMin || period > kMax) {
        refuse(key, "expected " + std::to_string(kMin) + " to " + std::to_string(kMax) + " ms, got " +
                        std::to_string(period));
    }
}

void storageLimit(ConfigMap& config, const std::string& key) {
    for (const auto& limit : storageLimitKeys()) {
        if (key == limit.key) {
            const std::int64_t value = readOrRefuse(config, key, readConfigInt64);
            if (value < limit.min || value > limit.max) {
                refuse(key, "expected " + std::to_string(limit.min) + " to " + std::to_string(limit.max) +
                                ", got " + std::to_string(value));
            }
            return;
        }
    }
}

void bodyLimit(ConfigMap& config, const std::string& key) {
    for (const auto& limit : bodyLimitKeys()) {
        if (key == limit.key) {
            const std::int64_t value = readOrRefuse(config, key, readConfigInt64);
            if (value < limit.min || value > limit.max) {
                refuse(key, "expected " + std::to_string(limit.min) + " to " + std::to_string(limit.max) +
                                " bytes, got " + std::to_string(value));
            }
            return;
        }
    }
}

void bindAddress(ConfigMap& config, const std::string& key) {
    const std::string address = readOrRefuse(config, key, readConfigString);
    if (!isBindableAddress(address)) {
        refuse(key, "expected an IPv4 or IPv6 address of this computer, got \"" + address + "\"");
    }
    if (!isAddressOfThisHost(address)) {
        refuse(key, address + " is no address of this computer (nor 0.0.0.0 or a loopback address)");
    }
}

void allowedOrigins(ConfigMap& config, const std::string& key) {
    for (const auto& origin : splitOriginList(readOrRefuse(config, key, readConfigString))) {
        const std::string problem = originProblem(origin);
        if (!problem.empty()) {
            refuse(key, problem);
        }
    }
}

void apiToken(ConfigMap& config, const std::string& key) {
    const std::string problem = tokenProblem(readOrRefuse(config, key, readConfigString));
    if (!problem.empty()) {
        refuse(key, problem);
    }
}

// How an update's value is held. For a text key where a number is a value in its
// own right (a level, an identifier, a token), a number or boolean is stored as
// its text, as the table keeps it anyway, so the map holds the value it will hold
// after the next start. For the other keys a number where text is expected (an
// address, a secret, a folder) is a mistake and refused.
enum class Held { Text, AsGiven };

void loggingLevel(ConfigMap& config, const std::string& key) {
    const std::string level = readOrRefuse(config, key, readConfigString);
    if (!Engine::Logging::isLoggingLevel(level)) {
        refuse(key,
               "expected trace, debug, info, warn, error, critical, off or a syslog priority 0-7, got \"" +
                   level + "\"");
    }
}

struct KeyRule {
    std::string key;
    Check check;
    Held held = Held::AsGiven;
};

// Every key the agent reads, with what it must hold. Other keys are stored as given.
const std::vector<KeyRule>& keyRules() {
    static const std::vector<KeyRule> rules = [] {
        const Held text = Held::Text;
        std::vector<KeyRule> table = {
            {"device_ip", moduleHost},
            {"device_port", modulePort},
            {"monitoring_service_type", anyText},
            {"monitoring_service_address", serviceUrl},
            {"monitoring_service_port", servicePort},
            {"monitoring_getting_tasks", flag},
            {"recognition_image_sending_enable", flag},
            {"monitoring_request_frequency", requestPeriod},
            {"velmora_monitoring_client_secret", anyText},
            {"velmora_monitoring_device_id", anyText, text},
            {"product_prediction_data_folder_path", nonEmptyText},
            {"file_storage_service_address", anyText},
            {"file_storage_service_bucket", anyText, text},
            {"file_storage_service_login", anyText},
            {"file_storage_service_password", anyText},
            {"logging_level", loggingLevel, text},
            {kBindAddressKey, bindAddress},
            {kMonitoringTlsVerifyKey, flag},
            {kAllowedOriginsKey, allowedOrigins},
            {kApiTokenKey, apiToken, text},
        };
        for (const auto& limit : bodyLimitKeys()) {
            table.push_back({limit.key, bodyLimit});
        }
        for (const auto& limit : storageLimitKeys()) {
            table.push_back({limit.key, storageLimit});
        }
        return table;
    }();
    return rules;
}

const KeyRule* ruleOf(const std::string& key) {
    for (const auto& rule : keyRules()) {
        if (rule.key == key) {
            return &rule;
        }
    }
    return nullptr;
}

// A number or boolean given for a text key, as its text; any other value unchanged.
Poco::Dynamic::Var heldForm(const std::string& key, const Poco::Dynamic::Var& value) {
    const KeyRule* rule = ruleOf(key);
    if (rule != nullptr && rule->held == Held::Text && !value.isEmpty() && !value.isString() &&
        (value.isNumeric() || value.isBoolean())) {
        return value.convert<std::string>();
    }
    return value;
}

}  // namespace

InvalidConfigError::InvalidConfigError(const std::string& key, const std::string& reason)
    : std::invalid_argument(key.empty() ? reason : key + ": " + reason), key_(key) {}

void validateConfigUpdate(const ConfigMap& current, const Poco::JSON::Object::Ptr& update) {
    if (update.isNull()) {
        throw InvalidConfigError("", "no configuration object");
    }
    ConfigMap merged = current;
    for (const auto& key : update->getNames()) {
        Poco::Dynamic::Var value = update->get(key);
        if (getTypeAsString(value).empty()) {
            refuse(key, "Invalid config value type");
        }
        merged[key] = heldForm(key, value);
    }
    for (const auto& rule : keyRules()) {
        if (merged.count(rule.key) > 0) {
            rule.check(merged, rule.key);
        }
    }
}

void applyConfigUpdate(Poco::JSON::Object::Ptr& update, std::mutex& mutex, velmora::Engine::DB::SQLiteDB& db,
                       ConfigMap& config) {
    // Every check looks at one key alone, so a change stored by someone else
    // between this copy and the store cannot make the result unusable.
    ConfigMap current;
    {
        std::lock_guard<std::mutex> lock(mutex);
        current = config;
    }
    for (const auto& key : update->getNames()) {
        update->set(key, heldForm(key, update->get(key)));
    }
    validateConfigUpdate(current, update);
    jsonToConfig(update, mutex, db, config);
}

std::vector<std::string> replaceUnusableConfig(ConfigMap& config,
                                               const std::vector<velmora::Engine::DB::SeedRow>& seed) {
    ConfigMap seeded;
    for (const auto& row : seed) {
        seeded[row.key] = makeTypedValue(row.value, row.type);
    }
    ConfigMap defaults = seeded;
    for (const auto& limit : storageLimitKeys()) {
        defaults[limit.key] = Poco::Int64(limit.defaultValue);
    }
    for (const auto& limit : bodyLimitKeys()) {
        defaults[limit.key] = Poco::Int64(limit.defaultValue);
    }
    defaults[kBindAddressKey] = std::string(kDefaultBindAddress);
    defaults[kMonitoringTlsVerifyKey] = false;
    defaults[kAllowedOriginsKey] = std::string();
    std::vector<std::string> replaced;
    for (const auto& rule : keyRules()) {
        if (config.count(rule.key) == 0) {
            // Storage limits and the local API's settings are not seeded: their
            // absence means the default.
            auto fromSeed = seeded.find(rule.key);
            if (fromSeed != seeded.end()) {
                log().warn("Configuration key {} is missing; its default is in effect;", rule.key);
                config[rule.key] = fromSeed->second;
                replaced.push_back(rule.key);
            }
            continue;
        }
        try {
            rule.check(config, rule.key);
        } catch (const InvalidConfigError& e) {
            log().warn(
                "Configuration value of {} cannot be used ({}); its default is in effect until it is "
                "set again;",
                rule.key, e.what());
            auto fallback = defaults.find(rule.key);
            if (fallback != defaults.end()) {
                config[rule.key] = fallback->second;
            } else {
                config.erase(rule.key);
            }
            replaced.push_back(rule.key);
        }
    }
    return replaced;
}

}  // namespace velmora::Utils
