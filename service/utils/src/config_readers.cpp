#include "config_readers.h"

#include <stdexcept>

#include <Poco/Exception.h>
#include <Poco/String.h>

namespace velmora::Utils {

std::string readConfigString(ConfigEntries& config, const std::string& key) {
    Poco::Dynamic::Var& value = config[key];
    if (value.isEmpty() || !value.isString()) {
        throw std::runtime_error("Expected string for config key: " + key);
    }
    return value.extract<std::string>();
}

bool readConfigBool(ConfigEntries& config, const std::string& key) {
    Poco::Dynamic::Var& value = config[key];
    if (!value.isEmpty() && (value.isBoolean() || value.isInteger())) {
        return value.convert<bool>();
    }
    if (!value.isEmpty() && value.isString()) {
        const std::string& text = value.extract<std::string>();
        if (text == "1" || Poco::icompare(text, "true") == 0) {
            return true;
        }
        if (text == "0" || Poco::icompare(text, "false") == 0) {
            return false;
        }
        throw std::runtime_error("Expected boolean string for key: " + key);
    }
    throw std::runtime_error("Expected bool/int/string for config key: " + key);
}

int64_t readConfigInt64(ConfigEntries& config, const std::string& key) {
    Poco::Dynamic::Var& value = config[key];
    if (value.isEmpty() || !value.isInteger()) {
        throw std::runtime_error("Expected integer64 for config key: " + key);
    }
    if (value.type() == typeid(Poco::Int64)) {
        return value.extract<Poco::Int64>();
    }
    return value.convert<Poco::Int64>();
}

unsigned short readConfigPort(ConfigEntries& config, const std::string& key) {
    Poco::Dynamic::Var& value = config[key];
    const std::string error = "Expected port 0-65535 for config key: " + key;
    long long port = -1;
    if (!value.isEmpty() && value.isInteger()) {
        try {
            port = value.convert<Poco::Int64>();
        } catch (const Poco::Exception&) {
            throw std::runtime_error(error);  // beyond the signed 64-bit range
        }
    } else if (!value.isEmpty() && value.isString()) {
        // Digits only: "80abc" or " 80" is a typing mistake, not port 80.
        const std::string& text = value.extract<std::string>();
        if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) {
            throw std::runtime_error(error);
        }
        port = std::stoll(text);
    }
    if (port < 0 || port > 65535) {
        throw std::runtime_error(error);
    }
    return static_cast<unsigned short>(port);
}

}  // namespace velmora::Utils
