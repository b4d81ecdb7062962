// How Server::initDriver turns device_ip and device_port into the module driver:
// text and integer ports, refused ports, and unusable addresses that must not
// leave the local API without a driver.
#include <gtest/gtest.h>

#include <stdexcept>

#include <Poco/Dynamic/Var.h>

#include "captured_log.h"
#include "driver.h"
#include "server.h"
#include "test_support.h"

namespace {

using orvix::test::CannedReply;
using orvix::test::RecordedRequest;
using orvix::test::RecordingServer;
using Poco::Dynamic::Var;
using velmora::Engine::Test::Server;

class InitDriver : public ::testing::Test {
protected:
    void SetUp() override { server = std::make_unique<Server>(0, home.file("service.db")); }

    void setConfig(const std::string& key, const Var& value) {
        std::lock_guard<std::mutex> lock(server->GetConfigMutex());
        server->GetConfig()[key] = value;
    }

    // True when the current driver reaches `peer` (one request arrives there).
    bool driverReaches(const RecordingServer& peer) {
        size_t before = peer.requests().size();
        auto [code, mode] = server->GetDriver()->get_learnmode();
        return code == 0 && mode == 1 && peer.requests().size() == before + 1;
    }

    orvix::test::TempDir home;
    orvix::test::ScopedEnv homeEnv{"HOME", home.path().c_str()};
    RecordingServer module{[](const RecordedRequest&) {
        return CannedReply{200, "", "application/json", R"({"code":0,"data":{"mode":1}})"};
    }};
    std::unique_ptr<Server> server;
};

TEST_F(InitDriver, PortMayBeTextOrAnInteger) {
    const unsigned short port = module.port();
    const std::pair<const char*, Var> cases[] = {
        {"text", Var(std::to_string(port))},
        {"64-bit integer", Var(static_cast<Poco::Int64>(port))},
        {"int", Var(static_cast<int>(port))},
        {"unsigned", Var(static_cast<unsigned>(port))},
    };
    for (const auto& [name, value] : cases) {
        SCOPED_TRACE(name);
        setConfig("device_ip", Var(std::string("127.0.0.1")));
        setConfig("device_port", Var(std::string("1")));  // somewhere else first
        server->initDriver();
        setConfig("device_port", value);
        server->initDriver();
        EXPECT_TRUE(driverReaches(module));
    }
}

TEST_F(InitDriver, OutOfRangeOrNonNumericPortsAreRefused) {
    setConfig("device_ip", Var(std::string("127.0.0.1")));
    setConfig("device_port", Var(std::to_string(module.port())));
    server->initDriver();
    const std::pair<const char*, Var> outOfRange[] = {
        {"text above 65535", Var(std::string("70000"))},
        {"integer above 65535", Var(static_cast<Poco::Int64>(70000))},
        {"negative integer", Var(static_cast<Poco::Int64>(-1))},
    };
    for (const auto& [name, value] : outOfRange) {
        SCOPED_TRACE(name);
        setConfig("device_port", value);
        EXPECT_THROW(server->initDriver(), std::out_of_range);
    }
    setConfig("device_port", Var(std::string("abc")));
    EXPECT_THROW(server->initDriver(), std::invalid_argument);
    // A refused port leaves the driver that was there.
    EXPECT_TRUE(driverReaches(module));
}

TEST_F(InitDriver, UnusableAddressKeepsThePreviousOneAndSaysWhichKey) {
    setConfig("device_ip", Var(std::string("127.0.0.1")));
    setConfig("device_port", Var(std::to_string(module.port())));
    server->initDriver();
    const std::pair<const char*, Var> cases[] = {
        {"integer", Var(5)},
        {"boolean", Var(true)},
        {"empty text", Var(std::string())},
        {"empty value", Var()},
    };
    for (const auto& [name, value] : cases) {
        SCOPED_TRACE(name);
        orvix::test::CapturedLog log;
        setConfig("device_ip", value);
        ASSERT_NO_THROW(server->initDriver());
        EXPECT_TRUE(driverReaches(module));
        EXPECT_EQ(
            log.countContaining("device_ip is not a non-empty string; keeping module address 127.0.0.1"), 1u);
    }
}

// A boolean is no port, even though the JSON library can read it as an integer.
TEST_F(InitDriver, PortOfAnotherTypeKeepsThePreviousPort) {
    setConfig("device_ip", Var(std::string("127.0.0.1")));
    setConfig("device_port", Var(std::to_string(module.port())));
    server->initDriver();
    for (const Var& value : {Var(true), Var(8080.5)}) {
        orvix::test::CapturedLog log;
        setConfig("device_port", value);
        server->initDriver();
        EXPECT_TRUE(driverReaches(module));
        EXPECT_EQ(log.countContaining("device_port is neither text nor an integer"), 1u);
    }
}

}  // namespace
