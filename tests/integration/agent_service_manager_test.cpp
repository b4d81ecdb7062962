// What systemd learns from the agent over its notify socket: ready once the API
// listens, alive while it answers, stopping at the end.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include "agent_process.h"
#include "test_support.h"

namespace {

using namespace orvix::test;
using Clock = std::chrono::steady_clock;

// A notify socket as systemd offers one: datagrams on a Unix socket.
class NotifySocket {
public:
    explicit NotifySocket(const std::string& path) : path_(path) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
        bound_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    }
    ~NotifySocket() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    bool bound() const { return bound_; }
    // Every message that arrives within `period`.
    std::vector<std::string> receive(std::chrono::milliseconds period) {
        timeval wait{0, 100 * 1000};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
        std::vector<std::string> messages;
        for (const auto until = Clock::now() + period; Clock::now() < until;) {
            char buffer[512];
            const ssize_t got = ::recv(fd_, buffer, sizeof(buffer), 0);
            if (got > 0) {
                messages.emplace_back(buffer, static_cast<size_t>(got));
            }
        }
        return messages;
    }

private:
    std::string path_;
    int fd_ = -1;
    bool bound_ = false;
};

long count(const std::vector<std::string>& messages, const std::string& message) {
    return std::count(messages.begin(), messages.end(), message);
}

TEST(AgentServiceManager, ReadyOnceListeningAliveWhileAnsweringStoppingAtTheEnd) {
    TempDir home;
    NotifySocket notify(home.file("notify"));
    ASSERT_TRUE(notify.bound());
    AgentProcess agent(home.path(), AgentProcess::defaultConfig(),
                       {{"NOTIFY_SOCKET", home.file("notify")}, {"WATCHDOG_USEC", "600000"}});
    ASSERT_TRUE(agent.waitReady()) << agent.process().stderrText();
    const size_t logged = agent.todaysLog().size();
    const std::vector<std::string> running = notify.receive(std::chrono::seconds(2));
    EXPECT_EQ(count(running, "READY=1"), 1);
    // A ping every 200 ms while the API answers.
    EXPECT_GE(count(running, "WATCHDOG=1"), 5);
    // The probes the pings rest on are not logged.
    EXPECT_EQ(agent.todaysLog().find("Incoming GET request to /api;", logged), std::string::npos);
    agent.process().signal(SIGTERM);
    const std::vector<std::string> stopping = notify.receive(std::chrono::seconds(1));
    EXPECT_EQ(count(stopping, "STOPPING=1"), 1);
    EXPECT_EQ(agent.process().wait(std::chrono::seconds(20)), 0);
}

TEST(AgentServiceManager, AWatchdogMeantForAnotherProcessIsNotFed) {
    TempDir home;
    NotifySocket notify(home.file("notify"));
    ASSERT_TRUE(notify.bound());
    AgentProcess agent(
        home.path(), AgentProcess::defaultConfig(),
        {{"NOTIFY_SOCKET", home.file("notify")}, {"WATCHDOG_USEC", "600000"}, {"WATCHDOG_PID", "1"}});
    ASSERT_TRUE(agent.waitReady()) << agent.process().stderrText();
    const std::vector<std::string> running = notify.receive(std::chrono::seconds(1));
    EXPECT_EQ(count(running, "READY=1"), 1);
    EXPECT_EQ(count(running, "WATCHDOG=1"), 0);
    EXPECT_EQ(agent.stop(), 0);
}

}  // namespace
