// What a shop runs into between the till and the cloud, tried on the agent as a
// process with its peers on loopback: product codes of every length, a module that
// comes up after the agent, a backlog, one sale the cloud refuses, object storage
// going away, a configuration upload the agent cannot run with, and stops that must
// not wait for a long task or a silent cloud.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
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

bool ready() {
    return waitUntil([] { return checkConnect() == 0; }, seconds(20)) &&
           waitUntil([] { return configValue("velmora_monitoring_device_id") == json::value(kDevice); },
                     seconds(20));
}

TEST(CloudDelivery, ProductCodesArriveAsTheyWereChosen) {
    CloudAgent env;
    ASSERT_TRUE(ready()) << env.log();
    const std::string ean = env.sale("4006381333931");
    const std::string text = env.sale("ABC-7");
    ASSERT_TRUE(waitUntil(
        [&] { return !env.recognitionsOf(ean).empty() && !env.recognitionsOf(text).empty(); }, seconds(20)))
        << env.log();
    EXPECT_EQ(env.recognitionsOf(ean).front().at("product_code").as_int64(), 4006381333931);
    // The cloud's member is an integer: a code that is none arrives as 0, with a warning.
    EXPECT_EQ(env.recognitionsOf(text).front().at("product_code").as_int64(), 0);
    EXPECT_NE(env.log().find("Recognition " + text + ": product code \"ABC-7\" is not an integer"),
              std::string::npos);
}

TEST(CloudDelivery, AModuleThatComesUpAfterTheAgentIsFound) {
    // The module does not answer at first; the agent starts without a device id.
    CloudAgent env(
        {}, [](CloudAgent& e) { e.module.fault(R"({"mode":"close","commands":["get_device_info"]})"); });
    ASSERT_TRUE(waitUntil([] { return checkConnect() == 0; }, seconds(20)));
    const std::string sid = env.sale();
    std::this_thread::sleep_for(milliseconds(6 * kPeriodMs));
    EXPECT_TRUE(env.recognitionsOf(sid).empty());
    for (const auto& request : env.cloud.received("requests")) {
        const std::string path(request.at("path").as_string());
        EXPECT_EQ(path.find("/devices//"), std::string::npos) << path;
        EXPECT_NE(path, "/api/v1/devices/task") << path;
    }
    env.module.fault(R"({"mode":"none"})");
    EXPECT_TRUE(waitUntil([&] { return !env.recognitionsOf(sid).empty(); }, seconds(20))) << env.log();
    EXPECT_EQ(configValue("velmora_monitoring_device_id"), json::value(kDevice));
}

TEST(CloudDelivery, ABacklogDrainsWithinAFewPeriodsWhileATaskIsAnswered) {
    CloudAgent env;
    ASSERT_TRUE(ready()) << env.log();
    env.cloud.fault(R"({"target":"recognition","mode":"status","status":503})");
    std::vector<std::string> sids;
    for (int i = 0; i < 40; ++i) {
        sids.push_back(env.sale());
    }
    const std::string task =
        env.cloud.enqueueTask(kDevice, "", "download_config_file", R"({"exportType":"s3"})");
    const auto opened = Clock::now();
    env.cloud.fault(R"({"target":"recognition","mode":"none"})");
    ASSERT_TRUE(waitUntil([&] { return env.count("recognition_queue") == 0; }, seconds(30))) << env.log();
    const auto drained = std::chrono::duration_cast<milliseconds>(Clock::now() - opened).count();
    // One recognition a period would need 40 periods.
    EXPECT_LT(drained, 10 * kPeriodMs + 3000) << drained << " ms";
    for (const auto& sid : sids) {
        EXPECT_EQ(env.recognitionsOf(sid).size(), 1u) << sid;
    }
    EXPECT_FALSE(env.answerOf(task, seconds(20)).is_null());
}

TEST(CloudDelivery, OneSaleTheCloudRefusesHoldsNothingElseUp) {
    CloudAgent env;
    ASSERT_TRUE(ready()) << env.log();
    const std::string refused = env.sale();
    env.cloud.fault(R"({"target":"recognition","mode":"status","status":422,"sid":")" + refused + R"("})");
    const std::string second = env.sale();
    const std::string third = env.sale();
    ASSERT_TRUE(
        waitUntil([&] { return !env.recognitionsOf(second).empty() && !env.recognitionsOf(third).empty(); },
                  seconds(20)))
        << env.log();
    EXPECT_TRUE(env.recognitionsOf(refused).empty());
    EXPECT_EQ(env.count("recognition_queue"), 1);
    const json::object status = agentJson("GET", "/api/agent/get_status");
    const auto& queue = status.at("data").at("queues").at("recognitions").as_object();
    EXPECT_EQ(queue.at("refused").to_number<int>(), 1) << json::serialize(status);
    EXPECT_NE(std::string(queue.at("oldest_refusal").as_string()).find("422"), std::string::npos);
    // Once the cloud takes it, it arrives.
    env.cloud.fault(R"({"target":"recognition","mode":"none"})");
    EXPECT_TRUE(waitUntil([&] { return !env.recognitionsOf(refused).empty(); }, seconds(20))) << env.log();
}

TEST(CloudDelivery, AStorageOutageLosesNoPicture) {
    CloudAgent env;
    ASSERT_TRUE(ready()) << env.log();
    env.storage.stop();
    const std::string sid = env.sale();
    std::this_thread::sleep_for(milliseconds(8 * kPeriodMs));
    EXPECT_TRUE(env.recognitionsOf(sid).empty());
    EXPECT_EQ(env.count("recognition_queue"), 1);
    env.storage.restart();
    ASSERT_TRUE(waitUntil([&] { return !env.recognitionsOf(sid).empty(); }, seconds(30))) << env.log();
    std::this_thread::sleep_for(milliseconds(3 * kPeriodMs));
    const auto arrived = env.recognitionsOf(sid);
    ASSERT_EQ(arrived.size(), 1u);
    const std::string url(arrived.front().at("recognition_image_url").as_string());
    EXPECT_NE(url.find(sid + ".jpg"), std::string::npos) << url;
    EXPECT_EQ(env.objectAt(url).substr(0, 2), "\xFF\xD8");
}

TEST(CloudDelivery, AnUploadedConfigurationTheAgentCannotRunWithIsUndone) {
    CloudAgent env;
    ASSERT_TRUE(ready()) << env.log();
    const json::value folderBefore = configValue("product_prediction_data_folder_path");
    // A pictures folder below a plain file can never be made.
    const std::string blocker = env.files.file("plain-file");
    writeFile(blocker, "x");
    env.putObject("configs/bad.json", R"({"product_prediction_data_folder_path":")" + blocker +
                                          R"(/images","monitoring_getting_tasks":true})");
    const std::string task = env.cloud.enqueueTask(kDevice, "", "upload_config_file",
                                                   R"({"exportType":"s3","filePath":"configs/bad.json"})");
    ASSERT_FALSE(env.answerOf(task).is_null());
    ASSERT_TRUE(waitUntil(
        [&] {
            for (const auto& alert : env.cloud.received("alerts")) {
                if (json::serialize(alert).find("product_prediction_data_folder_path") != std::string::npos) {
                    return true;
                }
            }
            return false;
        },
        seconds(20)))
        << env.log();
    EXPECT_EQ(configValue("product_prediction_data_folder_path"), folderBefore);
    // The client runs again with the settings it had: a sale still arrives.
    const std::string sid = env.sale();
    EXPECT_TRUE(waitUntil([&] { return !env.recognitionsOf(sid).empty(); }, seconds(20))) << env.log();
}

TEST(CloudDelivery, StopDuringAnUpgradeTaskEndsWithinSeconds) {
    CloudAgent env;
    ASSERT_TRUE(ready()) << env.log();
    env.putObject("firmware/pkg.evo", std::string(4096, 'u'));
    // The upgrade's status never turns final: the task would poll for minutes.
    env.module.fault(R"({"mode":"refuse","commands":["offline_upgrade_status"]})");
    const std::string task =
        env.cloud.enqueueTask(kDevice, "", "upload_update_file",
                              R"({"exportType":"s3","filePath":"firmware/pkg.evo","isDowngrade":false})");
    ASSERT_TRUE(waitUntil(
        [&] { return env.log().find("Checking offline upgrade status (attempt #2)") != std::string::npos; },
        seconds(30)))
        << env.log();
    const auto asked = Clock::now();
    EXPECT_EQ(env.agent->stop(seconds(10)), 0);
    EXPECT_LT(std::chrono::duration_cast<milliseconds>(Clock::now() - asked).count(), 10000);
    const json::value answer = env.answerOf(task, seconds(2));
    ASSERT_FALSE(answer.is_null());
    EXPECT_EQ(answer.at("kind").as_string(), "error");
    EXPECT_NE(json::serialize(answer).find("агент останавливается"), std::string::npos)
        << json::serialize(answer);
}

TEST(CloudDelivery, SetConfigAnswersAtOnceWhateverTheCloudDoes) {
    CloudAgent env;
    ASSERT_TRUE(ready()) << env.log();
    env.cloud.fault(R"({"target":"all","mode":"delay","delay_ms":600000})");
    env.sale();
    std::this_thread::sleep_for(milliseconds(5 * kPeriodMs));  // the worker waits on the cloud
    const auto asked = Clock::now();
    const json::object answer =
        agentJson("POST", "/api/agent/set_config", R"({"monitoring_request_frequency":300})");
    EXPECT_EQ(answer.at("code").to_number<int>(), 0) << json::serialize(answer);
    EXPECT_LT(std::chrono::duration_cast<milliseconds>(Clock::now() - asked).count(), 2000);
    env.cloud.fault(R"({"target":"all","mode":"none"})");
}

TEST(CloudDelivery, ARevokedTokenIsDroppedAndReplaced) {
    CloudAgent env;
    ASSERT_TRUE(ready()) << env.log();
    const auto tokens = [&] { return env.cloud.received("token_requests").size(); };
    const std::size_t before = tokens();
    env.cloud.revokeTokens();
    // The next request the cloud refuses with 401 makes the agent authenticate again,
    // long before the revoked token would have expired.
    EXPECT_TRUE(waitUntil([&] { return tokens() > before; }, seconds(10))) << env.log();
    const std::string sid = env.sale();
    EXPECT_TRUE(waitUntil([&] { return !env.recognitionsOf(sid).empty(); }, seconds(20))) << env.log();
    EXPECT_EQ(checkConnect(), 0);
}

TEST(CloudDelivery, StopWithACloudThatNeverAnswersEndsWithinSeconds) {
    CloudAgent env;
    ASSERT_TRUE(ready()) << env.log();
    env.cloud.fault(R"({"target":"all","mode":"delay","delay_ms":600000})");
    env.sale();
    // The worker is now waiting on the cloud.
    std::this_thread::sleep_for(milliseconds(5 * kPeriodMs));
    const auto asked = Clock::now();
    EXPECT_EQ(env.agent->stop(seconds(10)), 0);
    EXPECT_LT(std::chrono::duration_cast<milliseconds>(Clock::now() - asked).count(), 10000);
    env.cloud.fault(R"({"target":"all","mode":"none"})");
}

// A cloud that sends a byte every second is never silent long enough for a receive
// timeout; the exchange deadline ends the worker's wait, and neither a set_config
// nor a stop waits for it.
TEST(CloudDelivery, SetConfigAndStopDoNotWaitForATricklingCloud) {
    CloudAgent env;
    ASSERT_TRUE(ready()) << env.log();
    env.cloud.fault(R"({"target":"all","mode":"trickle","delay_ms":1000})");
    env.sale();
    std::this_thread::sleep_for(milliseconds(5 * kPeriodMs));  // the worker reads the trickle
    auto asked = Clock::now();
    const json::object answer =
        agentJson("POST", "/api/agent/set_config", R"({"monitoring_request_frequency":300})");
    EXPECT_EQ(answer.at("code").to_number<int>(), 0) << json::serialize(answer);
    EXPECT_LT(std::chrono::duration_cast<milliseconds>(Clock::now() - asked).count(), 2000);
    std::this_thread::sleep_for(milliseconds(5 * kPeriodMs));
    asked = Clock::now();
    EXPECT_EQ(env.agent->stop(seconds(10)), 0);
    EXPECT_LT(std::chrono::duration_cast<milliseconds>(Clock::now() - asked).count(), 10000);
    env.cloud.fault(R"({"target":"all","mode":"none"})");
}

}  // namespace
