// The local API core: routing table, not-found answers, trace lines, complete answers.
#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

#include "server.h"
#include "test_support.h"

namespace {

using orvix::test::HttpAnswer;
using orvix::test::httpCall;
using velmora::Engine::Test::ApiReply;
using velmora::Engine::Test::ApiRequest;
using velmora::Engine::Test::Route;
using velmora::Engine::Test::Server;

class ServerRouting : public ::testing::Test {
protected:
    void SetUp() override {
        server = std::make_unique<Server>(0, home.file("service.db"));
        auto echo = [](Server&, const ApiRequest& request) {
            std::string text = request.method + "|";
            for (const auto& segment : request.segments) {
                text += segment + "/";
            }
            text += "|";
            for (const auto& [name, value] : request.query) {
                text += name + "=" + value + ";";
            }
            text += "|" + request.body;
            return ApiReply{200, "", "application/json", text, {}};
        };
        server->AddRoutes({
            Route{"POST", "/api/test_echo", echo},
            Route{"GET", "/api/test_agent/{command}", echo, true},
            Route{"*", "/test_download/{name}", echo},
            Route{"GET", "/api/test_slow",
                  [](Server&, const ApiRequest&) {
                      std::this_thread::sleep_for(std::chrono::milliseconds(500));
                      return ApiReply{200, "", "application/json", "done", {}};
                  }},
            Route{"GET", "/api/test_throw",
                  [](Server&, const ApiRequest&) -> ApiReply { throw std::runtime_error("broken"); }},
        });
        server->Run();
        port = server->GetListeningPort();
    }

    orvix::test::TempDir home;
    orvix::test::ScopedEnv homeEnv{"HOME", home.path().c_str()};
    std::unique_ptr<Server> server;
    unsigned short port = 0;
};

TEST_F(ServerRouting, UnmatchedApiPathsAreNotFoundWithAnEmptyBody) {
    const char* paths[] = {
        "/api", "/api/", "/api/agent", "/api/monitoring", "/api/no_such_command", "/api/test_echo/extra"};
    for (const char* path : paths) {
        auto answer = httpCall(port, "GET", path);
        EXPECT_EQ(answer.status, 404) << path;
        EXPECT_EQ(answer.reason, "Not Found") << path;
        EXPECT_EQ(answer.body, "") << path;
        EXPECT_EQ(answer.headers["Content-Type"], "application/octet-stream") << path;
    }
}

TEST_F(ServerRouting, MethodMustMatch) {
    EXPECT_EQ(httpCall(port, "GET", "/api/test_echo").status, 404);
    EXPECT_EQ(httpCall(port, "POST", "/api/test_echo", "{}").status, 200);
}

TEST_F(ServerRouting, RouteSeesDecodedSegmentsQueryAndBody) {
    auto answer = httpCall(port, "POST", "/api/test_echo?limit=3&q=a%20b", R"({"x":1})", "application/json");
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.body, R"(POST|api/test_echo/|limit=3;q=a b;|{"x":1})");
    EXPECT_EQ(answer.headers["Content-Type"], "application/json");
    // Every answer is complete and says how long it is, so keep-alive clients read it to its end.
    EXPECT_TRUE(answer.hasContentLength);
    EXPECT_EQ(answer.headers["Content-Length"], std::to_string(answer.body.size()));
}

TEST_F(ServerRouting, PlaceholdersAndIgnoredExtraSegments) {
    EXPECT_EQ(httpCall(port, "GET", "/api/test_agent/get_config/more/segments").body,
              "GET|api/test_agent/get_config/more/segments/||");
    EXPECT_EQ(httpCall(port, "GET", "/api/test_agent").status, 404);
    EXPECT_EQ(httpCall(port, "DELETE", "/test_download/pack%20one.evom").body,
              "DELETE|test_download/pack one.evom/||");
    EXPECT_THROW(httpCall(port, "GET", "/download"), std::exception);  // not under /api: no answer at all
}

TEST_F(ServerRouting, FailingHandlerGivesA500NotATruncatedAnswer) {
    auto answer = httpCall(port, "GET", "/api/test_throw");
    EXPECT_EQ(answer.status, 500);
    EXPECT_EQ(answer.headers["Content-Type"], "application/json");
    EXPECT_EQ(answer.body, R"({"error":"internal error: broken"})");
}

TEST_F(ServerRouting, PathsOutsideApiAreOnlyTraced) {
    testing::internal::CaptureStdout();
    EXPECT_THROW(httpCall(port, "GET", "/status"), std::exception);
    httpCall(port, "POST", "/api/nothing", "x", "text/plain");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("[HandleSession] Received request for endpoint: /status\n"
                       "[HandleSession] Content-Type: not specified\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("[HandleSession] Received request for endpoint: /api/nothing\n"
                       "[HandleSession] Content-Type: text/plain\n"),
              std::string::npos)
        << out;
}

TEST_F(ServerRouting, StopLetsARequestInFlightFinish) {
    HttpAnswer answer;
    std::thread client([&] { answer = httpCall(port, "GET", "/api/test_slow"); });
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    server->Stop();
    client.join();
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.body, "done");
}

TEST_F(ServerRouting, StoppingTwiceIsHarmless) {
    server->Stop();
    server->Stop();
    EXPECT_THROW(httpCall(port, "GET", "/api", {}, {}, 2), std::exception);
}

}  // namespace
