// The operator's final choice: forwarded, queued with ranked candidates, counted,
// and the camera picture saved.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <functional>

#include <Poco/Data/Session.h>
#include <Poco/JSON/Object.h>
#include <Poco/JSON/Parser.h>

#include "captured_log.h"
#include "db.h"
#include "driver.h"
#include "driver_bench.h"
#include "json_text.h"
#include "picture_store.h"
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

TEST_F(ResultFeedback, RebuiltCandidatesCarryTheModulesScoresAndLongCodes) {
    {
        Poco::Data::Session session = database.db().GetSession();
        velmora::Utils::Queries::addPrediction(session, "S-ean", 120, {"4006381333931", "96385074", "ABC-7"},
                                               {0.875, 0.5, 0.125});
    }
    auto answer = feedback(R"({"sid":"S-ean","id":"4006381333931","method_of_selection":"recognition"})");
    EXPECT_EQ(compact(answer), R"({"code":0,"data":null})");
    EXPECT_EQ(text("SELECT position_relevance FROM recognition_queue"), "top1");
    EXPECT_EQ(text("SELECT product_code_text FROM recognition_queue"), "4006381333931");
    Poco::Data::Session session = database.db().GetSession();
    const auto entry = velmora::Utils::Queries::getNextRecognitionQueue(session);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->product_code, 4006381333931);
    const auto values = velmora::Utils::Queries::getRecognitionValues(session, entry->id);
    ASSERT_EQ(values.size(), 3u);
    EXPECT_EQ(values[0].product_code, 4006381333931);
    EXPECT_DOUBLE_EQ(values[0].product_rate, 0.875);
    EXPECT_EQ(values[1].product_code, 96385074);
    EXPECT_DOUBLE_EQ(values[1].product_rate, 0.5);
    EXPECT_EQ(values[2].product_code, 0);  // not an integer: the text stays, the number is 0
    EXPECT_EQ(values[2].product_code_text, "ABC-7");
    EXPECT_DOUBLE_EQ(values[2].product_rate, 0.125);
}

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

// Files of a folder by name, temporary ones included.
std::vector<std::string> folderContent(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
         it.increment(error)) {
        names.push_back(it->path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST_F(ResultFeedback, PictureIsSavedAfterTheCommitUnderTheSid) {
    predict("P1", 10, {"5"});
    feedback(R"({"sid":"P1","id":"5"})");
    std::string file = images.path() + "/nested/folder/P1.jpg";
    EXPECT_EQ(readFile(file), kPicture);
    EXPECT_EQ(std::filesystem::status(file).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    // Written under a temporary name and renamed: nothing else is left in the folder
    // but the list of the agent's own pictures, which names it.
    EXPECT_EQ(folderContent(images.path() + "/nested/folder"),
              (std::vector<std::string>{".orvix-pictures", "P1.jpg"}));
    EXPECT_EQ(readFile(images.path() + "/nested/folder/.orvix-pictures"), "P1.jpg\n");
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

// The recognition is committed before the picture is saved: a picture that fails
// is logged and the answer still says stored, or the caller would count it twice.
TEST_F(ResultFeedback, APictureThatCannotBeSavedIsLoggedAndTheFeedbackStillStored) {
    struct Case {
        std::string name;
        std::function<void()> arrange;
        std::string logged;  // part of the error line
    };
    const std::string folder = images.path() + "/nested/folder";
    const Case cases[] = {
        {"no folder setting", [&] { config.erase("product_prediction_data_folder_path"); },
         "Invalid image path config"},
        {"folder below a file",
         [&] {
             writeFile(images.file("plain-file"), "x");
             config["product_prediction_data_folder_path"] = images.file("plain-file") + "/pictures";
         },
         "plain-file"},
        {"a directory where the picture goes",
         [&] { std::filesystem::create_directories(folder + "/M3.jpg"); }, "Failed to rename"},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string sid = "M" + std::to_string(++n);
        config["product_prediction_data_folder_path"] = folder;
        c.arrange();
        CapturedLog log;
        EXPECT_EQ(compact(feedback(R"({"sid":")" + sid + R"(","id":"5"})")), R"({"code":0,"data":null})");
        EXPECT_EQ(number("SELECT COUNT(*) FROM recognition_queue WHERE sid = '" + sid + "'"), 1);
        EXPECT_EQ(number("SELECT COUNT(*) FROM prediction_daily"), 1);
        size_t errors = 0;
        for (const auto& line : log.lines()) {
            if (line.level == "error" && line.text.rfind("Picture for sid " + sid + " not saved: ", 0) == 0) {
                ++errors;
                EXPECT_NE(line.text.find(c.logged), std::string::npos) << line.text;
            }
        }
        EXPECT_EQ(errors, 1u);
    }
    // No temporary file is left behind, and the directory in the way is untouched.
    EXPECT_EQ(folderContent(folder), std::vector<std::string>{"M3.jpg"});
    EXPECT_TRUE(std::filesystem::is_directory(folder + "/M3.jpg"));
}

// A write that stops part way (here the file size limit, as a full disk would)
// must never leave a truncated picture under the name the cloud sender looks for.
TEST_F(ResultFeedback, APictureCutShortLeavesNoTruncatedFile) {
    rlimit previous{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &previous), 0);
    auto previousHandler = ::signal(SIGXFSZ, SIG_IGN);
    module.setResponder([&](const RecordedRequest& request) {
        if (request.uri == "/api/get_image") {
            // The recognition is committed by now; only the picture meets the limit.
            rlimit small = previous;
            small.rlim_cur = 512;
            ::setrlimit(RLIMIT_FSIZE, &small);
            return imageReply;
        }
        return CannedReply{200, "", "application/json", feedbackReply};
    });
    CapturedLog log;
    auto answer = feedback(R"({"sid":"CUT","id":"5"})");
    ::setrlimit(RLIMIT_FSIZE, &previous);
    ::signal(SIGXFSZ, previousHandler);

    EXPECT_EQ(compact(answer), R"({"code":0,"data":null})");
    EXPECT_EQ(number("SELECT COUNT(*) FROM recognition_queue WHERE sid = 'CUT'"), 1);
    EXPECT_EQ(folderContent(images.path() + "/nested/folder"), std::vector<std::string>{});
    EXPECT_EQ(log.countContaining("Picture for sid CUT not saved: Failed to write file"), 1u);
}

TEST_F(ResultFeedback, AReaderHoldingATransactionDoesNotHoldUpTheFeedback) {
    // A technician's shell on the same file, in the middle of a read.
    Poco::Data::Session reader("SQLite", database.path());
    int seen = -1;
    reader << "BEGIN", Poco::Data::Keywords::now;
    reader << "SELECT COUNT(*) FROM recognition_queue", Poco::Data::Keywords::into(seen),
        Poco::Data::Keywords::now;
    ASSERT_EQ(seen, 0);

    EXPECT_EQ(compact(feedback(R"({"sid":"W","id":"5"})")), R"({"code":0,"data":null})");
    EXPECT_EQ(number("SELECT COUNT(*) FROM recognition_queue"), 1);

    // The reader kept its own snapshot meanwhile.
    reader << "SELECT COUNT(*) FROM recognition_queue", Poco::Data::Keywords::into(seen),
        Poco::Data::Keywords::now;
    EXPECT_EQ(seen, 0);
    reader << "COMMIT", Poco::Data::Keywords::now;
}

TEST_F(ResultFeedback, TheQueueKeepsItsNewestRecognitionsPastItsCap) {
    config["recognition_queue_cap"] = 3;
    CapturedLog log;
    for (int i = 1; i <= 5; ++i) {
        predict("Q" + std::to_string(i), 10, {"5", "6"});
        feedback(R"({"sid":"Q)" + std::to_string(i) + R"(","id":"5"})");
    }
    Poco::Data::Session session = database.db().GetSession();
    std::vector<std::string> sids;
    session << "SELECT sid FROM recognition_queue ORDER BY id", Poco::Data::Keywords::into(sids),
        Poco::Data::Keywords::now;
    EXPECT_EQ(sids, (std::vector<std::string>{"Q3", "Q4", "Q5"}));
    EXPECT_EQ(number("SELECT COUNT(*) FROM recognition_values"), 6);  // the dropped ones' went with them
    EXPECT_EQ(
        log.count("warning", "Recognition queue is over its cap of 3: dropped the 1 oldest recognitions;"),
        2u);
    // Statistics count every recognition, dropped or not.
    EXPECT_EQ(number("SELECT weightings_count FROM prediction_daily"), 5);
}

TEST_F(ResultFeedback, TheOldestPicturesGoWhenTheFolderIsOverItsBudget) {
    config["images_folder_budget_mb"] = 1;
    const std::string folder = images.path() + "/nested/folder";
    const std::string picture(300000, 'p');
    const auto now = std::filesystem::file_time_type::clock::now();
    // Four older pictures of the agent's, the oldest first, and one of somebody else's.
    std::filesystem::create_directories(folder);
    for (int age = 4; age >= 1; --age) {
        const std::string name = "old" + std::to_string(age) + ".jpg";
        velmora::Utils::Filesystem::savePicture(folder, name,
                                                std::vector<uint8_t>(picture.begin(), picture.end()));
        std::filesystem::last_write_time(folder + "/" + name, now - std::chrono::hours(age));
    }
    writeFile(folder + "/stranger.jpg", picture);
    std::filesystem::last_write_time(folder + "/stranger.jpg", now - std::chrono::hours(100));
    imageReply = CannedReply{200, "", "image/jpeg", picture};
    CapturedLog log;
    EXPECT_EQ(compact(feedback(R"({"sid":"NEW","id":"5"})")), R"({"code":0,"data":null})");
    // 1.5 MB over a budget of 1 MiB: the oldest go until nine tenths of it are left.
    EXPECT_EQ(folderContent(folder), (std::vector<std::string>{".orvix-pictures", "NEW.jpg", "old1.jpg",
                                                               "old2.jpg", "stranger.jpg"}));
    EXPECT_EQ(log.count("warning", "Pictures folder " + folder +
                                       " is over its budget of 1048576 bytes: removed the 2 oldest pictures "
                                       "(600000 bytes);"),
              1u);
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
        // Not a plain file name: hidden, a separator of either kind, a control
        // character, longer than 128 bytes.
        R"({"sid":".x","id":"5"})",
        R"({"sid":"a\\b","id":"5"})",
        R"({"sid":"a\nb","id":"5"})",
        R"({"sid":"a\u0001b","id":"5"})",
    };
    for (const char* body : bodies) {
        EXPECT_ANY_THROW(feedback(body)) << body;
    }
    EXPECT_ANY_THROW(feedback(R"({"sid":")" + std::string(129, 's') + R"(","id":"5"})"));
    EXPECT_TRUE(module.requests().empty());
    EXPECT_EQ(number("SELECT COUNT(*) FROM recognition_queue"), 0);
    // 128 bytes are still a name.
    EXPECT_EQ(compact(feedback(R"({"sid":")" + std::string(128, 's') + R"(","id":"5"})")),
              R"({"code":0,"data":null})");
}

}  // namespace
