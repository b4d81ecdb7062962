// The agent executable as a process: start-up, local API, shutdown, command line.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>

#include "agent_process.h"
#include "test_support.h"

namespace {

using namespace orvix::test;

TEST(AgentRuntime, StartsAnswersTracesAndStopsOnSigterm) {
    TempDir home;
    AgentProcess agent(home.path());
    ASSERT_TRUE(agent.waitReady()) << agent.process().stderrText();

    auto notFound = httpCall(AgentProcess::kPort, "GET", "/api");
    EXPECT_EQ(notFound.status, 404);
    EXPECT_EQ(notFound.body, "");
    EXPECT_THROW(httpCall(AgentProcess::kPort, "GET", "/status"), std::exception);

    EXPECT_EQ(agent.stop(), 0);
    std::string out = agent.process().stdoutText();
    EXPECT_NE(out.find("Running in headless service mode (fallback from tray mode)\n"), std::string::npos)
        << out;
    EXPECT_NE(out.find("[HandleSession] Received request for endpoint: /status\n"
                       "[HandleSession] Content-Type: not specified\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("Received SIGTERM, shutting down...\n"), std::string::npos) << out;

    std::string log = agent.todaysLog();
    EXPECT_NE(log.find("Starting Velmora Orvix Agent on "), std::string::npos) << log;
    EXPECT_NE(
        log.find(":5555 with prebuild constants: \n build_date(global time): 2026-02-16 13:52:48,\n os: "
                 "GNU/Linux,\n app version: 1.0.0009;"),
        std::string::npos)
        << log;
    EXPECT_NE(log.find("Server started on port 5555;"), std::string::npos);
    EXPECT_NE(log.find("Incoming GET request to /api;"), std::string::npos);
    auto terminated = log.find("Received SIGTERM, shutting down...");
    ASSERT_NE(terminated, std::string::npos);
    EXPECT_NE(log.find("Server stopped;", terminated), std::string::npos);
}

TEST(AgentRuntime, SigintEndsWithStatusZeroEvenWithoutAServer) {
    TempDir home;
    // A database file that is no database: the server cannot be built, and the
    // process still stays up and ends cleanly.
    writeFile(home.path() + "/.local/share/VELMORA/OrvixAgent/service.db", std::string(4096, 'x'));
    AgentProcess agent(home.path());
    ASSERT_TRUE(waitUntil([&] { return agent.process().stdoutText().find("headless") != std::string::npos; },
                          std::chrono::seconds(20)));
    agent.process().signal(SIGINT);
    EXPECT_EQ(agent.process().wait(std::chrono::seconds(20)), 0);
    EXPECT_NE(agent.process().stdoutText().find("Received SIGINT, shutting down..."), std::string::npos);
    EXPECT_NE(agent.todaysLog().find("Failed to create server: "), std::string::npos) << agent.todaysLog();
}

TEST(AgentCommandLine, InstallAutostartWritesTheAbsolutePath) {
    TempDir home;
    std::filesystem::create_directories(home.path() + "/.config/autostart");
    ChildProcess install({agentBinary(), "--install-service", "autostart"}, {{"HOME", home.path()}},
                         home.path());
    EXPECT_EQ(install.wait(std::chrono::seconds(10)), 0) << install.stderrText();
    std::string entry = readFile(home.path() + "/.config/autostart/orvix-driver.desktop");
    std::string exe = std::filesystem::canonical(agentBinary()).string();
    EXPECT_EQ(entry, "[Desktop Entry]\nType=Application\nExec=" + exe + "\nX-GNOME-Autostart-enabled=true\n");
}

TEST(AgentCommandLine, HelpVersionAndBadArguments) {
    TempDir home;
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string stdoutHas;
        std::string stderrHas;
    };
    const Case cases[] = {
        {{"--help"}, 0, "--install-service systemd", ""},
        {{"--version"}, 0, "1.0.0009 (built 2026-02-16 13:52:48 UTC)", ""},
        {{"--bogus"}, 2, "", "Usage: orvix-agent"},
        {{"--install-service"}, 2, "", "Usage: orvix-agent"},
        {{"--install-service", "upstart"}, 2, "", "Usage: orvix-agent"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv{agentBinary()};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        ChildProcess run(argv, {{"HOME", home.path()}}, home.path());
        EXPECT_EQ(run.wait(std::chrono::seconds(10)), c.status) << c.args[0];
        EXPECT_NE(run.stdoutText().find(c.stdoutHas), std::string::npos) << c.args[0];
        EXPECT_NE(run.stderrText().find(c.stderrHas), std::string::npos) << c.args[0];
    }
    // None of these ran the service.
    EXPECT_FALSE(std::filesystem::exists(home.path() + "/.local/share/VELMORA/OrvixAgent/logs"));
}

}  // namespace
