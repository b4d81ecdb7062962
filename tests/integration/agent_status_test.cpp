// The status view against a running agent with its peers (CloudAgent): the fields of
// GET /api/agent/get_status as a recognition waits and then reaches the cloud, and
// `orvix-agent --status` with its exit status for a healthy agent, an unreachable
// module or cloud, and no agent at all.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <boost/json.hpp>

#include "agent-utils.h"
#include "agent_process.h"
#include "build_constants.h"
#include "cloud_agent.h"
#include "status_command.h"
#include "storage_limits.h"
#include "test_support.h"

namespace {

using namespace orvix::test;
namespace json = boost::json;
using std::chrono::milliseconds;
using std::chrono::seconds;

json::object status() {
    const json::object answer = agentJson("GET", "/api/agent/get_status");
    EXPECT_EQ(answer.at("code").to_number<int>(), 0) << json::serialize(answer);
    return answer.at("data").as_object();
}

const json::value& at(const json::object& data, const std::string& group, const std::string& key) {
    return data.at(group).as_object().at(key);
}

const json::object& queue(const json::object& data, const std::string& name) {
    return data.at("queues").as_object().at(name).as_object();
}

bool isIsoUtc(const json::value& value) {
    static const std::regex pattern(R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}Z)");
    return value.is_string() && std::regex_match(std::string(value.as_string()), pattern);
}

struct CommandRun {
    int status;
    std::string output;
};

// `orvix-agent --status` as the person at the terminal runs it.
CommandRun statusCommand(const TempDir& dir) {
    ChildProcess command({agentBinary(), "--status"}, {}, dir.path());
    const int status = command.wait(seconds(15));
    return {status, command.stdoutText() + command.stderrText()};
}

void waitForCloud(CloudAgent& env) {
    ASSERT_TRUE(waitUntil([] { return checkConnect() == 0; }, seconds(20))) << env.log();
    ASSERT_TRUE(waitUntil(
        [] { return configValue("velmora_monitoring_device_id") == json::value(CloudSimPeer::kDeviceId); },
        seconds(20)))
        << env.log();
}

TEST(AgentStatus, FollowsARecognitionFromTheQueueToTheCloud) {
    // The cloud refuses recognitions until the test lets them through, so the
    // queued one can be seen waiting.
    CloudAgent env({}, [](CloudAgent& e) {
        e.cloud.fault(R"({"target":"recognition","mode":"status","status":500,"count":-1})");
    });
    waitForCloud(env);
    // A picture of the agent's (on its list of the pictures it wrote) that no queued
    // recognition names stays in the folder throughout.
    const std::string folder = env.home.path() + "/Documents/VELMORA/OrvixAgent/images";
    writeFile(folder + "/kept.jpg", std::string(1234, 'p'));
    writeFile(folder + "/.orvix-pictures", "kept.jpg\n");

    const json::object before = status();
    EXPECT_EQ(before.at("version"), json::value(velmora::Utils::BuildConstants::orvix_agent_version));
    EXPECT_EQ(before.at("build_date"), json::value(velmora::Utils::utc_format(
                                           velmora::Utils::BuildConstants::orvix_agent_build_date, false)));
    EXPECT_GE(before.at("uptime_seconds").to_number<long long>(), 0);
    EXPECT_EQ(at(before, "module", "address"), json::value("127.0.0.1:" + std::to_string(env.module.port())));
    EXPECT_EQ(at(before, "module", "reachable"), json::value(true));
    EXPECT_EQ(at(before, "cloud", "address"), json::value(env.cloud.baseUrl()));
    EXPECT_EQ(at(before, "cloud", "token_held"), json::value(true));
    EXPECT_EQ(at(before, "cloud", "device_id"), json::value(CloudSimPeer::kDeviceId));
    EXPECT_TRUE(at(before, "cloud", "last_recognition_accepted_at").is_null());
    EXPECT_TRUE(at(before, "cloud", "last_alert_accepted_at").is_null());
    for (const char* name : {"recognitions", "alerts"}) {
        EXPECT_EQ(queue(before, name).at("count"), json::value(0)) << name;
        EXPECT_TRUE(queue(before, name).at("oldest_age_seconds").is_null()) << name;
    }
    EXPECT_EQ(at(before, "pictures_folder", "path"), json::value(folder));
    EXPECT_EQ(at(before, "pictures_folder", "size_bytes"), json::value(1234));
    EXPECT_EQ(at(before, "pictures_folder", "budget_bytes").to_number<std::uint64_t>(),
              velmora::Utils::readStorageLimits({}).imagesFolderBudgetBytes);
    EXPECT_EQ(at(before, "data_folder", "path"), json::value(env.agent->appData() + "/"));
    EXPECT_GT(at(before, "data_folder", "free_bytes").to_number<std::uint64_t>(), 0u);

    env.sale();
    json::object waiting;
    // The age is whole seconds on the database's clock: it reaches 1 within a second or two.
    ASSERT_TRUE(waitUntil(
        [&] {
            waiting = status();
            const json::value& age = queue(waiting, "recognitions").at("oldest_age_seconds");
            return age.is_int64() && age.as_int64() >= 1;
        },
        seconds(10)))
        << json::serialize(waiting);
    EXPECT_EQ(queue(waiting, "recognitions").at("count"), json::value(1));
    EXPECT_TRUE(at(waiting, "cloud", "last_recognition_accepted_at").is_null());
    EXPECT_GE(waiting.at("uptime_seconds").to_number<long long>(),
              before.at("uptime_seconds").to_number<long long>());

    env.cloud.fault(R"({"target":"recognition","mode":"none"})");
    json::object sent;
    ASSERT_TRUE(waitUntil(
        [&] {
            sent = status();
            return queue(sent, "recognitions").at("count") == json::value(0);
        },
        seconds(20)))
        << json::serialize(sent) << env.log();
    EXPECT_TRUE(queue(sent, "recognitions").at("oldest_age_seconds").is_null());
    EXPECT_TRUE(isIsoUtc(at(sent, "cloud", "last_recognition_accepted_at"))) << json::serialize(sent);
    // The sale's picture went to the object storage (before the first, refused post)
    // and left the folder.
    EXPECT_EQ(at(sent, "pictures_folder", "size_bytes"), json::value(1234));
}

TEST(AgentStatus, CommandSummarisesAHealthyAgent) {
    CloudAgent env;
    waitForCloud(env);
    const CommandRun run = statusCommand(env.files);
    EXPECT_EQ(run.status, velmora::Engine::kStatusHealthy) << run.output;
    for (const std::string& line : {
             std::string("\xE2\x97\x8F orvix-agent - Velmora Orvix Agent ") +
                 velmora::Utils::BuildConstants::orvix_agent_version,
             std::string("     Active: active (running) for "),
             "     Module: 127.0.0.1:" + std::to_string(env.module.port()) + " (reachable)\n",
             "      Cloud: " + env.cloud.baseUrl() + " (token held, device id " + CloudSimPeer::kDeviceId +
                 ")\n",
             std::string("     Queued: 0 recognitions, 0 alerts\n"),
             std::string("  Last sent: recognition never, alert never\n"),
             std::string("   Pictures: 0 B of "),
             std::string("  Disk free: "),
         }) {
        EXPECT_NE(run.output.find(line), std::string::npos) << "missing \"" << line << "\" in\n"
                                                            << run.output;
    }
}

// A peer the agent cannot reach: the status says which, and the command fails.
struct UnreachableCase {
    const char* name;
    std::function<void(CloudAgent&)> beforeStart;
    std::function<void(CloudAgent&)> afterStart;
    const char* group;  // the status member that reports it
    const char* flag;
    const char* summary;  // what the command prints for it
};

const UnreachableCase kUnreachable[] = {
    {"ModuleStopped",
     {},
     [](CloudAgent& env) { env.module.stop(); },
     "module",
     "reachable",
     "degraded (module unreachable)"},
    {"TokenRefused",
     [](CloudAgent& env) { env.cloud.fault(R"({"target":"token","mode":"status","status":401})"); },
     {},
     "cloud",
     "token_held",
     "degraded (no cloud token)"},
};

class AgentStatusUnreachable : public ::testing::TestWithParam<UnreachableCase> {};

TEST_P(AgentStatusUnreachable, IsReportedAndTheCommandFails) {
    const UnreachableCase& c = GetParam();
    CloudAgent env({}, c.beforeStart);
    if (c.afterStart) {
        c.afterStart(env);
    }
    const json::object data = status();
    EXPECT_EQ(at(data, c.group, c.flag), json::value(false)) << json::serialize(data);

    const CommandRun run = statusCommand(env.files);
    EXPECT_EQ(run.status, velmora::Engine::kStatusDegraded) << run.output;
    EXPECT_NE(run.output.find(std::string("Active: ") + c.summary), std::string::npos) << run.output;
}

INSTANTIATE_TEST_SUITE_P(AgentStatus, AgentStatusUnreachable, ::testing::ValuesIn(kUnreachable),
                         [](const ::testing::TestParamInfo<UnreachableCase>& info) {
                             return info.param.name;
                         });

TEST(AgentStatus, CommandWithTheAgentStoppedSaysSoAndFails) {
    TempDir home;
    AgentProcess agent(home.path());
    ASSERT_TRUE(agent.waitReady()) << agent.process().stderrText();
    ASSERT_EQ(agent.stop(), 0);

    const CommandRun run = statusCommand(home);
    EXPECT_EQ(run.status, velmora::Engine::kStatusNotRunning) << run.output;
    EXPECT_NE(run.output.find("\xE2\x97\x8F orvix-agent - Velmora Orvix Agent\n"), std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("     Active: unreachable (no status from 127.0.0.1:5555: "), std::string::npos)
        << run.output;
}

}  // namespace
