// Faults of every peer, one row each, against the running agent with the module
// simulator, the cloud simulator and s3rver. For each row: the local API keeps
// answering while the fault lasts, the log says what happened, and once the fault
// clears every queued recognition and alert reaches the cloud exactly once.
#include <gtest/gtest.h>

#include <sys/mount.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <boost/json.hpp>

#include "cloud_agent.h"
#include "test_support.h"

namespace {

using namespace orvix::test;
namespace json = boost::json;
using std::chrono::milliseconds;
using std::chrono::seconds;
using Clock = std::chrono::steady_clock;

struct FaultCase {
    std::string name;
    bool beforeStart;  // the fault is there when the agent starts (it never had a token)
    std::function<void(CloudAgent&)> apply;
    std::function<void(CloudAgent&)> clear;  // null: the fault stays to the end
    std::string logLine;                     // what the agent's log says of it
    int moduleCode;                          // what a module command answers while the fault lasts
    bool salesDuringFault;                   // the module works, so a till goes on selling
};

std::ostream& operator<<(std::ostream& out, const FaultCase& c) {
    return out << c.name;
}

void moduleFault(CloudAgent& env, const std::string& json) {
    env.module.fault(json);
}
void clearModule(CloudAgent& env) {
    env.module.fault(R"({"mode":"none","delay_ms":0})");
}
void clearCloud(CloudAgent& env) {
    env.cloud.fault(R"({"mode":"none"})");
}
void storageLogin(const std::string& login) {
    const json::object answer =
        agentJson("POST", "/api/agent/set_config", R"({"file_storage_service_login":")" + login + R"("})");
    EXPECT_EQ(answer.at("code").to_number<int>(), 0) << json::serialize(answer);
}

const FaultCase kFaults[] = {
    {"ModuleOff", false, [](CloudAgent& env) { env.module.stop(); }, nullptr,
     "get_device_info() exception: ", -6103, false},
    {"ModuleHttp500", false, [](CloudAgent& env) { moduleFault(env, R"({"mode":"http500"})"); }, clearModule,
     "get_device_info() network failed: code = 500;", 500, false},
    {"ModuleNotJson", false, [](CloudAgent& env) { moduleFault(env, R"({"mode":"nonjson"})"); }, clearModule,
     "get_device_info() exception: ", -6103, false},
    {"ModuleSlowerThanItsTimeout", false, [](CloudAgent& env) { moduleFault(env, R"({"delay_ms":7500})"); },
     clearModule, "get_device_info() exception: ", -6103, false},
    {"TokenRefused", true,
     [](CloudAgent& env) { env.cloud.fault(R"({"target":"token","mode":"status","status":401})"); },
     clearCloud, "Auth error, http response code: 401", 0, true},
    {"TokenEndpointFails", true,
     [](CloudAgent& env) { env.cloud.fault(R"({"target":"token","mode":"status","status":500})"); },
     clearCloud, "Auth error, http response code: 500", 0, true},
    {"TokenEndpointUnreachable", true,
     [](CloudAgent& env) { env.cloud.fault(R"({"target":"token","mode":"drop"})"); }, clearCloud,
     "Failed to auth: ", 0, true},
    {"CloudRefusesRecognitionsAndAlerts", false,
     [](CloudAgent& env) {
         env.cloud.fault(R"({"target":"recognition","mode":"status","status":500})");
         env.cloud.fault(R"({"target":"alert","mode":"status","status":500})");
     },
     clearCloud, "Recognition POST failed: ", 0, true},
    {"StorageRefuses", false, [](CloudAgent&) { storageLogin("NOT-THE-KEY"); },
     [](CloudAgent&) { storageLogin(S3rverPeer::kAccessKey); }, "Failed to load to S3 (after 5 attempts)", 0,
     true},
    // The sales wait with their pictures until the storage is back.
    {"StorageDown", false, [](CloudAgent& env) { env.storage.stop(); },
     [](CloudAgent& env) { env.storage.restart(); }, "Failed to load to S3 (after 5 attempts)", 0, true},
};

class FaultMatrix : public ::testing::TestWithParam<FaultCase> {};

// Answered at all, and how fast.
milliseconds timed(const std::function<void()>& call) {
    const auto start = Clock::now();
    call();
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

TEST_P(FaultMatrix, AgentServesReportsAndDeliversOnceAfterwards) {
    const FaultCase& c = GetParam();
    CloudAgent env({}, c.beforeStart ? c.apply : std::function<void(CloudAgent&)>());
    if (!c.beforeStart) {
        ASSERT_TRUE(waitUntil([] { return checkConnect() == 0; }, seconds(20))) << env.log();
        ASSERT_TRUE(waitUntil(
            [] { return configValue("velmora_monitoring_device_id") == json::value(kDevice); }, seconds(20)));
        c.apply(env);
    }

    std::vector<std::string> sids;
    // The agent's own commands answer at once, whatever the peers do.
    EXPECT_LT(timed([] { EXPECT_EQ(agentCall("POST", "/api/agent/get_config", "{}").status, 200); }),
              milliseconds(2000));
    int moduleCode = 0;
    const milliseconds took = timed([&] {
        moduleCode = static_cast<int>(agentJson("GET", "/api/get_device_info").at("code").to_number<int>());
    });
    EXPECT_EQ(moduleCode, c.moduleCode);
    EXPECT_LT(took, milliseconds(9000)) << "a module exchange is bounded by its timeout";
    if (c.salesDuringFault) {
        sids.push_back(env.sale("1001"));
        sids.push_back(env.sale("1003"));
        // And one lost exchange, which is an alert for the cloud.
        env.module.fault(R"({"mode":"nonjson","count":1})");
        EXPECT_EQ(agentJson("GET", "/api/get_calib").at("code").to_number<int>(), -6103);
        EXPECT_EQ(agentJson("GET", "/api/get_calib").at("code").to_number<int>(), 0);
    }
    EXPECT_TRUE(waitUntil([&] { return env.log().find(c.logLine) != std::string::npos; }, seconds(30)))
        << "the log lacks \"" << c.logLine << "\":\n"
        << env.log();
    if (c.clear) {
        c.clear(env);
        if (!c.salesDuringFault) {
            sids.push_back(env.sale());
        }
    }

    // Everything queued arrives, then nothing more.
    const auto delivered = [&] {
        for (const auto& sid : sids) {
            if (env.recognitionsOf(sid).empty()) {
                return false;
            }
        }
        return env.count("recognition_queue") == 0 && env.count("alert_queue") == 0;
    };
    ASSERT_TRUE(waitUntil(delivered, seconds(60))) << env.log();
    std::this_thread::sleep_for(milliseconds(5 * kPeriodMs));
    for (const auto& sid : sids) {
        EXPECT_EQ(env.recognitionsOf(sid).size(), 1u) << sid;
    }
    std::set<std::string> alerts;
    const json::array received = env.cloud.received("alerts");
    for (const auto& alert : received) {
        alerts.insert(json::serialize(alert.at("body")));
    }
    EXPECT_EQ(alerts.size(), received.size()) << "an alert arrived twice: " << json::serialize(received);
    if (c.salesDuringFault || c.moduleCode == -6103) {
        EXPECT_GE(received.size(), 1u) << env.log();
    }
}

INSTANTIATE_TEST_SUITE_P(Peers, FaultMatrix, ::testing::ValuesIn(kFaults),
                         [](const ::testing::TestParamInfo<FaultCase>& info) { return info.param.name; });

// The data folder on a small filesystem of its own, filled up while the agent runs.
// Mounting needs the privilege to mount; without it the case cannot be made here.
TEST(FaultMatrixDisk, DatabaseDiskFullKeepsTheApiAndRecoversWhenSpaceReturns) {
    TempDir mountPoint;
    if (::mount("tmpfs", mountPoint.path().c_str(), "tmpfs", 0, "size=16m") != 0) {
        GTEST_SKIP() << "cannot mount a small filesystem here (" << std::strerror(errno)
                     << "): the disk-full case needs the privilege to mount a tmpfs";
    }
    struct Unmount {
        std::string path;
        ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
    } unmount{mountPoint.path()};
    const std::string dataDir = mountPoint.path() + "/.local/share/VELMORA/OrvixAgent";
    std::filesystem::create_directories(dataDir);

    TempDir output, tmp;
    ModuleSimPeer module(output.path());
    CloudSimPeer cloud;
    S3rverPeer storage;
    AgentProcess agent(mountPoint.path(), peersConfig(module.port(), cloud.baseUrl(), storage),
                       {{"TMPDIR", tmp.path()}});
    ASSERT_TRUE(agent.waitReady());
    ASSERT_TRUE(waitUntil([] { return checkConnect() == 0; }, seconds(20)));

    // Fill what is left of the filesystem.
    const std::string filler = mountPoint.path() + "/filler";
    {
        std::ofstream out(filler, std::ios::binary);
        const std::string block(1 << 16, 'f');
        while (out.write(block.data(), static_cast<std::streamsize>(block.size()))) {
        }
    }
    std::vector<std::string> answeredDuringFault;
    for (int i = 0; i < 5; ++i) {
        // Storing the prediction fails; the till gets an error answer, not a hang.
        const HttpAnswer result = agentCall("GET", "/api/get_result");
        if (result.status != 200) {
            continue;
        }
        const auto answer = json::parse(result.body).as_object();
        if (answer.at("code").to_number<int>() != 0) {
            continue;
        }
        const std::string sid(answer.at("data").at("sid").as_string());
        const HttpAnswer feedback =
            agentCall("POST", "/api/result_feedback",
                      R"({"sid":")" + sid + R"(","id":"1002","method_of_selection":"recognition"})");
        if (feedback.status == 200 && !feedback.body.empty() &&
            json::parse(feedback.body).at("code").to_number<int>() == 0) {
            answeredDuringFault.push_back(sid);
        }
    }
    EXPECT_EQ(agentCall("POST", "/api/agent/get_config", "{}").status, 200) << "the API keeps answering";
    EXPECT_TRUE(waitUntil([&] { return agent.todaysLog().find("full") != std::string::npos; }, seconds(10)))
        << agent.todaysLog();

    std::filesystem::remove(filler);
    const json::object sale = agentJson("GET", "/api/get_result");
    ASSERT_EQ(sale.at("code").to_number<int>(), 0);
    const std::string sid(sale.at("data").at("sid").as_string());
    const json::object feedback =
        agentJson("POST", "/api/result_feedback",
                  R"({"sid":")" + sid + R"(","id":"1002","method_of_selection":"recognition"})");
    EXPECT_EQ(feedback.at("code").to_number<int>(), 0);
    answeredDuringFault.push_back(sid);
    // Every feedback the agent confirmed reaches the cloud once.
    const auto arrivedOnce = [&](const std::string& s) {
        int n = 0;
        for (const auto& entry : cloud.received("recognitions")) {
            n += entry.at("body").at("recognition_session") == json::value(s);
        }
        return n;
    };
    EXPECT_TRUE(waitUntil(
        [&] {
            for (const auto& s : answeredDuringFault) {
                if (arrivedOnce(s) == 0) {
                    return false;
                }
            }
            return true;
        },
        seconds(30)));
    for (const auto& s : answeredDuringFault) {
        EXPECT_EQ(arrivedOnce(s), 1) << s;
    }
    EXPECT_EQ(agent.stop(), 0);
}

}  // namespace
