// Authentication of the monitoring client against a recording token endpoint on
// loopback: the exact form, the renewal schedule, refusals and the connection check.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "captured_log.h"
#include "monitoring.h"
#include "monitoring_bench.h"
#include "test_support.h"

namespace orvix::test {
namespace {

using Clock = std::chrono::steady_clock;

const std::string kFormType = "application/x-www-form-urlencoded";

RecordingServer::Responder answerTokens(const std::string& body, int status = 200) {
    return [body, status](const RecordedRequest& request) {
        if (isTokenRequest(request)) {
            return jsonReply(status, body);
        }
        return jsonReply(200, "{}");
    };
}

std::vector<RecordedRequest> tokenRequests(const std::vector<RecordedRequest>& requests) {
    std::vector<RecordedRequest> tokens;
    for (const auto& request : requests) {
        if (isTokenRequest(request)) {
            tokens.push_back(request);
        }
    }
    return tokens;
}

class MonitoringToken : public ::testing::Test {
protected:
    void configure(RecordingServer::Responder responder) {
        MonitoringSetup setup;
        setup.secret = "s&cret=1 x";
        bench_.configureStopped(service_, setup, std::move(responder));
    }
    // The bearer header a request made now carries.
    std::string bearerNow() {
        bench_.driver().get_stores_list({});
        const auto all = bench_.requests(service_);
        const auto& headers = all.back().headers;
        const auto found = headers.find("Authorization");
        return found == headers.end() ? "" : found->second;
    }

    RecordingServer service_;
    MonitoringBench bench_;
};

TEST_F(MonitoringToken, AuthenticationAndRenewalSendTheExactForms) {
    configure(answerTokens(fullTokenAnswer("A1", 61, "R1")));
    ASSERT_TRUE(bench_.driver().authenticate());
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    ASSERT_TRUE(bench_.driver().refreshTokenIfNeeded());

    const auto tokens = tokenRequests(bench_.requests(service_));
    ASSERT_EQ(tokens.size(), 2u);
    for (const auto& request : tokens) {
        EXPECT_EQ(request.method, "POST");
        EXPECT_EQ(request.headers.at("Content-Type"), kFormType);
    }
    EXPECT_EQ(tokens[0].body,
              "grant_type=client_credentials&client_id=device&client_secret=s%26cret%3D1%20x");
    EXPECT_EQ(
        tokens[1].body,
        "grant_type=client_credentials&client_id=device&client_secret=s%26cret%3D1%20x&refresh_token=R1");
    EXPECT_EQ(bearerNow(), "Bearer A1");
}

TEST_F(MonitoringToken, AcceptedAnswerIsLoggedWithTheTokenLength) {
    CapturedLog log;
    configure(answerTokens(standardTokenAnswer("abcdefgh", 600)));
    ASSERT_TRUE(bench_.driver().authenticate());
    EXPECT_EQ(log.count("info", "Access token received and have size: 8"), 1u);
}

// When a renewal falls due: 60 s before the announced lifetime ends.
struct ExpiryCase {
    const char* name;
    long long expiresIn;
    int waitMs;
    bool renews;
};

class MonitoringTokenExpiry : public MonitoringToken, public ::testing::WithParamInterface<ExpiryCase> {};

TEST_P(MonitoringTokenExpiry, RenewsOnlyWhenDue) {
    const ExpiryCase& c = GetParam();
    configure(answerTokens(fullTokenAnswer("A1", c.expiresIn, "R1")));
    ASSERT_TRUE(bench_.driver().authenticate());
    std::this_thread::sleep_for(std::chrono::milliseconds(c.waitMs));
    ASSERT_TRUE(bench_.driver().refreshTokenIfNeeded());
    const auto tokens = tokenRequests(bench_.requests(service_));
    ASSERT_EQ(tokens.size(), c.renews ? 2u : 1u);
    if (c.renews) {
        EXPECT_NE(tokens[1].body.find("&refresh_token=R1"), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(Lifetimes, MonitoringTokenExpiry,
                         ::testing::Values(ExpiryCase{"Lifetime600NotDue", 600, 0, false},
                                           ExpiryCase{"Lifetime61NotYetDue", 61, 0, false},
                                           ExpiryCase{"Lifetime61DueAfterASecond", 61, 1100, true},
                                           ExpiryCase{"Lifetime60DueAtOnce", 60, 0, true},
                                           ExpiryCase{"Lifetime59DueAtOnce", 59, 0, true},
                                           ExpiryCase{"Lifetime0DueAtOnce", 0, 0, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(MonitoringToken, BelowSixtySecondsEveryCallRenews) {
    configure(answerTokens(fullTokenAnswer("A1", 30, "R1")));
    ASSERT_TRUE(bench_.driver().authenticate());
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(bench_.driver().refreshTokenIfNeeded());
    }
    EXPECT_EQ(tokenRequests(bench_.requests(service_)).size(), 4u);
}

TEST_F(MonitoringToken, StandardShortAnswerIsAcceptedAndRenewedByAuthenticatingAgain) {
    configure(answerTokens(standardTokenAnswer("A1", 59)));
    EXPECT_EQ(bench_.driver().check_connect(), -10002);
    ASSERT_TRUE(bench_.driver().authenticate());
    EXPECT_EQ(bench_.driver().check_connect(), 0);
    EXPECT_EQ(bearerNow(), "Bearer A1");

    service_.setResponder(answerTokens(standardTokenAnswer("A2", 600)));
    ASSERT_TRUE(bench_.driver().refreshTokenIfNeeded());
    const auto tokens = tokenRequests(bench_.requests(service_));
    ASSERT_EQ(tokens.size(), 2u);
    // No refresh token was handed out, so none is sent.
    EXPECT_EQ(tokens[1].body, tokens[0].body);
    EXPECT_EQ(bearerNow(), "Bearer A2");
}

TEST_F(MonitoringToken, OptionalFieldsOfAnotherTypeAreIgnored) {
    configure(
        answerTokens(R"({"access_token":"A1","expires_in":0,"refresh_token":5,"scope":[],"token_type":1})"));
    ASSERT_TRUE(bench_.driver().authenticate());
    ASSERT_TRUE(bench_.driver().refreshTokenIfNeeded());
    const auto tokens = tokenRequests(bench_.requests(service_));
    ASSERT_EQ(tokens.size(), 2u);
    EXPECT_EQ(tokens[1].body.find("refresh_token"), std::string::npos);
}

// Answers that carry no usable token: refused, and an earlier token stays in use.
struct RefusedAnswer {
    const char* name;
    std::string body;
};

class MonitoringTokenRefused : public MonitoringToken, public ::testing::WithParamInterface<RefusedAnswer> {};

TEST_P(MonitoringTokenRefused, AuthenticateFailsAndKeepsTheEarlierToken) {
    configure(answerTokens(standardTokenAnswer("OLD", 600)));
    ASSERT_TRUE(bench_.driver().authenticate());

    CapturedLog log;
    service_.setResponder(answerTokens(GetParam().body));
    EXPECT_FALSE(bench_.driver().authenticate());
    EXPECT_EQ(log.countContaining("Failed to auth: "), 1u);
    EXPECT_EQ(log.countContaining(", try again on the next loop..."), 1u);
    EXPECT_EQ(bench_.driver().check_connect(), 0);
    EXPECT_EQ(bearerNow(), "Bearer OLD");
}

INSTANTIATE_TEST_SUITE_P(
    Answers, MonitoringTokenRefused,
    ::testing::Values(RefusedAnswer{"MissingAccessToken", R"({"expires_in":600,"token_type":"Bearer"})"},
                      RefusedAnswer{"AccessTokenNotAString", R"({"access_token":7,"expires_in":600})"},
                      RefusedAnswer{"EmptyAccessToken", R"({"access_token":"","expires_in":600})"},
                      RefusedAnswer{"MissingExpiresIn", R"({"access_token":"NEW","token_type":"Bearer"})"},
                      RefusedAnswer{"ExpiresInAsText", R"({"access_token":"NEW","expires_in":"600"})"},
                      RefusedAnswer{"NotJson", "<html>login</html>"},
                      RefusedAnswer{"JsonArray", R"(["NEW"])"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MonitoringToken, MissingAccessTokenLeavesTheClientUnauthenticated) {
    configure(answerTokens(R"({"expires_in":600})"));
    EXPECT_FALSE(bench_.driver().authenticate());
    EXPECT_EQ(bench_.driver().check_connect(), -10002);
    EXPECT_EQ(bearerNow(), "");
}

TEST_F(MonitoringToken, RefusalStatusIsLoggedWithItsReason) {
    CapturedLog log;
    configure(answerTokens("{}", 503));
    EXPECT_FALSE(bench_.driver().authenticate());
    EXPECT_EQ(log.count("warning", "Auth error, http response code: 503, reason: Service Unavailable"), 1u);
    EXPECT_EQ(
        log.count(
            "info",
            "Failed to auth: Authentication failed: Service Unavailable, try again on the next loop..."),
        1u);
}

TEST_F(MonitoringToken, EmptyBodyFailsAuthenticationButRaisesFromARenewal) {
    CapturedLog log;
    configure(answerTokens(""));
    EXPECT_FALSE(bench_.driver().authenticate());
    EXPECT_EQ(log.count("error", "Empty response from auth server"), 1u);

    service_.setResponder(answerTokens(fullTokenAnswer("A1", 0, "R1")));
    ASSERT_TRUE(bench_.driver().authenticate());
    service_.setResponder(answerTokens(""));
    EXPECT_ANY_THROW(bench_.driver().refreshTokenIfNeeded());
    EXPECT_EQ(bearerNow(), "Bearer A1");
}

TEST_F(MonitoringToken, RefusedRenewalFallsBackToAFreshAuthentication) {
    CapturedLog log;
    configure([](const RecordedRequest& request) {
        if (!isTokenRequest(request)) {
            return jsonReply(200, "{}");
        }
        if (request.body.find("refresh_token=") != std::string::npos) {
            return jsonReply(401, R"({"error":"invalid_grant"})");
        }
        static std::atomic<int> issued{0};
        return jsonReply(200, fullTokenAnswer("A" + std::to_string(++issued), 0, "R"));
    });
    ASSERT_TRUE(bench_.driver().authenticate());
    const std::string first = bearerNow();
    ASSERT_TRUE(bench_.driver().refreshTokenIfNeeded());

    const auto tokens = tokenRequests(bench_.requests(service_));
    ASSERT_EQ(tokens.size(), 3u);
    EXPECT_NE(tokens[1].body.find("&refresh_token=R"), std::string::npos);
    EXPECT_EQ(tokens[2].body.find("refresh_token"), std::string::npos);
    EXPECT_EQ(
        log.count("warning",
                  "refresh token fails with http code: 401, reason: Unauthorized, try to authenticate() "
                  "again..."),
        1u);
    EXPECT_NE(bearerNow(), first);
}

TEST(MonitoringTokenUnreachable, AuthenticationFailsQuietlyAndARenewalRaises) {
    auto service = std::make_unique<RecordingServer>();
    MonitoringBench bench;
    bench.configureStopped(*service, MonitoringSetup{}, answerTokens(fullTokenAnswer("A1", 0, "R1")));
    ASSERT_TRUE(bench.driver().authenticate());
    service.reset();

    CapturedLog log;
    EXPECT_FALSE(bench.driver().authenticate());
    EXPECT_EQ(log.countContaining("Failed to auth: "), 1u);
    EXPECT_ANY_THROW(bench.driver().refreshTokenIfNeeded());
}

TEST(MonitoringTokenUnreachable, ConnectionCheckReportsAHeldTokenEvenWhenTheServiceIsGone) {
    auto service = std::make_unique<RecordingServer>(answerTokens(standardTokenAnswer("A1", 600)));
    MonitoringBench bench;
    bench.configureStopped(*service, MonitoringSetup{}, answerTokens(standardTokenAnswer("A1", 600)));
    EXPECT_EQ(bench.driver().check_connect(), -10002);
    ASSERT_TRUE(bench.driver().authenticate());
    EXPECT_EQ(bench.driver().check_connect(), 0);
    service.reset();
    EXPECT_EQ(bench.driver().check_connect(), 0);
}

// The local API asks from a server thread while the worker renews: the answer comes
// at once instead of after the slow token endpoint.
TEST_F(MonitoringToken, ConnectionCheckDoesNotWaitForARenewalInProgress) {
    std::atomic<bool> slow{false};
    configure([&slow](const RecordedRequest& request) {
        if (isTokenRequest(request) && slow) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        }
        return jsonReply(200, fullTokenAnswer("A1", 0, "R1"));
    });
    ASSERT_TRUE(bench_.driver().authenticate());
    slow = true;
    auto renewal = std::async(std::launch::async, [this] { return bench_.driver().refreshTokenIfNeeded(); });
    ASSERT_TRUE(waitUntil([&] { return tokenRequests(bench_.requests(service_)).size() == 2; },
                          std::chrono::seconds(5)));
    const auto started = Clock::now();
    EXPECT_EQ(bench_.driver().check_connect(), 0);
    EXPECT_LT(Clock::now() - started, std::chrono::milliseconds(200));
    EXPECT_EQ(renewal.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    EXPECT_TRUE(renewal.get());
}

}  // namespace
}  // namespace orvix::test
