// What a configuration change may hold: refusals before anything is stored, the
// values the runtime accepts, the start-up fallback for stored values it cannot
// use, and the storage limits read from the map.
#include <gtest/gtest.h>

#include <map>
#include <mutex>

#include <Poco/Data/Session.h>

#include "captured_log.h"
#include "config_readers.h"
#include "config_validation.h"
#include "db.h"
#include "driver.h"
#include "json_text.h"
#include "local_api_settings.h"
#include "queries.h"
#include "restclient.h"
#include "storage_fixture.h"
#include "storage_limits.h"

namespace {

using namespace velmora::Utils;
using namespace orvix::test;
using namespace Poco::Data::Keywords;

const std::string kImages = "/srv/images";

// Every row of the configurations table as "type|value" by key.
std::map<std::string, std::string> tableRows(Poco::Data::Session& session) {
    std::vector<std::string> keys, types, values;
    session << "SELECT key, type, value FROM configurations", into(keys), into(types), into(values), now;
    std::map<std::string, std::string> rows;
    for (size_t i = 0; i < keys.size(); ++i) {
        rows[keys[i]] = types[i] + "|" + values[i];
    }
    return rows;
}

std::map<std::string, std::string> mapText(const ConfigMap& config) {
    std::map<std::string, std::string> text;
    for (const auto& [key, value] : config) {
        text[key] = std::string(value.type().name()) + "|" + value.convert<std::string>();
    }
    return text;
}

// A fresh agent database and the map the server loads from it.
class ConfigurationStore : public ::testing::Test {
protected:
    ConfigurationStore() : database(kImages), config(Queries::getAllConfigs(database.session())) {}

    MigratedDatabase database;
    std::mutex lock;
    ConfigMap config;
};

struct BadValue {
    std::string name;
    std::string update;  // a JSON object
    std::string key;     // the key the refusal names
};

void PrintTo(const BadValue& value, std::ostream* out) {
    *out << value.update;
}

class RefusedUpdate : public ConfigurationStore, public ::testing::WithParamInterface<BadValue> {};

TEST_P(RefusedUpdate, NamesTheKeyAndStoresNothing) {
    const BadValue& c = GetParam();
    Poco::JSON::Object::Ptr update = parseObject(c.update);
    try {
        validateConfigUpdate(config, update);
        FAIL() << "accepted " << c.update;
    } catch (const InvalidConfigError& e) {
        EXPECT_EQ(e.key(), c.key);
        EXPECT_EQ(std::string(e.what()).rfind(c.key + ": ", 0), 0u) << e.what();
    }

    const auto rowsBefore = tableRows(database.session());
    const auto mapBefore = mapText(config);
    EXPECT_THROW(applyConfigUpdate(update, lock, database.db(), config), InvalidConfigError);
    EXPECT_EQ(tableRows(database.session()), rowsBefore);
    EXPECT_EQ(mapText(config), mapBefore);
}

const BadValue kBadValues[] = {
    {"PortTextOutOfRange", R"({"device_port":"70000"})", "device_port"},
    {"PortNumberOutOfRange", R"({"device_port":70000})", "device_port"},
    {"PortNegative", R"({"device_port":-1})", "device_port"},
    {"PortNotDigits", R"({"device_port":"abc"})", "device_port"},
    {"PortTrailingGarbage", R"({"device_port":"80abc"})", "device_port"},
    {"PortFraction", R"({"device_port":80.5})", "device_port"},
    {"AddressEmpty", R"({"device_ip":""})", "device_ip"},
    {"AddressWithPort", R"({"device_ip":"h:99999"})", "device_ip"},
    {"AddressWithPath", R"({"device_ip":"10.0.0.7/api"})", "device_ip"},
    {"AddressNotText", R"({"device_ip":7})", "device_ip"},
    {"PeriodBeyond32Bits", R"({"monitoring_request_frequency":1099511627776})",
     "monitoring_request_frequency"},
    {"PeriodNegative", R"({"monitoring_request_frequency":-1})", "monitoring_request_frequency"},
    {"PeriodZero", R"({"monitoring_request_frequency":0})", "monitoring_request_frequency"},
    {"PeriodText", R"({"monitoring_request_frequency":"x"})", "monitoring_request_frequency"},
    {"PeriodDigitsAsText", R"({"monitoring_request_frequency":"20000"})", "monitoring_request_frequency"},
    {"ServicePortZero", R"({"monitoring_service_port":"0"})", "monitoring_service_port"},
    {"ServicePortTooBig", R"({"monitoring_service_port":"65536"})", "monitoring_service_port"},
    {"ServicePortAsNumber", R"({"monitoring_service_port":443})", "monitoring_service_port"},
    {"ServiceAddressEmpty", R"({"monitoring_service_address":""})", "monitoring_service_address"},
    {"ServiceAddressBadPort", R"({"monitoring_service_address":"https://m.example:99999"})",
     "monitoring_service_address"},
    {"ServiceAddressOtherScheme", R"({"monitoring_service_address":"ftp://m.example"})",
     "monitoring_service_address"},
    {"ServiceAddressBlank", R"({"monitoring_service_address":"https://m example"})",
     "monitoring_service_address"},
    {"ServiceTypeNotText", R"({"monitoring_service_type":1})", "monitoring_service_type"},
    {"TasksSwitchYes", R"({"monitoring_getting_tasks":"yes"})", "monitoring_getting_tasks"},
    {"ImageSwitchFraction", R"({"recognition_image_sending_enable":1.5})",
     "recognition_image_sending_enable"},
    {"SecretNotText", R"({"velmora_monitoring_client_secret":false})", "velmora_monitoring_client_secret"},
    {"ImagesFolderEmpty", R"({"product_prediction_data_folder_path":""})",
     "product_prediction_data_folder_path"},
    {"ImagesFolderNotText", R"({"product_prediction_data_folder_path":true})",
     "product_prediction_data_folder_path"},
    {"BudgetZero", R"({"images_folder_budget_mb":0})", "images_folder_budget_mb"},
    {"QueueCapAsText", R"({"recognition_queue_cap":"100"})", "recognition_queue_cap"},
    {"AlertCapNegative", R"({"alert_queue_cap":-5})", "alert_queue_cap"},
    {"RetentionTooLong", R"({"log_retention_days":100000})", "log_retention_days"},
    {"JsonBodyLimitTiny", R"({"local_api_max_json_body_bytes":10})", "local_api_max_json_body_bytes"},
    {"UploadLimitBeyond32Bits", R"({"local_api_max_upload_bytes":4294967296})", "local_api_max_upload_bytes"},
    {"UploadLimitAsText", R"({"local_api_max_upload_bytes":"1000000"})", "local_api_max_upload_bytes"},
    {"BindAddressHostName", R"({"local_api_bind_address":"localhost"})", "local_api_bind_address"},
    {"BindAddressWithPort", R"({"local_api_bind_address":"127.0.0.1:5555"})", "local_api_bind_address"},
    {"BindAddressEmpty", R"({"local_api_bind_address":""})", "local_api_bind_address"},
    {"BindAddressNotText", R"({"local_api_bind_address":127})", "local_api_bind_address"},
    {"TlsVerifyYes", R"({"monitoring_tls_verify":"yes"})", "monitoring_tls_verify"},
    {"NullValue", R"({"zzz":null})", "zzz"},
    {"ArrayValue", R"({"device_ip":["10.0.0.7"]})", "device_ip"},
    {"BeyondSigned64Bits", R"({"my_number":18446744073709551615})", "my_number"},
    {"LoggingLevelUnknown", R"({"logging_level":"chatty"})", "logging_level"},
    {"LoggingLevelBeyondSyslog", R"({"logging_level":8})", "logging_level"},
    {"BindAddressOfAnotherComputer", R"({"local_api_bind_address":"192.0.2.77"})", "local_api_bind_address"},
    {"OriginWithPath", R"({"local_api_allowed_origins":"http://till.local/app"})",
     "local_api_allowed_origins"},
    {"OriginWithoutScheme", R"({"local_api_allowed_origins":"http://a.local, till.local"})",
     "local_api_allowed_origins"},
    {"OriginsNotText", R"({"local_api_allowed_origins":5})", "local_api_allowed_origins"},
    {"TokenWithBlank", R"({"local_api_token":"two words"})", "local_api_token"},
    {"TokenNotAscii", R"({"local_api_token":"pässword"})", "local_api_token"},
    // One bad member refuses the whole update, the good members with it.
    {"MixedWithGoodMembers", R"({"logging_level":"warn","device_port":"70000","my_number":7})",
     "device_port"},
};

INSTANTIATE_TEST_SUITE_P(Table, RefusedUpdate, ::testing::ValuesIn(kBadValues),
                         [](const auto& info) { return info.param.name; });

TEST_F(ConfigurationStore, ValuesTheRuntimeCanUseAreStored) {
    const std::pair<std::string, std::string> cases[] = {
        {"device_port", R"("8080")"},
        {"device_port", "8081"},
        {"device_port", R"("0")"},
        {"device_port", "65535"},
        {"device_ip", R"("module.local")"},
        {"device_ip", R"("192.168.1.20")"},
        {"monitoring_request_frequency", "100"},
        {"monitoring_request_frequency", "86400000"},
        {"monitoring_service_port", R"("1")"},
        {"monitoring_service_port", R"("65535")"},
        {"monitoring_service_address", R"("http://127.0.0.1:8443/base/")"},
        {"monitoring_service_address", R"("monitoring.example.com")"},
        {"monitoring_getting_tasks", R"("TRUE")"},
        {"monitoring_getting_tasks", "false"},
        {"recognition_image_sending_enable", "0"},
        {"velmora_monitoring_device_id", R"("")"},
        {"product_prediction_data_folder_path", R"("/data/img")"},
        {"images_folder_budget_mb", "1"},
        {"recognition_queue_cap", "250"},
        {"alert_queue_cap", "1000000"},
        {"log_retention_days", "7"},
        {"local_api_max_json_body_bytes", "65536"},
        {"local_api_max_upload_bytes", "2147483647"},
        {"local_api_bind_address", R"("127.0.0.1")"},
        {"local_api_bind_address", R"("::1")"},
        {"local_api_bind_address", R"("0.0.0.0")"},
        {"monitoring_tls_verify", "true"},
        {"logging_level", R"("debug")"},
        {"logging_level", R"("warning")"},
        {"local_api_allowed_origins", R"("")"},
        {"local_api_allowed_origins", R"("http://till.local:8080, https://[::1]:8443")"},
        {"local_api_token", R"("")"},
        {"local_api_token", R"("Zx9-_.~+/=")"},
        {"my_number", "7"},
        {"my_ratio", "0.5"},
    };
    for (const auto& [key, value] : cases) {
        SCOPED_TRACE(key + " " + value);
        Poco::JSON::Object::Ptr update = parseObject("{\"" + key + "\":" + value + "}");
        EXPECT_NO_THROW(applyConfigUpdate(update, lock, database.db(), config));
        EXPECT_EQ(compact(config.at(key)), compact(update->get(key)));
        EXPECT_EQ(
            queryInt(database.session(), "SELECT COUNT(*) FROM configurations WHERE key = '" + key + "'"), 1);
    }
    // The module address and port it now holds make a driver.
    EXPECT_EQ(readConfigPort(config, "device_port"), 65535);
    std::mutex driverLock;
    EXPECT_NO_THROW(velmora::Engine::Driver::OrvixDriver(readConfigString(config, "device_ip"),
                                                         readConfigPort(config, "device_port"), driverLock,
                                                         database.db()));
}

// A number for a text key whose values may be numbers is stored as its text, in
// the map as in the table, so the runtime reads the same before and after a start.
TEST_F(ConfigurationStore, ANumberForALevelOrAnIdentifierIsStoredAsText) {
    const std::pair<std::string, std::string> cases[] = {
        {"logging_level", "7"},
        {"velmora_monitoring_device_id", "4711"},
        {"file_storage_service_bucket", "2024"},
        {"local_api_token", "123456789"},
    };
    for (const auto& [key, value] : cases) {
        SCOPED_TRACE(key);
        Poco::JSON::Object::Ptr update = parseObject("{\"" + key + "\":" + value + "}");
        EXPECT_NO_THROW(applyConfigUpdate(update, lock, database.db(), config));
        EXPECT_EQ(readConfigString(config, key), value);
    }
}

// The service address check stays within what the REST client accepts: every
// address it lets through, the client takes.
TEST(ConfigurationAddresses, WhatPassesTheRestClientTakes) {
    const std::pair<std::string, bool> cases[] = {
        {"https://monitoring.set-me.invalid", true},
        {"http://127.0.0.1", true},
        {"http://127.0.0.1:8080/api/v2", true},
        {"127.0.0.1:8080", true},
        {"host.example:", true},
        {"", false},
        {"https://", false},
        {"http://:8080", false},
        {"h:99999", false},
        {"https://h:12ab", false},
        {"https://h/x y", false},
        {"mqtt://broker", false},
    };
    for (const auto& [url, accepted] : cases) {
        SCOPED_TRACE(url);
        Poco::JSON::Object::Ptr update = new Poco::JSON::Object;
        update->set("monitoring_service_address", url);
        if (accepted) {
            EXPECT_NO_THROW(validateConfigUpdate({}, update));
            EXPECT_NO_THROW(velmora::Engine::REST::RestClient(url, 443));
        } else {
            EXPECT_THROW(validateConfigUpdate({}, update), InvalidConfigError);
        }
    }
}

TEST_F(ConfigurationStore, UnusableStoredValuesFallBackToTheirDefaultsInMemory) {
    // A database written by hand or by another version.
    auto& session = database.session();
    const std::pair<std::string, std::string> edits[] = {
        {"device_port", "abc"},
        {"device_ip", ""},
        {"monitoring_request_frequency", "99999999999"},  // does not load as an integer
        {"monitoring_getting_tasks", "yes"},
        {"monitoring_service_port", "0"},
        {"product_prediction_data_folder_path", ""},
    };
    for (const auto& [key, value] : edits) {
        session << "UPDATE configurations SET value = ? WHERE key = ?", bind(value), bind(key), now;
    }
    // As a "bool" row "yes" would load as false; as text it is no switch at all.
    session << "UPDATE configurations SET type = 'string' WHERE key = 'monitoring_getting_tasks'", now;
    session << "UPDATE configurations SET type = 'string' WHERE key = 'recognition_image_sending_enable'",
        now;
    session << "DELETE FROM configurations WHERE key = 'monitoring_service_type'", now;
    session << "INSERT INTO configurations (key, type, value) VALUES ('recognition_queue_cap', 'string', "
               "'many'), ('alert_queue_cap', 'int', '5'), ('log_retention_days', 'int', '0')",
        now;
    const auto rowsBefore = tableRows(session);
    ConfigMap loaded = Queries::getAllConfigs(session);
    loaded["logging_level"] = std::string("warn");  // usable values stay as they are

    CapturedLog log;
    auto replaced = replaceUnusableConfig(loaded, velmora::Engine::DB::seededConfiguration(kImages));
    std::sort(replaced.begin(), replaced.end());
    EXPECT_EQ(replaced,
              (std::vector<std::string>{"device_ip", "device_port", "log_retention_days",
                                        "monitoring_getting_tasks", "monitoring_request_frequency",
                                        "monitoring_service_port", "monitoring_service_type",
                                        "product_prediction_data_folder_path", "recognition_queue_cap"}));
    for (const auto& key : replaced) {
        size_t warnings = 0;
        for (const auto& line : log.lines()) {
            warnings += line.level == "warning" && line.text.find(" " + key + " ") != std::string::npos;
        }
        EXPECT_EQ(warnings, 1u) << key;
    }

    EXPECT_EQ(compact(loaded.at("device_port")), R"("80")");
    EXPECT_EQ(compact(loaded.at("device_ip")), R"("172.22.0.7")");
    EXPECT_EQ(readConfigInt64(loaded, "monitoring_request_frequency"), 20000);
    EXPECT_TRUE(readConfigBool(loaded, "monitoring_getting_tasks"));
    EXPECT_EQ(compact(loaded.at("monitoring_service_port")), R"("443")");
    EXPECT_EQ(compact(loaded.at("monitoring_service_type")), R"("VELMORA_MONITORING")");
    EXPECT_EQ(compact(loaded.at("product_prediction_data_folder_path")), "\"" + kImages + "\"");
    EXPECT_EQ(compact(loaded.at("logging_level")), R"("warn")");
    // "true" as text is still a usable switch.
    EXPECT_TRUE(readConfigBool(loaded, "recognition_image_sending_enable"));
    StorageLimits limits = readStorageLimits(loaded);
    EXPECT_EQ(limits.recognitionQueueCap, 100000);
    EXPECT_EQ(limits.alertQueueCap, 5);
    EXPECT_EQ(limits.logRetentionDays, 90);
    // Whatever the map now holds passes the checks every change goes through.
    EXPECT_NO_THROW(validateConfigUpdate(loaded, new Poco::JSON::Object));
    // Only memory changed.
    EXPECT_EQ(tableRows(session), rowsBefore);
}

TEST(StorageLimitsFromConfiguration, DefaultsUnlessAUsableValueIsSet) {
    StorageLimits defaults = readStorageLimits({});
    EXPECT_EQ(defaults.imagesFolderBudgetBytes, 2048ull * 1024 * 1024);
    EXPECT_EQ(defaults.recognitionQueueCap, 100000);
    EXPECT_EQ(defaults.alertQueueCap, 10000);
    EXPECT_EQ(defaults.logRetentionDays, 90);

    ConfigMap set = {{"images_folder_budget_mb", 3},
                     {"recognition_queue_cap", Poco::Int64(40)},
                     {"alert_queue_cap", 0},                     // out of range: default
                     {"log_retention_days", std::string("7")}};  // not an integer: default
    StorageLimits limits = readStorageLimits(set);
    EXPECT_EQ(limits.imagesFolderBudgetBytes, 3ull * 1024 * 1024);
    EXPECT_EQ(limits.recognitionQueueCap, 40);
    EXPECT_EQ(limits.alertQueueCap, 10000);
    EXPECT_EQ(limits.logRetentionDays, 90);
}

TEST(LocalApiSettingsFromConfiguration, DefaultsUnlessAUsableValueIsSet) {
    LocalApiSettings defaults = readLocalApiSettings({});
    EXPECT_EQ(defaults.maxJsonBodyBytes, 1024u * 1024);
    EXPECT_EQ(defaults.maxUploadBytes, 512ull * 1024 * 1024);
    EXPECT_EQ(defaults.bindAddress, "0.0.0.0");
    EXPECT_FALSE(readMonitoringTlsVerify({}));

    ConfigMap set = {{"local_api_max_json_body_bytes", Poco::Int64(4096)},
                     {"local_api_max_upload_bytes", 5},  // below its range: default
                     {"local_api_bind_address", std::string("127.0.0.1")},
                     {"monitoring_tls_verify", true}};
    LocalApiSettings settings = readLocalApiSettings(set);
    EXPECT_EQ(settings.maxJsonBodyBytes, 4096u);
    EXPECT_EQ(settings.maxUploadBytes, 512ull * 1024 * 1024);
    EXPECT_EQ(settings.bindAddress, "127.0.0.1");
    EXPECT_TRUE(readMonitoringTlsVerify(set));
    EXPECT_EQ(readLocalApiSettings({{"local_api_bind_address", std::string("my-pc")}}).bindAddress,
              "0.0.0.0");
}

}  // namespace
