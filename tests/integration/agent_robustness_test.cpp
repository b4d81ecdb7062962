// The agent process holds up: no configuration value takes its API away, old
// logs go, its files are its owner's alone, and installing reports failure.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <functional>
#include <map>

#include <Poco/Data/SQLite/Connector.h>
#include <Poco/Data/Session.h>
#include <Poco/JSON/Array.h>
#include <Poco/JSON/Object.h>

#include "agent_process.h"
#include "json_text.h"
#include "module_sim_peer.h"
#include "test_support.h"

namespace {

using namespace orvix::test;
using namespace Poco::Data::Keywords;

HttpAnswer post(const std::string& path, const std::string& body) {
    return httpCall(AgentProcess::kPort, "POST", path, body, "application/json");
}

Poco::Data::Session openDatabase(const std::string& path) {
    Poco::Data::SQLite::Connector::registerConnector();
    return Poco::Data::Session("SQLite", path);
}

// key -> "type|value" of every configuration row.
std::map<std::string, std::string> configurationRows(const std::string& dbPath) {
    auto session = openDatabase(dbPath);
    std::vector<std::string> keys, types, values;
    session << "SELECT key, type, value FROM configurations", into(keys), into(types), into(values), now;
    std::map<std::string, std::string> rows;
    for (size_t i = 0; i < keys.size(); ++i) {
        rows[keys[i]] = types[i] + "|" + values[i];
    }
    return rows;
}

Poco::JSON::Object::Ptr currentConfig() {
    return parseObject(post("/api/agent/get_config", "{}").body)->getObject("data");
}

// Values no part of the agent can run with, as a set_config or config.json sends them.
const std::pair<std::string, std::string> kUnusable[] = {
    {"device_port", R"("70000")"},
    {"device_port", "70000"},
    {"device_port", R"("abc")"},
    {"device_ip", R"("")"},
    {"device_ip", R"("h:99999")"},
    {"monitoring_request_frequency", "1099511627776"},
    {"monitoring_request_frequency", "-1"},
    {"monitoring_request_frequency", R"("x")"},
    {"monitoring_service_port", R"("0")"},
    {"monitoring_getting_tasks", R"("yes")"},
    {"product_prediction_data_folder_path", R"("")"},
    {"recognition_queue_cap", "0"},
};

std::string updateOf(const std::pair<std::string, std::string>& value) {
    return "{\"" + value.first + "\":" + value.second + "}";
}

TEST(AgentConfiguration, SetConfigRefusesUnusableValuesAndStoresNothing) {
    TempDir home;
    auto agent = std::make_unique<AgentProcess>(home.path());
    ASSERT_TRUE(agent->waitReady()) << agent->process().stderrText();
    const auto rows = configurationRows(agent->dbPath());
    const std::string config = compact(currentConfig());
    for (const auto& value : kUnusable) {
        SCOPED_TRACE(updateOf(value));
        EXPECT_EQ(post("/api/agent/set_config", updateOf(value)).body, R"({"code":-6210,"data":null})");
        EXPECT_EQ(configurationRows(agent->dbPath()), rows);
        EXPECT_EQ(compact(currentConfig()), config);
    }
    EXPECT_NE(agent->todaysLog().find("set_config refused: device_port: "), std::string::npos);
    ASSERT_EQ(agent->stop(), 0);

    // The next start finds nothing it cannot use.
    agent = std::make_unique<AgentProcess>(home.path(), "");
    ASSERT_TRUE(agent->waitReady()) << agent->todaysLog();
    EXPECT_EQ(compact(currentConfig()), config);
    EXPECT_EQ(agent->stop(), 0);
}

TEST(AgentConfiguration, AConfigFileWithAnUnusableValueIsKeptAndTheApiRuns) {
    TempDir home;
    {
        // A first start points the module at loopback; each file below is refused whole.
        AgentProcess first(home.path());
        ASSERT_TRUE(first.waitReady());
        ASSERT_EQ(first.stop(), 0);
    }
    const std::string dbPath = home.path() + "/.local/share/VELMORA/OrvixAgent/service.db";
    const auto rows = configurationRows(dbPath);
    for (const auto& value : kUnusable) {
        SCOPED_TRACE(updateOf(value));
        AgentProcess agent(home.path(), updateOf(value));
        ASSERT_TRUE(agent.waitReady()) << agent.todaysLog();
        EXPECT_TRUE(std::filesystem::exists(agent.appData() + "/config.json"));
        EXPECT_EQ(post("/api/agent/get_config", R"({"keys":["device_port"]})").status, 200);
        EXPECT_EQ(agent.stop(), 0);
        EXPECT_NE(agent.todaysLog().find("Error parsing configuration file data: " + value.first + ": "),
                  std::string::npos);
        EXPECT_EQ(configurationRows(dbPath), rows);
        std::filesystem::remove(agent.appData() + "/config.json");
    }
}

TEST(AgentConfiguration, AStoredValueItCannotUseFallsBackToItsSeededValue) {
    TempDir home;
    {
        AgentProcess first(home.path());
        ASSERT_TRUE(first.waitReady());
        ASSERT_EQ(first.stop(), 0);
    }
    const std::string dbPath = home.path() + "/.local/share/VELMORA/OrvixAgent/service.db";
    {
        // Written by hand: values no reader accepts.
        auto session = openDatabase(dbPath);
        session << "UPDATE configurations SET value = 'abc' WHERE key = 'device_port'", now;
        session
            << "UPDATE configurations SET value = '1099511627776' WHERE key = 'monitoring_request_frequency'",
            now;
        session << "UPDATE configurations SET value = '0' WHERE key = 'monitoring_service_port'", now;
        session << "UPDATE configurations SET type = 'string', value = 'yes' WHERE key = "
                   "'monitoring_getting_tasks'",
            now;
        session << "UPDATE configurations SET value = '' WHERE key = 'product_prediction_data_folder_path'",
            now;
    }
    AgentProcess agent(home.path(), "");
    ASSERT_TRUE(agent.waitReady()) << agent.todaysLog();
    const std::string log = agent.todaysLog();
    for (const char* key : {"device_port", "monitoring_request_frequency", "monitoring_service_port",
                            "monitoring_getting_tasks", "product_prediction_data_folder_path"}) {
        EXPECT_NE(log.find(std::string("[warning] Configuration value of ") + key + " cannot be used ("),
                  std::string::npos)
            << key;
    }
    auto config = currentConfig();
    EXPECT_EQ(config->getValue<std::string>("device_port"), "80");
    EXPECT_EQ(config->getValue<int>("monitoring_request_frequency"), 20000);
    EXPECT_EQ(config->getValue<std::string>("monitoring_service_port"), "443");
    EXPECT_TRUE(config->getValue<bool>("monitoring_getting_tasks"));
    EXPECT_EQ(config->getValue<std::string>("product_prediction_data_folder_path"),
              home.path() + "/Documents/VELMORA/OrvixAgent/images");
    EXPECT_EQ(config->getValue<std::string>("device_ip"), "127.0.0.1");  // usable, so kept
    // In memory only: the rows stay for the operator to mend.
    EXPECT_EQ(configurationRows(dbPath).at("device_port"), "string|abc");
    EXPECT_EQ(agent.stop(), 0);
}

std::string localDateDaysAgo(int days) {
    std::time_t moment = std::time(nullptr) - static_cast<std::time_t>(days) * 24 * 60 * 60;
    std::tm local{};
    localtime_r(&moment, &local);
    char text[11];
    std::strftime(text, sizeof(text), "%Y-%m-%d", &local);
    return text;
}

TEST(AgentLogs, DailyFilesOlderThanTheRetentionAreRemovedAtStart) {
    TempDir home;
    const std::string logs = home.path() + "/.local/share/VELMORA/OrvixAgent/logs";
    const std::string ancient = logs + "/orvix_2020-01-01.log";
    const std::string fortyDays = logs + "/orvix_" + localDateDaysAgo(40) + ".log";
    const std::string yesterday = logs + "/orvix_" + localDateDaysAgo(1) + ".log";
    for (const auto& path : {ancient, fortyDays, yesterday}) {
        writeFile(path, "old line\n");
    }
    // Forty days is within the default of ninety, beyond the thirty set here.
    AgentProcess agent(home.path(), R"({"device_ip":"127.0.0.1","device_port":"9","log_retention_days":30})");
    ASSERT_TRUE(agent.waitReady()) << agent.process().stderrText();
    EXPECT_TRUE(waitUntil([&] { return !std::filesystem::exists(fortyDays); }, std::chrono::seconds(10)));
    EXPECT_FALSE(std::filesystem::exists(ancient));
    EXPECT_TRUE(std::filesystem::exists(yesterday));
    EXPECT_NE(agent.todaysLog().find("Removed log file orvix_2020-01-01.log (older than 30 days);"),
              std::string::npos);
    EXPECT_EQ(agent.stop(), 0);
}

TEST(AgentFiles, AreReadableByTheirOwnerOnly) {
    TempDir home;
    ModuleSimPeer sim(home.path());
    // The documents folder exists, so the agent creates the pictures folder in it.
    std::filesystem::create_directories(home.path() + "/Documents/VELMORA/OrvixAgent");
    AgentProcess agent(home.path(), "");
    ASSERT_TRUE(agent.waitReady()) << agent.process().stderrText();
    ASSERT_EQ(post("/api/agent/set_config",
                   R"({"device_ip":"127.0.0.1","device_port":")" + std::to_string(sim.port()) + R"("})")
                  .body,
              R"({"code":0,"data":null})");
    auto result = parseObject(httpCall(AgentProcess::kPort, "GET", "/api/get_result").body);
    ASSERT_EQ(result->getValue<int>("code"), 0);
    const std::string sid = result->getObject("data")->getValue<std::string>("sid");
    const std::string chosen =
        result->getObject("data")->getArray("items")->getObject(0)->getValue<std::string>("id");
    ASSERT_EQ(post("/api/result_feedback", R"({"sid":")" + sid + R"(","id":")" + chosen + R"("})").body,
              R"({"code":0,"data":null})");

    const std::string images = home.path() + "/Documents/VELMORA/OrvixAgent/images";
    const std::string paths[] = {
        agent.appData(),
        agent.dbPath(),
        agent.dbPath() + "-wal",
        agent.appData() + "/logs",
        agent.appData() + "/logs/orvix_" + todayLocalDate() + ".log",
        images,
        images + "/" + sid + ".jpg",
    };
    for (const auto& path : paths) {
        struct stat info {};
        ASSERT_EQ(::stat(path.c_str(), &info), 0) << path;
        EXPECT_EQ(info.st_mode & 077, 0u) << path << " mode " << std::oct << (info.st_mode & 0777);
    }
    EXPECT_EQ(agent.stop(), 0);
}

TEST(AgentCommandLine, InstallFailsWhenTheFileCannotBeWritten) {
    // Tests run as root, who ignores permissions: the failures come from the shape of
    // the file system instead.
    struct Case {
        std::string name;
        std::function<void(const std::string& home)> arrange;
    };
    const Case cases[] = {
        {"the config folder is a file", [](const std::string& home) { writeFile(home + "/.config", "x"); }},
        {"a directory holds the entry's name",
         [](const std::string& home) {
             std::filesystem::create_directories(home + "/.config/autostart/orvix-driver.desktop");
         }},
        {"no autostart folder", [](const std::string&) {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir home;
        c.arrange(home.path());
        ChildProcess install({agentBinary(), "--install-service", "autostart"}, {{"HOME", home.path()}},
                             home.path());
        EXPECT_EQ(install.wait(std::chrono::seconds(10)), 1);
        EXPECT_NE(install.stderrText().find("could not write " + home.path() +
                                            "/.config/autostart/orvix-driver.desktop"),
                  std::string::npos)
            << install.stderrText();
        EXPECT_EQ(install.stdoutText().find("Wrote"), std::string::npos);
    }
}

}  // namespace
