#include "config_store.h"

#include <algorithm>
#include <exception>
#include <set>
#include <typeinfo>
#include <vector>

#include <Poco/Data/Session.h>
#include <Poco/Exception.h>

#include "crypto.h"
#include "db.h"
#include "local_api_settings.h"
#include "queries.h"

namespace velmora::Utils {
namespace {

// Keys whose values never reach the table in plain text.
const std::set<std::string>& encryptedKeys() {
    static const std::set<std::string> keys = {
        "file_storage_service_password",
        "velmora_monitoring_client_secret",
        "file_storage_service_login",
        kApiTokenKey,
    };
    return keys;
}

}  // namespace

bool isEncryptedKey(const std::string& key) {
    return encryptedKeys().count(key) > 0;
}

Poco::Dynamic::Var makeTypedValue(std::string value, std::string type) {
    if (value.empty()) {
        return value;
    }
    try {
        if (type == "int") {
            return std::stoi(value);
        }
        if (type == "double") {
            return std::stod(value);
        }
        if (type == "bool") {
            return value == "true";
        }
        if (type == "encrypted_string") {
            return Crypto::decrypt(value);
        }
    } catch (const std::exception&) {
        // A value the type does not fit (including a secret stored in plain text)
        // still loads, as its text.
    }
    return value;
}

std::string getTypeAsString(const Poco::Dynamic::Var& value) {
    const std::type_info& type = value.type();
    if (type == typeid(std::string)) {
        return "string";
    }
    if (type == typeid(Poco::Int64)) {
        return "int";
    }
    if (type == typeid(double)) {
        return "double";
    }
    if (type == typeid(bool)) {
        return "bool";
    }
    return "";
}

void jsonToConfig(Poco::JSON::Object::Ptr& json, std::mutex& mutex, velmora::Engine::DB::SQLiteDB& db,
                  ConfigMap& config) {
    if (json.isNull()) {
        throw Poco::InvalidArgumentException("No configuration object");
    }
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::string> names = json->getNames();
    std::sort(names.begin(), names.end());

    Poco::Data::Session session = db.GetSession();
    {
        // Rolls back every row of the import unless all of them were stored.
        velmora::Engine::DB::Transaction transaction(session);
        for (const auto& key : names) {
            Poco::Dynamic::Var value = json->get(key);
            std::string type = getTypeAsString(value);
            if (type.empty()) {
                throw Poco::Exception("Invalid config value type");
            }
            std::string text = value.convert<std::string>();
            if (isEncryptedKey(key)) {
                text = Crypto::encrypt(text);
                type = "encrypted_string";
            }
            Queries::upsertConfig(session, key, type, text);
        }
        transaction.commit();
    }
    for (const auto& key : names) {
        config[key] = json->get(key);
    }
}

Poco::JSON::Object::Ptr configToJson(ConfigMap& config) {
    Poco::JSON::Object::Ptr json = new Poco::JSON::Object;
    for (const auto& [key, value] : config) {
        json->set(key, value);
    }
    return json;
}

}  // namespace velmora::Utils
