// The agent killed without warning (SIGKILL: power cut, OOM killer) while tills
// sell through it, restarted each time. What it confirmed must survive: the
// database stays sound, every feedback answered with code 0 is queued with all its
// candidates or already delivered, each is counted once, and no saved picture is cut
// short.
#include <gtest/gtest.h>

#include <csignal>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <Poco/Data/SQLite/Connector.h>
#include <Poco/Data/Session.h>
#include <boost/json.hpp>

#include "cloud_agent.h"
#include "test_support.h"

namespace {

using namespace orvix::test;
namespace json = boost::json;
using namespace Poco::Data::Keywords;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr int kRounds = 6;
constexpr int kClients = 4;
constexpr std::size_t kCandidates = 5;  // the module simulator proposes five items

// One sale as a till makes it; the session id when the feedback was confirmed.
std::optional<std::string> confirmedSale() {
    try {
        const HttpAnswer result = httpCall(AgentProcess::kPort, "GET", "/api/get_result", {}, {}, 5);
        if (result.status != 200) {
            return std::nullopt;
        }
        const json::value answer = json::parse(result.body);
        if (answer.at("code").to_number<int>() != 0) {
            return std::nullopt;
        }
        const std::string sid(answer.at("data").at("sid").as_string());
        const HttpAnswer feedback =
            httpCall(AgentProcess::kPort, "POST", "/api/result_feedback",
                     R"({"sid":")" + sid + R"(","id":"1002","method_of_selection":"recognition"})",
                     "application/json", 5);
        if (feedback.status == 200 && json::parse(feedback.body).at("code").to_number<int>() == 0) {
            return sid;
        }
    } catch (const std::exception&) {
        // The agent was killed under this request: nothing was confirmed.
    }
    return std::nullopt;
}

bool completeJpeg(const std::string& bytes) {
    return bytes.size() > 4 && bytes.compare(0, 2, "\xFF\xD8") == 0 &&
           bytes.compare(bytes.size() - 2, 2, "\xFF\xD9") == 0;
}

TEST(CrashSafety, KilledAtRandomItKeepsWhatItConfirmed) {
    CloudAgent env;
    ASSERT_TRUE(waitUntil([] { return checkConnect() == 0; }, seconds(20)));
    // Pictures stay on disk, so each of them can be checked afterwards.
    ASSERT_EQ(agentJson("POST", "/api/agent/set_config", R"({"recognition_image_sending_enable":false})")
                  .at("code")
                  .to_number<int>(),
              0);

    std::mutex confirmedMutex;
    std::set<std::string> confirmed;
    std::atomic<bool> done{false};
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.emplace_back([&] {
            while (!done) {
                if (auto sid = confirmedSale()) {
                    std::lock_guard<std::mutex> lock(confirmedMutex);
                    confirmed.insert(*sid);
                } else {
                    std::this_thread::sleep_for(milliseconds(20));
                }
            }
        });
    }
    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<int> pause(150, 1200);
    for (int round = 0; round < kRounds; ++round) {
        std::this_thread::sleep_for(milliseconds(pause(random)));
        env.agent->process().signal(SIGKILL);
        ASSERT_EQ(env.agent->process().wait(seconds(10)), 128 + SIGKILL);
        // The configuration is in the database now; no one-shot file this time.
        env.agent = std::make_unique<AgentProcess>(
            env.home.path(), "", std::map<std::string, std::string>{{"TMPDIR", env.tmp.path()}});
        ASSERT_TRUE(env.agent->waitReady()) << env.agent->process().stderrText();
    }
    std::this_thread::sleep_for(milliseconds(500));
    done = true;
    for (auto& client : clients) {
        client.join();
    }
    ASSERT_GT(confirmed.size(), 0u);
    EXPECT_EQ(env.agent->stop(), 0);

    Poco::Data::SQLite::Connector::registerConnector();
    Poco::Data::Session session("SQLite", env.agent->dbPath());
    std::string integrity;
    session << "PRAGMA integrity_check", into(integrity), now;
    EXPECT_EQ(integrity, "ok");

    // Queued, with every candidate, or delivered: the cloud was up all along.
    std::map<std::string, std::size_t> queuedCandidates;
    {
        std::vector<std::string> sids;
        std::vector<int> counts;
        session << "SELECT q.sid, COUNT(v.id) FROM recognition_queue q LEFT JOIN recognition_values v "
                   "ON v.rid = q.id GROUP BY q.id",
            into(sids), into(counts), now;
        for (std::size_t i = 0; i < sids.size(); ++i) {
            EXPECT_EQ(queuedCandidates.count(sids[i]), 0u) << sids[i] << " queued twice";
            queuedCandidates[sids[i]] = static_cast<std::size_t>(counts[i]);
        }
    }
    std::map<std::string, const json::object*> delivered;
    const json::array received = env.cloud.received("recognitions");
    for (const auto& entry : received) {
        const json::object& body = entry.at("body").as_object();
        delivered[std::string(body.at("recognition_session").as_string())] = &body;
    }
    for (const auto& sid : confirmed) {
        const auto queued = queuedCandidates.find(sid);
        const auto sent = delivered.find(sid);
        ASSERT_TRUE(queued != queuedCandidates.end() || sent != delivered.end()) << sid << " was lost";
        if (queued != queuedCandidates.end()) {
            EXPECT_EQ(queued->second, kCandidates) << sid;
        } else {
            EXPECT_EQ(sent->second->at("top_recognition").as_array().size(), kCandidates) << sid;
        }
    }

    // Counted once: every recorded feedback (confirmed or cut off after its commit).
    std::set<std::string> recorded;
    for (const auto& [sid, n] : queuedCandidates) {
        recorded.insert(sid);
    }
    for (const auto& [sid, body] : delivered) {
        recorded.insert(sid);
    }
    Poco::Int64 counted = 0;
    session << "SELECT COALESCE(SUM(weightings_count), 0) FROM prediction_daily", into(counted), now;
    EXPECT_EQ(static_cast<std::size_t>(counted), recorded.size());

    // Every picture that made it under its name is whole.
    const std::string images = env.home.path() + "/Documents/VELMORA/OrvixAgent/images";
    std::size_t pictures = 0;
    for (const auto& file : std::filesystem::directory_iterator(images)) {
        if (file.path().extension() == ".jpg") {
            ++pictures;
            EXPECT_TRUE(completeJpeg(readFile(file.path().string()))) << file.path() << " is cut short";
        }
    }
    EXPECT_GE(pictures, confirmed.size());
    // The picture is saved before the feedback is answered.
    for (const auto& sid : confirmed) {
        EXPECT_TRUE(std::filesystem::exists(images + "/" + sid + ".jpg")) << sid;
    }
}

}  // namespace
