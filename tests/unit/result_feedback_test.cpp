// The operator's final choice: forwarded, queued with ranked candidates, counted,
// and the camera picture saved.
#include <gtest/gtest.h>

#include <filesystem>

#include <Poco/Data/Session.h>
#include <Poco/JSON/Object.h>
#include <Poco/JSON/Parser.h>

#include "db.h"
#include "driver.h"
#include "driver_bench.h"
#include "json_text.h"
#include "queries.h"
#include "result_feedback.h"
#include "storage_fixture.h"
#include "test_support.h"

namespace {

using namespace orvix::test;
using Poco::JSON::Object;

const std::string kPicture = std::string("\xFF\xD8\xFF\xE0", 4) + std::string(1000, '\x11') + "\xFF\xD9";

class ResultFeedback : public ::testing::Test {
protected:
    ResultFeedback()
        : module([this](const RecordedRequest& request) {
              if (request.uri == "/api/get_image") {
                  return imageReply;
              }
              return CannedReply{200, "", "application/json", feedbackReply};
          }),
          driver(makeDriver(database, module.port())) {
        config["product_prediction_data_folder_path"] = std::string(images.path() + "/nested/folder");
    }

    Object::Ptr feedback(const std::string& body) {
        return velmora::Utils::process_result_feedback(parseObject(body), driver, database.lock(), config,
                                                       database.db());
    }

    void predict(const std::string& sid, int ms, const std::vector<std::string>& codes) {
        Poco::Data::Session session = database.db().GetSession();
        velmora::Utils::Queries::addPrediction(session, sid, ms, codes);
    }

    std::string text(const std::string& sql) {
        Poco::Data::Session session = database.db().GetSession();
        return queryText(session, sql);
    }
    int number(const std::string& sql) {
        Poco::Data::Session session = database.db().GetSession();
        return queryInt(session, sql);
    }

    std::string feedbackReply = R"({"code":0})";
    CannedReply imageReply{200, "", "image/jpeg", kPicture};
    AgentDatabase database;
    RecordingServer module;
    std::shared_ptr<velmora::Engine::Driver::OrvixDriver> driver;
    TempDir images;
    std::unordered_map<std::string, Poco::Dynamic::Var> config;
};

TEST_F(ResultFeedback, RelevanceIsComputedFromTheStoredPrediction) {
    struct Case {
        std::string chosen;
        std::vector<std::string> predicted;
        std::string extra;  // further request members
        std::string relevance;
        int values;
        int responseTime;
    };
    const Case cases[] = {
        {"20", {"10", "20", "30"}, "", "top2", 3, 250},
        {"40", {"10", "20", "30"}, "", "top_not_in_top5", 3, 250},
        {"20", {}, "", "top_unknown", 0, 0},
        // The client's own list is kept and not ranked: the relevance stays unknown,
        // but the missing response time still comes from the prediction.
        {"20",
         {"10", "20"},
         R"(,"top_recognition":[{"product_code":"20","product_rate":0.9}])",
         "top_unknown",
         1,
         250},
        // A given relevance is kept even when the list is rebuilt.
        {"20", {"10", "20"}, R"(,"position_relevance":"top5")", "top5", 2, 250},
    };
    int n = 0;
    for (const auto& c : cases) {
        std::string sid = "S" + std::to_string(++n);
        if (!c.predicted.empty()) {
            predict(sid, 250, c.predicted);
        }
        auto answer = feedback(R"({"sid":")" + sid + R"(","id":")" + c.chosen + "\"" + c.extra + "}");
        EXPECT_EQ(compact(answer), R"({"code":0,"data":null})") << sid;
        std::string where = " WHERE sid = '" + sid + "'";
        EXPECT_EQ(text("SELECT position_relevance FROM recognition_queue" + where), c.relevance) << sid;
        EXPECT_EQ(number("SELECT response_time_ms FROM recognition_queue" + where), c.responseTime) << sid;
        EXPECT_EQ(
            number("SELECT COUNT(*) FROM recognition_values WHERE rid = (SELECT id FROM recognition_queue" +
                   where + ")"),
            c.values)
            << sid;
        EXPECT_EQ(number("SELECT COUNT(*) FROM predictions WHERE sid = '" + sid + "'"), 0) << sid;
    }
    // Ranks follow the prediction's order.
    EXPECT_EQ(text("SELECT product_code FROM recognition_values WHERE top = 3 AND rid = "
                   "(SELECT id FROM recognition_queue WHERE sid = 'S1')"),
              "30");
}

TEST_F(ResultFeedback, AFullRequestNeedsNoPrediction) {
    predict("F", 999, {"1", "2"});
    feedback(
        R"({"sid":"F","id":"7","response_time_ms":120,"position_relevance":"top1","method_of_selection":"manual",
                 "product_weight":0.25,"product_name":"Apples","product_category":"fruit",
                 "top_recognition":[{"product_code":"7","product_name":"Apples","product_category":"fruit","product_rate":0.8},
                                    {"product_code":"8","product_rate":0.1}]})");
    EXPECT_EQ(text("SELECT position_relevance FROM recognition_queue WHERE sid = 'F'"), "top1");
    EXPECT_EQ(number("SELECT response_time_ms FROM recognition_queue WHERE sid = 'F'"), 120);
    EXPECT_EQ(text("SELECT method_of_selection FROM recognition_queue WHERE sid = 'F'"), "manual");
    EXPECT_EQ(text("SELECT product_name FROM recognition_values WHERE top = 1"), "Apples");
    EXPECT_EQ(number("SELECT COUNT(*) FROM recognition_values"), 2);
    // "manual" counts as unknown in every period.
    EXPECT_EQ(number("SELECT processed_unknown_prediction_count FROM prediction_daily"), 1);
    EXPECT_EQ(number("SELECT processed_unknown_prediction_count FROM prediction_yearly"), 1);
}

TEST_F(ResultFeedback, StatisticsCountPerPeriodAndCategory) {
    predict("A", 10, {"5"});
    feedback(R"({"sid":"A","id":"5","method_of_selection":"recognition"})");
    predict("B", 10, {"6", "5"});
    feedback(R"({"sid":"B","id":"5","method_of_selection":"without_recognition"})");
    for (const char* table : {"prediction_daily", "prediction_monthly", "prediction_yearly"}) {
        std::string from = std::string(" FROM ") + table;
        EXPECT_EQ(number("SELECT COUNT(*)" + from), 1) << table;
        EXPECT_EQ(number("SELECT top_1_count" + from), 1) << table;
        EXPECT_EQ(number("SELECT top_2_count" + from), 1) << table;
        EXPECT_EQ(number("SELECT processed_with_prediction_count" + from), 1) << table;
        EXPECT_EQ(number("SELECT processed_without_prediction_count" + from), 1) << table;
    }
}

TEST_F(ResultFeedback, PictureIsSavedAfterTheCommitUnderTheSid) {
    predict("P1", 10, {"5"});
    feedback(R"({"sid":"P1","id":"5"})");
    std::string file = images.path() + "/nested/folder/P1.jpg";
    EXPECT_EQ(readFile(file), kPicture);
    auto requests = module.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].uri, "/api/result_feedback");
    EXPECT_EQ(requests[0].body, R"({"sid":"P1","id":"5"})");
    EXPECT_EQ(requests[1].uri, "/api/get_image");
}

TEST_F(ResultFeedback, APictureTheModuleRefusesLeavesTheReportStored) {
    imageReply = CannedReply{200, "", "application/json", R"({"code":-6210})"};
    auto answer = feedback(R"({"sid":"N","id":"5"})");
    EXPECT_EQ(compact(answer), R"({"code":0,"data":null})");
    EXPECT_EQ(number("SELECT COUNT(*) FROM recognition_queue"), 1);
    EXPECT_FALSE(std::filesystem::exists(images.path() + "/nested/folder/N.jpg"));
}

TEST_F(ResultFeedback, AMissingFolderSettingFailsAfterTheCommit) {
    config.erase("product_prediction_data_folder_path");
    EXPECT_THROW(feedback(R"({"sid":"M","id":"5"})"), std::runtime_error);
    EXPECT_EQ(number("SELECT COUNT(*) FROM recognition_queue"), 1);
}

TEST_F(ResultFeedback, ARefusalStoresNothing) {
    feedbackReply = R"({"code":-6213})";
    predict("R", 10, {"5"});
    EXPECT_EQ(compact(feedback(R"({"sid":"R","id":"5"})")), R"({"code":-6213,"data":null})");
    EXPECT_EQ(number("SELECT COUNT(*) FROM recognition_queue"), 0);
    EXPECT_EQ(number("SELECT COUNT(*) FROM prediction_daily"), 0);
    EXPECT_EQ(number("SELECT COUNT(*) FROM predictions"), 1);
    EXPECT_EQ(module.requests().size(), 1u);
}

TEST_F(ResultFeedback, MalformedRequestsReachNeitherModuleNorDatabase) {
    const char* bodies[] = {
        R"({"id":"5"})",
        R"({"sid":"X"})",
        R"({"sid":"X","id":"5","product_weight":"heavy"})",
        R"({"sid":"X","id":"5","top_recognition":"none"})",
        R"({"sid":"../escape","id":"5"})",
        R"({"sid":"","id":"5"})",
    };
    for (const char* body : bodies) {
        EXPECT_ANY_THROW(feedback(body)) << body;
    }
    EXPECT_TRUE(module.requests().empty());
    EXPECT_EQ(number("SELECT COUNT(*) FROM recognition_queue"), 0);
}

}  // namespace
