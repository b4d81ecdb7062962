// The typed configuration store and the cipher of its secrets.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <map>
#include <mutex>
#include <typeinfo>

#include <unistd.h>

#include <openssl/evp.h>

#include <Poco/Data/Session.h>
#include <Poco/Exception.h>
#include <Poco/JSON/Array.h>
#include <Poco/JSON/Parser.h>

#include "build_constants.h"
#include "config_store.h"
#include "crypto.h"
#include "db.h"
#include "queries.h"
#include "storage_fixture.h"
#include "test_support.h"

namespace {

using namespace velmora::Utils;
using namespace orvix::test;
using namespace Poco::Data::Keywords;

struct Row {
    std::string type;
    std::string value;
};

Row storedRow(Poco::Data::Session& session, const std::string& key) {
    Row row;
    std::string bound = key;
    session << "SELECT type, value FROM configurations WHERE key = ?", use(bound), into(row.type),
        into(row.value), now;
    return row;
}

Poco::JSON::Object::Ptr parseObject(const std::string& text) {
    return Poco::JSON::Parser().parse(text).extract<Poco::JSON::Object::Ptr>();
}

// ---- typed values ----

TEST(StorageConfigValues, TextAndTypeBecomeATypedValue) {
    const std::string secret = Crypto::encrypt("plain secret");
    struct Case {
        std::string value, type;
        const std::type_info& heldType;
        Poco::Dynamic::Var expected;
    };
    const Case cases[] = {
        {"7", "int", typeid(int), 7},
        {"7.9", "int", typeid(int), 7},
        {"  -12abc", "int", typeid(int), -12},
        {"abc", "int", typeid(std::string), std::string("abc")},
        {"99999999999", "int", typeid(std::string), std::string("99999999999")},  // out of int range
        {"1.5", "double", typeid(double), 1.5},
        {"2e3", "double", typeid(double), 2000.0},
        {"x1", "double", typeid(std::string), std::string("x1")},
        {"true", "bool", typeid(bool), true},
        {"TRUE", "bool", typeid(bool), false},
        {"1", "bool", typeid(bool), false},
        {"", "bool", typeid(std::string), std::string("")},
        {"", "int", typeid(std::string), std::string("")},
        {"", "encrypted_string", typeid(std::string), std::string("")},
        {secret, "encrypted_string", typeid(std::string), std::string("plain secret")},
        {"set-me-login", "encrypted_string", typeid(std::string), std::string("set-me-login")},  // not Base64
        {"QUJDRA==", "encrypted_string", typeid(std::string),
         std::string("QUJDRA==")},  // Base64, not a cipher text
        {"text", "string", typeid(std::string), std::string("text")},
        {"42", "something else", typeid(std::string), std::string("42")},
    };
    for (const auto& c : cases) {
        Poco::Dynamic::Var value = makeTypedValue(c.value, c.type);
        EXPECT_EQ(value.type(), c.heldType) << c.type << " '" << c.value << "'";
        EXPECT_EQ(value.convert<std::string>(), c.expected.convert<std::string>())
            << c.type << " '" << c.value << "'";
    }
}

TEST(StorageConfigValues, TypeNamesFollowTheHeldType) {
    Poco::JSON::Array::Ptr array = new Poco::JSON::Array;
    struct Case {
        std::string name;
        Poco::Dynamic::Var value;
        std::string expected;
    };
    const Case cases[] = {
        {"string", std::string("x"), "string"},
        {"int64", Poco::Int64(5), "int"},
        {"double", 2.5, "double"},
        {"bool", false, "bool"},
        {"empty", Poco::Dynamic::Var(), ""},
        {"int32", 5, ""},
        {"uint64", Poco::UInt64(5), ""},
        {"array", array, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(getTypeAsString(c.value), c.expected) << c.name;
    }
    // What the JSON parser produces for each kind of member.
    auto parsed = parseObject(
        R"({"s":"a","i":443,"d":1.5,"b":true,"n":null,"a":[1],"o":{},"big":18446744073709551615})");
    EXPECT_EQ(getTypeAsString(parsed->get("s")), "string");
    EXPECT_EQ(getTypeAsString(parsed->get("i")), "int");
    EXPECT_EQ(getTypeAsString(parsed->get("d")), "double");
    EXPECT_EQ(getTypeAsString(parsed->get("b")), "bool");
    for (const char* key : {"n", "a", "o", "big"}) {
        EXPECT_EQ(getTypeAsString(parsed->get(key)), "") << key;
    }
}

// ---- loading and importing ----

TEST(StorageConfigStore, SeedLoadsWithItsTypes) {
    MigratedDatabase database("/srv/images");
    auto config = Queries::getAllConfigs(database.session());
    ASSERT_EQ(config.size(), 16u);
    EXPECT_EQ(config["monitoring_request_frequency"].type(), typeid(int));
    EXPECT_EQ(config["monitoring_request_frequency"].convert<int>(), 20000);
    EXPECT_EQ(config["monitoring_getting_tasks"].type(), typeid(bool));
    EXPECT_TRUE(config["monitoring_getting_tasks"].convert<bool>());
    EXPECT_EQ(config["recognition_image_sending_enable"].type(), typeid(bool));
    EXPECT_EQ(config["monitoring_service_port"].type(), typeid(std::string));
    EXPECT_EQ(config["monitoring_service_port"].convert<std::string>(), "443");
    EXPECT_EQ(config["file_storage_service_login"].convert<std::string>(), "set-me-login");
    EXPECT_EQ(config["velmora_monitoring_client_secret"].convert<std::string>(), "");
    EXPECT_EQ(config["product_prediction_data_folder_path"].convert<std::string>(), "/srv/images");
}

TEST(StorageConfigStore, RowsWithoutKeyOrTypeAreSkipped) {
    MigratedDatabase database;
    auto& session = database.session();
    session << "INSERT INTO configurations (key, type, value) VALUES ('', 'string', 'no key'), "
               "('no_type', '', 'x'), ('odd', 'int', 'abc')",
        now;
    auto config = Queries::getAllConfigs(session);
    EXPECT_EQ(config.size(), 17u);
    EXPECT_EQ(config.count(""), 0u);
    EXPECT_EQ(config.count("no_type"), 0u);
    EXPECT_EQ(config["odd"].convert<std::string>(), "abc");
}

TEST(StorageConfigStore, UpsertKeepsTheFirstType) {
    MigratedDatabase database;
    auto& session = database.session();
    std::string before =
        queryText(session, "SELECT created_at FROM configurations WHERE key = 'device_port'");
    session << "UPDATE configurations SET updated_at = '2000-01-01 00:00:00' WHERE key = 'device_port'", now;
    Queries::upsertConfig(session, "device_port", "int", "8080");
    Row row = storedRow(session, "device_port");
    EXPECT_EQ(row.type, "string");
    EXPECT_EQ(row.value, "8080");
    EXPECT_EQ(queryText(session, "SELECT created_at FROM configurations WHERE key = 'device_port'"), before);
    EXPECT_NE(queryText(session, "SELECT updated_at FROM configurations WHERE key = 'device_port'"),
              "2000-01-01 00:00:00");

    Queries::upsertConfig(session, "brand_new", "double", "0.25");
    EXPECT_EQ(storedRow(session, "brand_new").type, "double");
    EXPECT_EQ(countRows(session, "configurations"), 17);
}

TEST(StorageConfigStore, ImportStoresKeepsRowTypesAndEncryptsSecrets) {
    MigratedDatabase database;
    auto& session = database.session();
    std::mutex mutex;
    ConfigMap config = Queries::getAllConfigs(session);
    auto json = parseObject(R"({
        "monitoring_service_port": 443,
        "ratio": 1.5,
        "new_flag": false,
        "new_count": 12,
        "file_storage_service_login": "alice",
        "file_storage_service_password": "pa'ss",
        "velmora_monitoring_client_secret": "s3cret",
        "logging_level": "warn"
    })");
    jsonToConfig(json, mutex, database.db(), config);

    EXPECT_EQ(storedRow(session, "monitoring_service_port").type, "string");
    EXPECT_EQ(storedRow(session, "monitoring_service_port").value, "443");
    EXPECT_EQ(storedRow(session, "ratio").type, "double");
    EXPECT_EQ(storedRow(session, "new_flag").type, "bool");
    EXPECT_EQ(storedRow(session, "new_flag").value, "false");
    EXPECT_EQ(storedRow(session, "new_count").type, "int");
    EXPECT_EQ(storedRow(session, "new_count").value, "12");
    EXPECT_EQ(storedRow(session, "logging_level").value, "warn");
    const std::map<std::string, std::string> secrets = {{"file_storage_service_login", "alice"},
                                                        {"file_storage_service_password", "pa'ss"},
                                                        {"velmora_monitoring_client_secret", "s3cret"}};
    for (const auto& [key, plain] : secrets) {
        Row row = storedRow(session, key);
        EXPECT_EQ(row.type, "encrypted_string") << key;
        EXPECT_NE(row.value.find_first_of("="), std::string::npos)
            << key;  // Base64 text, not the plain value
        EXPECT_EQ(row.value.find(plain), std::string::npos) << key;
        EXPECT_EQ(Crypto::decrypt(row.value), plain) << key;
        EXPECT_EQ(config[key].convert<std::string>(), plain) << key;  // the map holds plain text
    }
    // The map keeps the JSON types until the next load.
    EXPECT_EQ(config["monitoring_service_port"].type(), typeid(Poco::Int64));
    EXPECT_EQ(config["monitoring_service_port"].convert<int>(), 443);
    EXPECT_EQ(config["new_flag"].type(), typeid(bool));

    ConfigMap reloaded = Queries::getAllConfigs(session);
    EXPECT_EQ(reloaded.size(), 19u);  // sixteen seeded, three new
    EXPECT_EQ(reloaded["monitoring_service_port"].type(), typeid(std::string));
    EXPECT_EQ(reloaded["monitoring_service_port"].convert<std::string>(), "443");
    EXPECT_EQ(reloaded["new_count"].type(), typeid(int));
    EXPECT_DOUBLE_EQ(reloaded["ratio"].convert<double>(), 1.5);
    for (const auto& [key, plain] : secrets) {
        EXPECT_EQ(reloaded[key].convert<std::string>(), plain) << key;
    }
    EXPECT_TRUE(mutex.try_lock());
    mutex.unlock();
}

TEST(StorageConfigStore, RejectedImportChangesNothing) {
    const char* const bodies[] = {
        R"({"device_port": "81", "x": null})",
        R"({"device_port": "81", "x": [1]})",
        R"({"device_port": "81", "x": {"y": 1}})",
        R"({"a_first": 1, "device_port": "81", "z": 18446744073709551615})",
        R"({"file_storage_service_login": "bob", "zz": null})",
    };
    for (const char* body : bodies) {
        MigratedDatabase database;
        auto& session = database.session();
        std::mutex mutex;
        ConfigMap config = Queries::getAllConfigs(session);
        ConfigMap before = config;
        std::string loginBefore = storedRow(session, "file_storage_service_login").value;
        auto json = parseObject(body);
        try {
            jsonToConfig(json, mutex, database.db(), config);
            ADD_FAILURE() << "accepted " << body;
        } catch (const Poco::Exception& e) {
            EXPECT_EQ(e.message(), "Invalid config value type") << body;
        }
        EXPECT_EQ(countRows(session, "configurations"), 16) << body;
        EXPECT_EQ(storedRow(session, "device_port").value, "80") << body;
        EXPECT_EQ(storedRow(session, "file_storage_service_login").value, loginBefore) << body;
        EXPECT_EQ(config.size(), before.size()) << body;
        EXPECT_EQ(config["device_port"].convert<std::string>(), "80") << body;
        EXPECT_EQ(config["file_storage_service_login"].convert<std::string>(), "set-me-login") << body;
        EXPECT_FALSE(session.isTransaction()) << body;
        EXPECT_TRUE(mutex.try_lock()) << body;  // released on the failing path too
        mutex.unlock();
    }
}

TEST(StorageConfigStore, ExportShowsTheMapWithSecretsInPlainText) {
    MigratedDatabase database;
    auto& session = database.session();
    std::mutex mutex;
    ConfigMap config;
    auto json = parseObject(R"({"velmora_monitoring_client_secret": "top secret", "ratio": 0.5})");
    jsonToConfig(json, mutex, database.db(), config);
    config = Queries::getAllConfigs(session);

    Poco::JSON::Object::Ptr exported = configToJson(config);
    EXPECT_EQ(exported->size(), config.size());
    EXPECT_EQ(exported->getValue<std::string>("velmora_monitoring_client_secret"), "top secret");
    EXPECT_EQ(exported->get("monitoring_request_frequency").type(), typeid(int));
    EXPECT_EQ(exported->get("monitoring_getting_tasks").type(), typeid(bool));
    EXPECT_DOUBLE_EQ(exported->getValue<double>("ratio"), 0.5);
}

// ---- the cipher ----

// Key and IV that EVP_BytesToKey (MD5, no salt, 2000 rounds) derives from
// ENCRYPTION_KEY, and a cipher text made by the openssl command line from them:
//   openssl enc -aes-256-cbc -K <key> -iv <iv> -a -A -in plain.txt
const char* const kDerivedKeyHex = "65a847461bc4a181b296c72479ecc96b3a8fda28d45e0491e03a5a665a297e09";
const char* const kDerivedIvHex = "c58c17e35d07de74eb92739663ff9fd6";
const char* const kFixturePlain =
    "Object storage secret: s3cr3t/with+symbols and enough length to wrap the Base64 text";
const char* const kFixtureCipher =
    "YZkT7HtG/kWOqgP17TtUWSH5BmXyQ0MviMdAwFUiGIx01fCbnhuMT68iuo+sPNRjtfyMnx1S+6rWrkK0L39q1ydAbA/"
    "AAJ6PUEFPO2Oxa/"
    "fLtVskJ8aRr5E+v+n//fr+";
const char* const kFixtureEmptyCipher = "7mZxt44IfQRQsSc19SkU0w==";

std::string hex(const unsigned char* bytes, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < size; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 0xf];
    }
    return out;
}

std::string withoutLineBreaks(std::string text) {
    std::string out;
    for (char c : text) {
        if (c != '\r' && c != '\n') {
            out += c;
        }
    }
    return out;
}

TEST(StorageCrypto, KeyAndIvAreTheStandardDerivation) {
    unsigned char key[32];
    unsigned char iv[16];
    int size = EVP_BytesToKey(EVP_aes_256_cbc(), EVP_md5(), nullptr,
                              reinterpret_cast<const unsigned char*>(Crypto::ENCRYPTION_KEY.data()),
                              static_cast<int>(Crypto::ENCRYPTION_KEY.size()), 2000, key, iv);
    ASSERT_EQ(size, 32);
    EXPECT_EQ(hex(key, sizeof(key)), kDerivedKeyHex);
    EXPECT_EQ(hex(iv, sizeof(iv)), kDerivedIvHex);
}

TEST(StorageCrypto, MatchesTheOpensslFixtureBothWays) {
    std::string encrypted = Crypto::encrypt(kFixturePlain);
    EXPECT_EQ(withoutLineBreaks(encrypted), kFixtureCipher);
    // CR LF after every 72 characters.
    EXPECT_EQ(encrypted,
              std::string(kFixtureCipher).substr(0, 72) + "\r\n" + std::string(kFixtureCipher).substr(72));
    EXPECT_EQ(Crypto::decrypt(kFixtureCipher), kFixturePlain);
    EXPECT_EQ(Crypto::decrypt(encrypted), kFixturePlain);
    EXPECT_EQ(Crypto::encrypt(""), kFixtureEmptyCipher);
    EXPECT_EQ(Crypto::decrypt(kFixtureEmptyCipher), "");
}

TEST(StorageCrypto, OpensslReadsAndWritesTheSameText) {
    const std::string openssl = "/usr/bin/openssl";
    ASSERT_EQ(::access(openssl.c_str(), X_OK), 0) << "openssl is installed by scripts/setup.sh";
    TempDir dir;
    const std::string plain = std::string("binary\0bytes \xff\xfe and text", 24) + std::string(100, 'x');

    // Ours to openssl.
    writeFile(dir.file("ours.b64"), withoutLineBreaks(Crypto::encrypt(plain)) + "\n");
    ChildProcess decrypt({openssl, "enc", "-d", "-aes-256-cbc", "-K", kDerivedKeyHex, "-iv", kDerivedIvHex,
                          "-a", "-A", "-in", dir.file("ours.b64")},
                         {}, dir.path());
    ASSERT_EQ(decrypt.wait(std::chrono::seconds(20)), 0) << decrypt.stderrText();
    EXPECT_EQ(decrypt.stdoutText(), plain);

    // Openssl's to ours.
    writeFile(dir.file("plain.bin"), plain);
    ChildProcess encrypt({openssl, "enc", "-aes-256-cbc", "-K", kDerivedKeyHex, "-iv", kDerivedIvHex, "-a",
                          "-in", dir.file("plain.bin")},
                         {}, dir.path());
    ASSERT_EQ(encrypt.wait(std::chrono::seconds(20)), 0) << encrypt.stderrText();
    EXPECT_EQ(Crypto::decrypt(encrypt.stdoutText()), plain);  // openssl's 64-column lines are accepted
    EXPECT_EQ(withoutLineBreaks(encrypt.stdoutText()), withoutLineBreaks(Crypto::encrypt(plain)));
}

TEST(StorageCrypto, RoundTripsAnyBytes) {
    std::string all;
    for (int c = 0; c < 256; ++c) {
        all += static_cast<char>(c);
    }
    const std::string cases[] = {
        "", "a", std::string(15, 'b'), std::string(16, 'c'), std::string(1000, 'd'), all, "пароль"};
    for (const auto& plain : cases) {
        std::string encrypted = Crypto::encrypt(plain);
        EXPECT_EQ(Crypto::decrypt(encrypted), plain) << plain.size();
        // Every line but the last is exactly 72 characters.
        size_t start = 0;
        for (size_t at; (at = encrypted.find("\r\n", start)) != std::string::npos; start = at + 2) {
            EXPECT_EQ(at - start, 72u);
        }
        EXPECT_LE(encrypted.size() - start, 72u);
    }
}

TEST(StorageCrypto, MalformedInputThrows) {
    for (const char* bad : {"not base64!", "QUJDRA==", "7mZxt44IfQRQsSc19SkU0w"}) {
        EXPECT_THROW(Crypto::decrypt(bad), std::exception) << bad;
    }
}

}  // namespace
