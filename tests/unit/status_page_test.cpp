// The status page and its list of recent sales: the ring buffer, what result feedback
// puts into it, and what GET / and get_recent_sales answer.
#include <gtest/gtest.h>

#include <regex>

#include <Poco/Data/Session.h>
#include <boost/json.hpp>

#include "db.h"
#include "driver.h"
#include "driver_bench.h"
#include "json_text.h"
#include "queries.h"
#include "recent_sales.h"
#include "result_feedback.h"
#include "server.h"
#include "service_context.h"
#include "storage_fixture.h"
#include "test_support.h"

namespace {

using namespace orvix::test;
using velmora::Utils::RecentSale;
using velmora::Utils::RecentSales;
namespace json = boost::json;

RecentSale saleOf(const std::string& sid, int queueId = -1) {
    return RecentSale{std::chrono::system_clock::now(), sid, "1002", "", "top1", queueId};
}

TEST(RecentSalesList, KeepsTheNewestUpToItsCapacityNewestFirst) {
    RecentSales sales(3);
    EXPECT_TRUE(sales.newestFirst().empty());
    for (const char* sid : {"a", "b", "c", "d", "e"}) {
        sales.record(saleOf(sid));
    }
    std::vector<std::string> sids;
    for (const auto& sale : sales.newestFirst()) {
        sids.push_back(sale.sid);
    }
    EXPECT_EQ(sids, (std::vector<std::string>{"e", "d", "c"}));
    EXPECT_EQ(sales.recordedTotal(), 5u);
}

TEST(RecentSalesList, TheProcessListHoldsTheLastHundred) {
    EXPECT_EQ(RecentSales::kCapacity, 100u);
    RecentSales sales;
    for (int i = 0; i < 150; ++i) {
        sales.record(saleOf("s" + std::to_string(i)));
    }
    const auto listed = sales.newestFirst();
    ASSERT_EQ(listed.size(), 100u);
    EXPECT_EQ(listed.front().sid, "s149");
    EXPECT_EQ(listed.back().sid, "s50");
}

// Result feedback records a sale once the module took it and the database stored it.
class FeedbackRecordsSales : public ::testing::Test {
protected:
    FeedbackRecordsSales()
        : module([this](const RecordedRequest& request) {
              if (request.uri == "/api/get_image") {
                  return CannedReply{404, "", "application/json", "{}"};
              }
              return CannedReply{200, "", "application/json", feedbackReply};
          }),
          driver(makeDriver(database, module.port())) {
        config["product_prediction_data_folder_path"] = images.path();
    }
    std::string feedback(const std::string& body) {
        return compact(velmora::Utils::process_result_feedback(parseObject(body), driver, database.lock(),
                                                               config, database.db()));
    }

    std::string feedbackReply = R"({"code":0})";
    AgentDatabase database;
    RecordingServer module;
    std::shared_ptr<velmora::Engine::Driver::OrvixDriver> driver;
    TempDir images;
    std::unordered_map<std::string, Poco::Dynamic::Var> config;
};

TEST_F(FeedbackRecordsSales, WithItsPositionAndQueueEntry) {
    {
        Poco::Data::Session session = database.db().GetSession();
        velmora::Utils::Queries::addPrediction(session, "P-1", 90, {"1001", "1002", "1003"});
    }
    const std::size_t before = RecentSales::shared().recordedTotal();
    EXPECT_EQ(
        feedback(R"({"sid":"P-1","id":"1002","product_name":"Pears","method_of_selection":"recognition"})"),
        R"({"code":0,"data":null})");
    ASSERT_EQ(RecentSales::shared().recordedTotal(), before + 1);
    const RecentSale sale = RecentSales::shared().newestFirst().front();
    EXPECT_EQ(sale.sid, "P-1");
    EXPECT_EQ(sale.product_code, "1002");
    EXPECT_EQ(sale.product_name, "Pears");
    EXPECT_EQ(sale.position, "top2");
    Poco::Data::Session session = database.db().GetSession();
    EXPECT_EQ(sale.queue_id, queryInt(session, "SELECT id FROM recognition_queue WHERE sid = 'P-1'"));
    EXPECT_TRUE(velmora::Utils::Queries::isInRecognitionQueue(session, sale.queue_id));
}

TEST_F(FeedbackRecordsSales, NotWhenTheModuleRefuses) {
    feedbackReply = R"({"code":-6213})";
    const std::size_t before = RecentSales::shared().recordedTotal();
    EXPECT_EQ(feedback(R"({"sid":"P-2","id":"1002"})"), R"({"code":-6213,"data":null})");
    EXPECT_EQ(RecentSales::shared().recordedTotal(), before);
}

class StatusPageRoutes : public ::testing::Test {
protected:
    void SetUp() override {
        server = std::make_unique<velmora::Engine::Test::Server>(0, home.file("service.db"));
        server->Run();
        port = server->GetListeningPort();
    }
    // A recognition queue entry as result feedback makes one; its id.
    int queueEntry(const std::string& sid) {
        int id = -1;
        server->GetContext().inTransaction([&](Poco::Data::Session& session) {
            id = velmora::Utils::Queries::addRecognitionQueue(session, sid, "recognition", "top1", "1002", "",
                                                              "", 0.0, 100);
        });
        return id;
    }

    TempDir home;
    ScopedEnv homeEnv{"HOME", home.path().c_str()};
    std::unique_ptr<velmora::Engine::Test::Server> server;
    unsigned short port = 0;
};

TEST_F(StatusPageRoutes, TheRootAnswersTheSelfContainedPage) {
    const HttpAnswer page = httpCall(port, "GET", "/");
    ASSERT_EQ(page.status, 200);
    EXPECT_EQ(page.headers.at("Content-Type"), "text/html; charset=utf-8");
    EXPECT_TRUE(page.hasContentLength);
    EXPECT_EQ(page.body.rfind("<!DOCTYPE html>", 0), 0u) << page.body.substr(0, 80);
    EXPECT_NE(page.body.find("</html>"), std::string::npos);
    const std::string policy = page.headers.at("Content-Security-Policy");
    EXPECT_NE(policy.find("default-src 'none'"), std::string::npos) << policy;
    EXPECT_NE(policy.find("connect-src 'self'"), std::string::npos) << policy;
    EXPECT_EQ(page.headers.at("Cache-Control"), "no-store");

    // Nothing from elsewhere: the only address in it is the SVG namespace, which is a name.
    const std::regex address(R"(([a-z]+:)?//[A-Za-z0-9.-]+)");
    for (auto it = std::sregex_iterator(page.body.begin(), page.body.end(), address);
         it != std::sregex_iterator(); ++it) {
        EXPECT_EQ(it->str(), "http://www.w3.org") << "the page names another address";
    }
    for (const char* loading : {"<script src", "<link rel=\"stylesheet\"", "@import", "url(", "<iframe"}) {
        EXPECT_EQ(page.body.find(loading), std::string::npos) << loading;
    }
    // Its requests go to the agent's own routes, as relative paths.
    for (const char* route :
         {"'/api/agent/get_status'", "'/api/agent/get_recent_sales'", "'/api/agent/get_statistic'"}) {
        EXPECT_NE(page.body.find(route), std::string::npos) << route;
    }
}

TEST_F(StatusPageRoutes, OnlyGetOnTheRootIsAnswered) {
    EXPECT_THROW(httpCall(port, "POST", "/", "{}", "application/json"), std::exception);
    EXPECT_THROW(httpCall(port, "GET", "/index.html"), std::exception);
    EXPECT_THROW(httpCall(port, "GET", "/status"), std::exception);
    EXPECT_EQ(httpCall(port, "POST", "/api/agent/get_recent_sales", "{}", "application/json").status, 404);
}

TEST_F(StatusPageRoutes, RecentSalesSayWhichStillWaitForTheCloud) {
    const int waiting = queueEntry("W-1");
    const int gone = queueEntry("G-1");
    server->GetContext().inTransaction([&](Poco::Data::Session& session) {
        velmora::Utils::Queries::deleteFromRecognitionQueue(session, gone);
    });
    const std::size_t before = RecentSales::shared().recordedTotal();
    RecentSales::shared().record(
        RecentSale{std::chrono::system_clock::time_point(std::chrono::seconds(1796983152)), "G-1",
                   "4006381333931", "Apples", "top_not_in_top5", gone});
    RecentSales::shared().record(saleOf("W-1", waiting));
    RecentSales::shared().record(saleOf("N-1", -1));

    const HttpAnswer answer = httpCall(port, "GET", "/api/agent/get_recent_sales");
    ASSERT_EQ(answer.status, 200);
    EXPECT_EQ(answer.headers.at("Content-Type"), "application/json");
    const json::object value = json::parse(answer.body).as_object();
    EXPECT_EQ(value.at("code"), 0);
    const json::object& data = value.at("data").as_object();
    EXPECT_EQ(data.at("recorded").to_number<std::size_t>(), before + 3);
    const json::array& sales = data.at("sales").as_array();
    ASSERT_GE(sales.size(), 3u);
    EXPECT_EQ(json::serialize(sales[0]),
              json::serialize(json::parse(R"({"position":"top1","product_code":"1002","product_name":"",)"
                                          R"("queued":false,"sid":"N-1","time":")" +
                                          std::string(sales[0].at("time").as_string()) + "\"}")));
    EXPECT_EQ(sales[1].at("sid"), "W-1");
    EXPECT_EQ(sales[1].at("queued"), true);
    EXPECT_TRUE(std::regex_match(std::string(sales[1].at("time").as_string()),
                                 std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)")));
    EXPECT_EQ(json::serialize(sales[2]),
              R"({"position":"top_not_in_top5","product_code":"4006381333931","product_name":"Apples",)"
              R"("queued":false,"sid":"G-1","time":"2026-12-11T09:59:12Z"})");
}

}  // namespace
