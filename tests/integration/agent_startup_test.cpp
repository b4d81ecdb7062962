// A dead agent does not look alive: when its API cannot listen or its home is
// unusable it says why and ends with a non-zero status, so its service manager
// restarts it; a bind address this computer does not have is refused or, when
// stored earlier, left for all interfaces; SIGHUP does not end it.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>

#include <Poco/Data/SQLite/Connector.h>
#include <Poco/Data/Session.h>
#include <Poco/JSON/Object.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>

#include "agent_process.h"
#include "json_text.h"
#include "test_support.h"

namespace {

using namespace orvix::test;
using Clock = std::chrono::steady_clock;

HttpAnswer post(const std::string& path, const std::string& body) {
    return httpCall(AgentProcess::kPort, "POST", path, body, "application/json");
}

TEST(AgentStartup, APortTakenEndsTheProcessWithANonZeroStatus) {
    // Held as another program may hold it, even one that asks to share the port.
    Poco::Net::ServerSocket taken;
    taken.bind(Poco::Net::SocketAddress("0.0.0.0", AgentProcess::kPort), true, true);
    taken.listen(8);
    TempDir home;
    const auto start = Clock::now();
    AgentProcess agent(home.path());
    const int status = agent.process().wait(std::chrono::seconds(10));
    EXPECT_NE(status, 0);
    EXPECT_NE(status, -1) << "still running without a listener";
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    const std::string log = agent.todaysLog();
    EXPECT_NE(log.find("Local API cannot listen on 0.0.0.0:5555: "), std::string::npos) << log;
    // The reason, not only the exception's class.
    EXPECT_NE(log.find("Address already in use"), std::string::npos) << log;
    EXPECT_NE(agent.process().stderrText().find("Local API cannot listen"), std::string::npos);
}

TEST(AgentStartup, ABindAddressOfAnotherComputerIsRefused) {
    TempDir home;
    AgentProcess agent(home.path());
    ASSERT_TRUE(agent.waitReady()) << agent.process().stderrText();
    Poco::JSON::Object::Ptr answer =
        parseObject(post("/api/agent/set_config", R"({"local_api_bind_address":"10.9.9.9"})").body);
    EXPECT_EQ(answer->getValue<int>("code"), -6210);
    EXPECT_EQ(answer->optValue<std::string>("msg", "").rfind("local_api_bind_address: ", 0), 0u)
        << compact(answer);
    for (const char* address : {"127.0.0.1", "0.0.0.0"}) {
        SCOPED_TRACE(address);
        EXPECT_EQ(
            post("/api/agent/set_config", std::string(R"({"local_api_bind_address":")") + address + "\"}")
                .body,
            R"({"code":0,"data":null})");
    }
    EXPECT_EQ(agent.stop(), 0);
}

TEST(AgentStartup, AStoredBindAddressThatIsGoneFallsBackToAllInterfaces) {
    TempDir home;
    {
        AgentProcess first(home.path());
        ASSERT_TRUE(first.waitReady()) << first.process().stderrText();
        ASSERT_EQ(first.stop(), 0);
    }
    {
        // As a database copied from another till holds it.
        Poco::Data::SQLite::Connector::registerConnector();
        Poco::Data::Session session("SQLite", home.path() + "/.local/share/VELMORA/OrvixAgent/service.db");
        session << "INSERT INTO configurations (created_at, updated_at, key, type, value) VALUES "
                   "(CURRENT_TIMESTAMP, CURRENT_TIMESTAMP, 'local_api_bind_address', 'string', '10.9.9.9')",
            Poco::Data::Keywords::now;
    }
    AgentProcess agent(home.path(), "");
    ASSERT_TRUE(agent.waitReady()) << agent.todaysLog();
    const std::string log = agent.todaysLog();
    EXPECT_NE(
        log.find("Configuration value of local_api_bind_address cannot be used (local_api_bind_address: "
                 "10.9.9.9 is no address of this computer"),
        std::string::npos)
        << log;
    EXPECT_NE(log.find("Local API listens on 0.0.0.0:5555"), std::string::npos) << log;
    EXPECT_EQ(agent.stop(), 0);
}

TEST(AgentStartup, AHomeThatIsNoDirectoryIsAClearError) {
    TempDir dir;
    writeFile(dir.file("home"), "a file, not a folder");
    ChildProcess agent({agentBinary()}, {{"HOME", dir.file("home")}}, dir.path());
    EXPECT_EQ(agent.wait(std::chrono::seconds(10)), 1);
    EXPECT_NE(agent.stderrText().find("HOME (" + dir.file("home") + ") is not a directory"),
              std::string::npos)
        << agent.stderrText();
}

TEST(AgentStartup, SighupIsLoggedAndIgnored) {
    TempDir home;
    AgentProcess agent(home.path());
    ASSERT_TRUE(agent.waitReady()) << agent.process().stderrText();
    agent.process().signal(SIGHUP);
    EXPECT_TRUE(waitUntil([&] { return agent.todaysLog().find("Received SIGHUP") != std::string::npos; },
                          std::chrono::seconds(5)))
        << agent.todaysLog();
    EXPECT_TRUE(agent.process().running());
    EXPECT_EQ(post("/api/agent/get_config", "{}").status, 200);
    EXPECT_EQ(agent.stop(), 0);
}

}  // namespace
