// What the agent's log holds: the level the configuration names, client payloads
// cut to a few KiB, and reasons rather than exception class names.
#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include <Poco/JSON/Object.h>

#include "agent_process.h"
#include "json_text.h"
#include "test_support.h"

namespace {

using namespace orvix::test;

HttpAnswer post(const std::string& path, const std::string& body) {
    return httpCall(AgentProcess::kPort, "POST", path, body, "application/json");
}

size_t count(const std::string& text, const std::string& part) {
    size_t found = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) {
        ++found;
    }
    return found;
}

TEST(AgentLogging, TheConfiguredLevelAppliesAtStartAndOnSetConfig) {
    TempDir home;
    AgentProcess agent(home.path(), R"({"device_ip":"127.0.0.1","device_port":"9","logging_level":"warn"})");
    ASSERT_TRUE(agent.waitReady()) << agent.process().stderrText();
    const std::string line = "Incoming POST request to /api/agent/get_config;";
    ASSERT_EQ(post("/api/agent/get_config", "{}").status, 200);
    EXPECT_EQ(count(agent.todaysLog(), line), 0u) << agent.todaysLog();

    Poco::JSON::Object::Ptr refused =
        parseObject(post("/api/agent/set_config", R"({"logging_level":"chatty"})").body);
    EXPECT_EQ(refused->getValue<int>("code"), -6210);
    EXPECT_EQ(refused->optValue<std::string>("msg", "").rfind("logging_level: ", 0), 0u) << compact(refused);

    // A syslog priority is a level too: 6 is info.
    ASSERT_EQ(post("/api/agent/set_config", R"({"logging_level":6})").body, R"({"code":0,"data":null})");
    ASSERT_EQ(post("/api/agent/get_config", "{}").status, 200);
    EXPECT_EQ(count(agent.todaysLog(), line), 1u) << agent.todaysLog();
    EXPECT_EQ(agent.stop(), 0);
}

TEST(AgentLogging, AClientsPayloadIsCutToAFewKib) {
    TempDir home;
    AgentProcess agent(home.path());
    ASSERT_TRUE(agent.waitReady()) << agent.process().stderrText();
    const std::string name(200 * 1024, 'q');
    post("/api/monitoring/devices/models", R"({"name":")" + name + "\"}");
    const std::string log = agent.todaysLog();
    EXPECT_NE(log.find("create_device_model() called, request: {\"name\":\"qqqq"), std::string::npos)
        << log.size();
    EXPECT_NE(log.find("more bytes)"), std::string::npos);
    EXPECT_LT(log.size(), 64u * 1024);
    EXPECT_EQ(agent.stop(), 0);
}

// Run as systemd runs it: standard error is the stream JOURNAL_STREAM names.
struct JournalCase {
    const char* name;
    bool streamIsStderr;
};

TEST(AgentLogging, UnderSystemdTheLinesGoToTheJournalAsWell) {
    for (const JournalCase c : {JournalCase{"JournalStream", true}, JournalCase{"OtherStream", false}}) {
        SCOPED_TRACE(c.name);
        TempDir home;
        writeFile(home.path() + "/.local/share/VELMORA/OrvixAgent/config.json",
                  AgentProcess::defaultConfig());
        const std::string stream = home.file("journal");
        // The stream's device and inode, as systemd puts them in the environment.
        const std::string named = c.streamIsStderr ? stream : home.file("elsewhere");
        ChildProcess agent({"/bin/sh", "-c",
                            "exec 2>\"$1\"; touch \"$2\"; JOURNAL_STREAM=$(stat -c %d:%i \"$2\") exec \"$3\"",
                            "sh", stream, named, agentBinary()},
                           {{"HOME", home.path()}}, home.path());
        ASSERT_TRUE(waitForPort(AgentProcess::kPort, std::chrono::seconds(20)));
        ASSERT_TRUE(waitUntil(
            [] {
                try {
                    return httpCall(AgentProcess::kPort, "GET", "/api", {}, {}, 2).status == 404;
                } catch (...) {
                    return false;
                }
            },
            std::chrono::seconds(20)));
        post("/api/agent/set_config", R"({"device_port":"70000"})");
        agent.signal(SIGTERM);
        EXPECT_EQ(agent.wait(std::chrono::seconds(20)), 0);
        const std::string journal = readFile(stream);
        const std::string daily = readFile(home.path() + "/.local/share/VELMORA/OrvixAgent/logs/orvix_" +
                                           todayLocalDate() + ".log");
        EXPECT_NE(daily.find("Starting Orvix Agent server"), std::string::npos);
        if (c.streamIsStderr) {
            EXPECT_NE(journal.find("<6>Starting Orvix Agent server\n"), std::string::npos) << journal;
            // Each line of a message carries its priority.
            EXPECT_NE(journal.find("\n<6> build_date(global time): "), std::string::npos) << journal;
            EXPECT_NE(journal.find("<4>set_config refused: device_port: "), std::string::npos) << journal;
            EXPECT_EQ(journal.find("[daily_logger]"), std::string::npos);
        } else {
            EXPECT_EQ(journal.find("Starting Orvix Agent server"), std::string::npos) << journal;
        }
    }
}

}  // namespace
