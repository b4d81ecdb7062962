// The agent's own commands over HTTP, and the one-shot configuration file.
#include <gtest/gtest.h>

#include <filesystem>

#include <Poco/Data/SQLite/Connector.h>
#include <Poco/Data/Session.h>
#include <Poco/JSON/Object.h>
#include <Poco/JSON/Parser.h>

#include "agent_process.h"
#include "json_text.h"
#include "test_support.h"

namespace {

using namespace orvix::test;
using Poco::JSON::Object;

HttpAnswer post(const std::string& path, const std::string& body) {
    return httpCall(AgentProcess::kPort, "POST", path, body, "application/json");
}

std::pair<std::string, std::string> storedRow(const std::string& dbPath, const std::string& key) {
    Poco::Data::SQLite::Connector::registerConnector();
    Poco::Data::Session session("SQLite", dbPath);
    std::string type;
    std::string value;
    std::string name = key;
    session << "SELECT type, value FROM configurations WHERE key = ?", Poco::Data::Keywords::use(name),
        Poco::Data::Keywords::into(type), Poco::Data::Keywords::into(value), Poco::Data::Keywords::now;
    return {type, value};
}

class AgentEndpoints : public ::testing::Test {
protected:
    void SetUp() override {
        agent = std::make_unique<AgentProcess>(home.path());
        ASSERT_TRUE(agent->waitReady()) << agent->process().stderrText();
    }
    void TearDown() override { EXPECT_EQ(agent->stop(), 0); }

    TempDir home;
    std::unique_ptr<AgentProcess> agent;
};

TEST_F(AgentEndpoints, ConfigFileWasAppliedAndRemoved) {
    EXPECT_FALSE(std::filesystem::exists(agent->appData() + "/config.json"));
    auto answer = parseObject(post("/api/agent/get_config", R"({"keys":["device_ip","no_such_key"]})").body);
    EXPECT_EQ(answer->getValue<int>("code"), 0);
    Object::Ptr data = answer->getObject("data");
    EXPECT_EQ(data->size(), 1u);
    EXPECT_EQ(data->getValue<std::string>("device_ip"), "127.0.0.1");
}

TEST_F(AgentEndpoints, GetConfigWithoutUsableKeysAnswersEverything) {
    for (const char* body : {"{}", R"({"keys":[]})", R"({"keys":"device_ip"})"}) {
        auto answer = parseObject(post("/api/agent/get_config", body).body);
        EXPECT_EQ(answer->getObject("data")->size(), 16u) << body;
    }
    // Extra path segments after the command are ignored.
    EXPECT_EQ(post("/api/agent/get_config/extra", "{}").status, 200);
}

TEST_F(AgentEndpoints, WrongMethodsAreNotFound) {
    EXPECT_EQ(httpCall(AgentProcess::kPort, "GET", "/api/agent/get_config").status, 404);
    EXPECT_EQ(post("/api/agent/check_connect", "{}").status, 404);
    EXPECT_EQ(post("/api/agent/no_such_command", "{}").status, 404);
    EXPECT_EQ(httpCall(AgentProcess::kPort, "POST", "/api/get_result", "{}").status, 404);
    EXPECT_EQ(httpCall(AgentProcess::kPort, "GET", "/api/reboot").status, 404);
    EXPECT_EQ(httpCall(AgentProcess::kPort, "GET", "/api/get_sync_limit").status, 404);
}

TEST_F(AgentEndpoints, CheckConnectWithoutCloudClient) {
    EXPECT_EQ(httpCall(AgentProcess::kPort, "GET", "/api/agent/check_connect").body,
              R"({"code":-10002,"data":null})");
}

TEST_F(AgentEndpoints, SetConfigStoresTypedValuesAndEncryptsSecrets) {
    auto answer =
        post("/api/agent/set_config",
             R"({"logging_level":"warn","velmora_monitoring_client_secret":"s3cret","my_number":7})");
    EXPECT_EQ(answer.body, R"({"code":0,"data":null})");
    auto config =
        parseObject(post("/api/agent/get_config",
                         R"({"keys":["logging_level","velmora_monitoring_client_secret","my_number"]})")
                        .body)
            ->getObject("data");
    EXPECT_EQ(config->getValue<std::string>("logging_level"), "warn");
    EXPECT_EQ(config->getValue<std::string>("velmora_monitoring_client_secret"), "s3cret");
    EXPECT_EQ(config->getValue<int>("my_number"), 7);

    auto secret = storedRow(agent->dbPath(), "velmora_monitoring_client_secret");
    EXPECT_EQ(secret.first, "encrypted_string");
    EXPECT_NE(secret.second, "s3cret");
    EXPECT_FALSE(secret.second.empty());
    EXPECT_EQ(storedRow(agent->dbPath(), "my_number"), std::make_pair(std::string("int"), std::string("7")));
}

TEST_F(AgentEndpoints, SetConfigRejectsANullValueAtomically) {
    auto answer = post("/api/agent/set_config", R"({"logging_level":"error","zzz":null})");
    EXPECT_EQ(answer.body, R"({"code":-6210,"data":null,"msg":"zzz: Invalid config value type"})");
    EXPECT_EQ(storedRow(agent->dbPath(), "logging_level").second, "info");
    auto config =
        parseObject(post("/api/agent/get_config", R"({"keys":["logging_level"]})").body)->getObject("data");
    EXPECT_EQ(config->getValue<std::string>("logging_level"), "info");
}

TEST_F(AgentEndpoints, MalformedBodiesGetA400WithTheReason) {
    for (const char* body : {"not json", "[1,2]"}) {
        SCOPED_TRACE(body);
        auto answer = post("/api/agent/get_config", body);
        EXPECT_EQ(answer.status, 400);
        EXPECT_NE(parseObject(answer.body)->getValue<std::string>("error").find("JSON"), std::string::npos);
    }
    // The agent is still there.
    EXPECT_EQ(post("/api/agent/get_config", "{}").status, 200);
}

TEST_F(AgentEndpoints, StatisticShapesWithoutData) {
    EXPECT_EQ(post("/api/agent/get_statistic", "{}").body, R"({"code":-6200,"data":null})");
    EXPECT_EQ(post("/api/agent/get_statistic", R"({"requestType":"DAYS"})").body, R"({"code":0,"data":[]})");
    EXPECT_EQ(post("/api/agent/get_statistic", R"({"requestType":"MONTHS","productCode":"42"})").body,
              R"({"code":0,"data":[{"code":"42","name":"","predictionDataList":[]}]})");
}

TEST(AgentConfigFile, AFileThatCannotBeAppliedIsKeptAndTheApiStillRuns) {
    TempDir home;
    AgentProcess agent(home.path(), "{ this is not json");
    ASSERT_TRUE(agent.waitReady()) << agent.process().stderrText();
    EXPECT_TRUE(std::filesystem::exists(agent.appData() + "/config.json"));
    EXPECT_NE(agent.todaysLog().find("Error parsing configuration file data"), std::string::npos);
    EXPECT_EQ(agent.stop(), 0);
}

TEST(AgentConfigFile, AMissingMonitoringKeyFallsBackToItsSeededValue) {
    TempDir home;
    {
        AgentProcess first(home.path());
        ASSERT_TRUE(first.waitReady());
        ASSERT_EQ(first.stop(), 0);
    }
    {
        Poco::Data::SQLite::Connector::registerConnector();
        Poco::Data::Session session("SQLite", home.path() + "/.local/share/VELMORA/OrvixAgent/service.db");
        session << "DELETE FROM configurations WHERE key = 'monitoring_request_frequency'",
            Poco::Data::Keywords::now;
    }
    AgentProcess second(home.path(), "");
    ASSERT_TRUE(second.waitReady()) << second.todaysLog();
    EXPECT_NE(
        second.todaysLog().find("[warning] Configuration key monitoring_request_frequency is missing; its "
                                "default is in effect;"),
        std::string::npos);
    auto config =
        parseObject(post("/api/agent/get_config", R"({"keys":["monitoring_request_frequency"]})").body)
            ->getObject("data");
    EXPECT_EQ(config->getValue<int>("monitoring_request_frequency"), 20000);
    EXPECT_EQ(second.stop(), 0);
}

}  // namespace
