// The local API end to end: the agent process driving the module simulator, with
// the database file and the saved pictures inspected afterwards.
#include <gtest/gtest.h>

#include <filesystem>

#include <Poco/Data/SQLite/Connector.h>
#include <Poco/Data/Session.h>
#include <Poco/JSON/Array.h>
#include <Poco/JSON/Object.h>
#include <Poco/JSON/Parser.h>

#include "agent_process.h"
#include "json_text.h"
#include "module_sim_peer.h"
#include "test_support.h"

namespace {

using namespace orvix::test;
using namespace Poco::Data::Keywords;
using Poco::JSON::Object;

HttpAnswer get(const std::string& path) {
    return httpCall(AgentProcess::kPort, "GET", path);
}
HttpAnswer post(const std::string& path, const std::string& body) {
    return httpCall(AgentProcess::kPort, "POST", path, body, "application/json");
}

class ModuleApi : public ::testing::Test {
protected:
    void SetUp() override {
        agent = std::make_unique<AgentProcess>(home.path(), AgentProcess::defaultConfig(sim.port()));
        ASSERT_TRUE(agent->waitReady()) << agent->process().stderrText();
        Poco::Data::SQLite::Connector::registerConnector();
    }
    void TearDown() override { EXPECT_EQ(agent->stop(), 0); }

    int count(const std::string& sql) {
        Poco::Data::Session session("SQLite", agent->dbPath());
        int n = 0;
        session << sql, into(n), now;
        return n;
    }

    TempDir home;
    ModuleSimPeer sim{home.path()};
    std::unique_ptr<AgentProcess> agent;
};

TEST_F(ModuleApi, RecognitionFromResultToFeedback) {
    Object::Ptr result = parseObject(get("/api/get_result").body);
    ASSERT_EQ(result->getValue<int>("code"), 0);
    Object::Ptr data = result->getObject("data");
    std::string sid = data->getValue<std::string>("sid");
    auto items = data->getArray("items");
    ASSERT_GE(items->size(), 2u);
    std::string second = items->getObject(1)->getValue<std::string>("id");
    EXPECT_EQ(count("SELECT COUNT(*) FROM predictions"), 1);

    auto feedback = post("/api/result_feedback", R"({"sid":")" + sid + R"(","id":")" + second +
                                                     R"(","method_of_selection":"recognition"})");
    EXPECT_EQ(feedback.status, 200);
    EXPECT_EQ(feedback.body, R"({"code":0,"data":null})");

    EXPECT_EQ(count("SELECT COUNT(*) FROM recognition_queue WHERE position_relevance = 'top2'"), 1);
    EXPECT_EQ(count("SELECT COUNT(*) FROM recognition_values"),
              static_cast<int>(std::min<size_t>(items->size(), 5)));
    EXPECT_EQ(count("SELECT COUNT(*) FROM predictions"), 0);
    EXPECT_EQ(count("SELECT COUNT(*) FROM prediction_daily") +
                  count("SELECT COUNT(*) FROM prediction_monthly") +
                  count("SELECT COUNT(*) FROM prediction_yearly"),
              3);

    std::string picture = readFile(home.path() + "/Documents/VELMORA/OrvixAgent/images/" + sid + ".jpg");
    EXPECT_EQ(picture, httpCall(sim.port(), "POST", "/api/get_image", "null", "application/json").body);
    ASSERT_GE(picture.size(), 3u);
    EXPECT_EQ(picture.substr(0, 3), "\xFF\xD8\xFF");

    auto statistic = parseObject(
        post("/api/agent/get_statistic", R"({"requestType":"DAYS","productCode":")" + second + R"("})").body);
    auto row = statistic->getArray("data")->getObject(0)->getArray("predictionDataList")->getObject(0);
    EXPECT_EQ(row->getValue<int>("position2Count"), 1);
    EXPECT_EQ(row->getValue<int>("processedWithPredictionCount"), 1);
}

TEST_F(ModuleApi, RefusedFeedbackStoresNothing) {
    std::string sid =
        parseObject(get("/api/get_result").body)->getObject("data")->getValue<std::string>("sid");
    sim.fault(R"({"mode":"refuse","code":-6213,"commands":["result_feedback"]})");
    EXPECT_EQ(post("/api/result_feedback", R"({"sid":")" + sid + R"(","id":"1"})").body,
              R"({"code":-6213,"data":null})");
    EXPECT_EQ(count("SELECT COUNT(*) FROM recognition_queue"), 0);
    EXPECT_EQ(count("SELECT COUNT(*) FROM prediction_daily"), 0);
    EXPECT_FALSE(
        std::filesystem::exists(home.path() + "/Documents/VELMORA/OrvixAgent/images/" + sid + ".jpg"));
}

TEST_F(ModuleApi, SettingsRoundTripAndLenientInput) {
    EXPECT_EQ(post("/api/set_learnmode", R"({"mode":1})").body, R"({"code":0,"data":null})");
    EXPECT_EQ(get("/api/get_learnmode").body, R"({"code":0,"data":{"mode":1}})");
    EXPECT_EQ(post("/api/set_sync_limit", R"({"limit":"3"})").body, R"({"code":0,"data":null})");
    EXPECT_EQ(post("/api/get_sync_limit", "null").body, R"({"code":0,"data":{"limit":3}})");
    // A missing parameter is refused before the module is asked.
    auto missing = post("/api/set_sync_limit", "{}");
    EXPECT_EQ(missing.status, 400);
    EXPECT_EQ(missing.body, R"({"error":"missing","member":"limit"})");
}

TEST_F(ModuleApi, RefusalAndTransportCodesTravelInTheEnvelope) {
    sim.fault(R"({"mode":"refuse","code":-6213})");
    EXPECT_EQ(get("/api/get_calib").body, R"({"code":-6213,"data":null})");
    sim.fault(R"({"mode":"http500"})");
    EXPECT_EQ(get("/api/get_calib").body, R"({"code":500,"data":null})");
    EXPECT_EQ(count("SELECT COUNT(*) FROM alert_queue"), 0);
    sim.fault(R"({"mode":"nonjson"})");
    EXPECT_EQ(get("/api/get_calib").body, R"({"code":-6103,"data":null})");
    EXPECT_EQ(get("/api/get_device_info").body, R"({"code":-6103,"data":null})");
    // Garbled replies are one loss of the module, not one per reply.
    EXPECT_EQ(count("SELECT COUNT(*) FROM alert_queue"), 1);
    sim.fault(R"({"mode":"none"})");
    EXPECT_EQ(parseObject(get("/api/get_calib").body)->getValue<int>("code"), 0);
}

TEST_F(ModuleApi, CameraPictureOrCameraLost) {
    auto picture = get("/api/get_image");
    EXPECT_EQ(picture.status, 200);
    EXPECT_EQ(picture.body.substr(0, 3), "\xFF\xD8\xFF");
    sim.fault(R"({"mode":"refuse","code":-6210,"commands":["get_image"]})");
    auto lost = get("/api/get_image");
    EXPECT_EQ(lost.status, 500);
    EXPECT_EQ(lost.body, R"({"code":-6103,"msg":"Camera lost"})");
}

TEST_F(ModuleApi, UploadsNeedABoundary) {
    auto answer = httpCall(AgentProcess::kPort, "POST", "/api/import_template", "xx", "multipart/form-data");
    EXPECT_EQ(answer.body, R"({"code":-6210,"data":null})");
    const std::string boundary = "XyZ";
    std::string body = "--" + boundary +
                       "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"a.evo\"\r\n\r\n" +
                       std::string("\0\1\2pkg", 6) + "\r\n--" + boundary + "--\r\n";
    answer = httpCall(AgentProcess::kPort, "POST", "/api/import_template", body,
                      "multipart/form-data; boundary=" + boundary);
    EXPECT_EQ(answer.body, R"({"code":0,"data":null})");
    EXPECT_NE(sim.state().find("\"size\":6"), std::string::npos) << sim.state();
}

TEST_F(ModuleApi, DownloadPassesThePackageOrTheModulesStatus) {
    // An encoded slash splits into more segments: that is no download at all.
    EXPECT_THROW(httpCall(AgentProcess::kPort, "GET", "/download/..%2Fapi%2Fget_result"), std::exception);
    // Names that are not plain file names never reach the module, however encoded.
    for (const char* path :
         {"/download/%2E%2E", "/download/%252E%252E", "/download/%252E%252E%252Fapi%252Fget_image",
          "/download/a%253Fb", "/download/a%2523b", "/download/a%20b"}) {
        EXPECT_EQ(httpCall(AgentProcess::kPort, "GET", path).status, 400) << path;
    }
    EXPECT_EQ(sim.state().find("/download"), std::string::npos);
    EXPECT_EQ(sim.state().find("/api/get_image"), std::string::npos);
    auto missing = httpCall(AgentProcess::kPort, "GET", "/download/none.evom");
    EXPECT_EQ(missing.status, 404);
    EXPECT_EQ(missing.headers["Content-Type"], "application/octet-stream");

    EXPECT_EQ(post("/api/export_template", R"({"ids":[]})").body, R"({"code":0,"data":null})");
    std::string filename;
    ASSERT_TRUE(waitUntil(
        [&] {
            auto status = parseObject(get("/api/export_template_status").body);
            filename = status->optValue<std::string>("filename", "");
            return status->getValue<int>("status") == 3;
        },
        std::chrono::seconds(10)));
    auto package = httpCall(AgentProcess::kPort, "POST", "/download/" + filename);
    EXPECT_EQ(package.status, 200);
    EXPECT_EQ(package.body.substr(0, 2), "PK");

    sim.stop();
    auto off = httpCall(AgentProcess::kPort, "GET", "/download/" + filename);
    EXPECT_EQ(off.status, 502);
    EXPECT_EQ(count("SELECT COUNT(*) FROM alert_queue"), 0);  // downloads never count as a lost module
}

TEST_F(ModuleApi, AnOutOfRangePortIsRefusedAndTheDriverStays) {
    EXPECT_EQ(
        post("/api/agent/set_config", R"({"device_port":"70000"})").body,
        R"({"code":-6210,"data":null,"msg":"device_port: Expected port 0-65535 for config key: device_port"})");
    EXPECT_EQ(parseObject(get("/api/get_calib").body)->getValue<int>("code"), 0);
}

TEST_F(ModuleApi, SetConfigRepointsTheDriverWithoutARestart) {
    ModuleSimPeer other(home.path());
    other.fault(R"({"mode":"refuse","code":-6299,"commands":["get_calib"]})");
    EXPECT_EQ(parseObject(get("/api/get_calib").body)->getValue<int>("code"), 0);
    EXPECT_EQ(
        post("/api/agent/set_config", R"({"device_port":")" + std::to_string(other.port()) + R"("})").body,
        R"({"code":0,"data":null})");
    EXPECT_EQ(get("/api/get_calib").body, R"({"code":-6299,"data":null})");
}

TEST_F(ModuleApi, ModuleOffGivesCameraLostAndOneAlert) {
    sim.stop();
    EXPECT_EQ(get("/api/get_device_info").body, R"({"code":-6103,"data":null})");
    EXPECT_EQ(get("/api/get_learnmode").body, R"({"code":-6103,"data":null})");
    EXPECT_EQ(count("SELECT COUNT(*) FROM alert_queue"), 1);
    Poco::Data::Session session("SQLite", agent->dbPath());
    std::string description;
    session << "SELECT description FROM alert_queue", into(description), now;
    EXPECT_NE(description.find("get_device_info"), std::string::npos);
}

}  // namespace
