// The status page in a real browser (Debian's Chromium, headless) against the agent as
// a process with the module simulator, the cloud simulator and s3rver: after a few
// sales it shows the module reachable, the queue empty once the cloud has the sales
// and one bar per day that has statistics, with no console error and no request
// outside the agent; it notices the module going away within a refresh, and the agent
// going away. A screenshot is left in the build folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <boost/json.hpp>

#include "agent_process.h"
#include "cloud_agent.h"
#include "headless_browser.h"
#include "status_page.h"
#include "test_support.h"

namespace {

using namespace orvix::test;
namespace json = boost::json;
using std::chrono::milliseconds;
using std::chrono::seconds;

// The page asks every 3 s; get_status gives up on the module after 1.5 s.
constexpr milliseconds kRefresh(3000);
constexpr milliseconds kOneRefresh =
    kRefresh + milliseconds(1500) + milliseconds(2000);  // and a loaded machine

const std::string kScreenshot = std::string(ORVIX_BINARY_DIR) + "/status_page.png";
// The same page once the module and then the agent went away.
const std::string kScreenshotGone = std::string(ORVIX_BINARY_DIR) + "/status_page_agent_gone.png";

std::string check(const std::string& name, const std::string& what) {
    return "document.querySelector('[data-check=\"" + name + "\"]')?." + what;
}

// The distinct days on which the agent counted a sale of one of the products.
std::set<std::string> daysWithStatistics(const std::vector<std::string>& products) {
    std::set<std::string> days;
    for (const auto& product : products) {
        const json::object answer = agentJson("POST", "/api/agent/get_statistic",
                                              R"({"requestType":"DAYS","productCode":")" + product + "\"}");
        for (const auto& row : answer.at("data").at(0).at("predictionDataList").as_array()) {
            days.insert(std::string(row.at("date").as_string()));
        }
    }
    return days;
}

TEST(StatusPageInABrowser, ShowsTheAgentItsSalesAndItsStatisticsAndNoticesWhatStops) {
    // Not skipped when Chromium is missing: scripts/setup.sh installs it, so a missing
    // browser is a broken set-up.
    ASSERT_FALSE(HeadlessBrowser::executable().empty())
        << "chromium is not on PATH: run scripts/setup.sh (it installs Debian's chromium)";

    CloudAgent env;
    ASSERT_TRUE(waitUntil([] { return checkConnect() == 0; }, seconds(20))) << env.log();
    const std::vector<std::string> products = {"1002", "1003", "1002"};
    std::vector<std::string> sids;
    for (const auto& product : products) {
        sids.push_back(env.sale(product));
    }
    ASSERT_TRUE(waitUntil(
        [&] {
            for (const auto& sid : sids) {
                if (env.recognitionsOf(sid).empty()) {
                    return false;
                }
            }
            return env.count("recognition_queue") == 0;
        },
        seconds(30)))
        << env.log();
    const std::set<std::string> days = daysWithStatistics({"1002", "1003"});
    ASSERT_FALSE(days.empty());

    TempDir work;
    HeadlessBrowser browser(work.path());
    const std::string origin = "http://127.0.0.1:" + std::to_string(AgentProcess::kPort);
    browser.navigate(origin + "/");
    auto page = [&] { return json::serialize(browser.evaluate("document.body.innerText")); };

    EXPECT_TRUE(browser.waitFor(check("module", "dataset.state === 'good'"), seconds(20))) << page();
    EXPECT_EQ(browser.evaluate(check("module", "textContent")),
              json::value("Reachable at 127.0.0.1:" + std::to_string(env.module.port())));
    EXPECT_TRUE(browser.waitFor(check("recognition-queue", "dataset.state === 'good'") + " && " +
                                    check("recognition-queue", "textContent === 'Empty'"),
                                seconds(10)))
        << page();
    EXPECT_EQ(browser.evaluate(check("cloud", "dataset.state")), json::value("good")) << page();
    EXPECT_TRUE(browser.waitFor("document.querySelectorAll('#sales tr.sale').length === 3", seconds(10)))
        << page();
    EXPECT_EQ(browser.evaluate("[...document.querySelectorAll('#sales td.cloud')].map(c => c.textContent)"
                               ".join(',')"),
              json::value("Sent,Sent,Sent"));
    EXPECT_EQ(browser.evaluate("document.querySelector('#sales tr.sale td:nth-child(2)').textContent"),
              json::value("1002"));

    // One bar per day with statistics, in both daily charts; all three sales in them.
    const std::string dayBars = "document.querySelectorAll('#days-position .bar').length";
    EXPECT_TRUE(browser.waitFor(dayBars + " === " + std::to_string(days.size()), seconds(20)))
        << browser.evaluate(dayBars) << " bars for " << days.size() << " days";
    EXPECT_EQ(browser.evaluate("document.querySelectorAll('#days-help .bar').length"),
              json::value(static_cast<int64_t>(days.size())));
    EXPECT_GE(browser.evaluate("document.querySelectorAll('#months-position .bar').length").to_number<int>(),
              1);
    // Hovering the newest bar shows its numbers.
    const json::value tip = browser.evaluate(R"((() => {
        const bars = document.querySelectorAll('#days-position .bar');
        const bar = bars[bars.length - 1];
        const box = bar.getBoundingClientRect();
        bar.dispatchEvent(new MouseEvent('mousemove', {bubbles: true, clientX: box.left + box.width / 2,
                                                       clientY: box.top + box.height / 2}));
        const tip = document.getElementById('tip');
        return getComputedStyle(tip).display + '|' + tip.textContent;
    })())");
    ASSERT_TRUE(tip.is_string());
    const std::string tipText(tip.as_string());
    EXPECT_EQ(tipText.rfind("block|", 0), 0u) << tipText;
    if (days.size() == 1) {
        EXPECT_NE(tipText.find(": 3 sales"), std::string::npos) << tipText;
    }
    EXPECT_NE(tipText.find("in the top 5: "), std::string::npos) << tipText;
    EXPECT_NE(tipText.find("with the prediction: 3 (100%)"), std::string::npos) << tipText;

    writeFile(kScreenshot, browser.screenshotPng());

    EXPECT_TRUE(browser.dialogs().empty()) << "the agent asks for no token here";
    EXPECT_EQ(browser.consoleErrors(), std::vector<std::string>{});
    const std::vector<BrowserRequest> requests = browser.requests();
    int fetches = 0;
    for (const auto& request : requests) {
        EXPECT_EQ(request.url.rfind(origin + "/", 0), 0u) << "a request outside the agent: " << request.url;
        if (request.url.find("/api/") != std::string::npos) {
            ++fetches;
            // What the local API's browser rule looks at.
            EXPECT_EQ(request.headers.count("sec-fetch-site") ? request.headers.at("sec-fetch-site") : "",
                      "same-origin")
                << request.method << " " << request.url;
            if (request.method == "GET") {
                EXPECT_EQ(request.headers.count("origin"), 0u) << request.url;
            } else {
                // Chromium names the page's own origin on a POST, same-origin as it is.
                EXPECT_EQ(request.headers.count("origin") ? request.headers.at("origin") : "", origin)
                    << request.url;
            }
        }
    }
    EXPECT_GT(fetches, 30) << "status, sales and the statistics of 30 days and 12 months";

    // The module goes away: the page says so within one refresh.
    env.module.stop();
    EXPECT_TRUE(browser.waitFor(check("module", "dataset.state === 'bad'"), kOneRefresh)) << page();
    EXPECT_EQ(browser.evaluate(check("module", "textContent")),
              json::value("Not reachable at 127.0.0.1:" + std::to_string(env.module.port())));
    EXPECT_EQ(browser.evaluate("document.getElementById('connection').dataset.state"), json::value("good"));

    // The agent goes away: the page says it no longer answers and keeps what it showed.
    EXPECT_EQ(env.agent->stop(), 0);
    env.agent.reset();
    EXPECT_TRUE(
        browser.waitFor("document.getElementById('connection').dataset.state === 'bad' && "
                        "document.getElementById('connection').textContent.includes('has not answered since')",
                        seconds(15)))
        << page();
    EXPECT_EQ(browser.evaluate("document.querySelectorAll('#sales tr.sale').length"), json::value(3));
    writeFile(kScreenshotGone, browser.screenshotPng());
}

// ---- the local API token ----

// A stand-in for an agent that wants a bearer token: it serves the agent's own page
// and answers its three routes only when the token is `token`.
class TokenAgent {
public:
    explicit TokenAgent(std::string token)
        : token_(std::move(token)),
          server_([this](const RecordedRequest& request) { return answer(request); }) {}

    std::string origin() const { return server_.baseUrl(); }
    // The API requests that came without the right token.
    int refused() const {
        int count = 0;
        for (const auto& request : server_.requests()) {
            count += request.uri.rfind("/api/", 0) == 0 && !authorised(request) ? 1 : 0;
        }
        return count;
    }
    int authorisedCalls() const {
        int count = 0;
        for (const auto& request : server_.requests()) {
            count += authorised(request) ? 1 : 0;
        }
        return count;
    }

private:
    static std::string header(const RecordedRequest& request, const std::string& name) {
        for (const auto& [key, value] : request.headers) {
            std::string lower = key;
            std::transform(lower.begin(), lower.end(), lower.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            if (lower == name) {
                return value;
            }
        }
        return {};
    }
    bool authorised(const RecordedRequest& request) const {
        return header(request, "authorization") == "Bearer " + token_;
    }
    CannedReply answer(const RecordedRequest& request) const {
        if (request.uri == "/") {
            return CannedReply{200, "", "text/html; charset=utf-8", velmora::Engine::Test::statusPageHtml()};
        }
        if (!authorised(request)) {
            return CannedReply{401, "Unauthorized", "application/octet-stream", ""};
        }
        if (request.uri.rfind("/api/agent/get_status", 0) == 0) {
            return CannedReply{200, "", "application/json",
                               R"({"code":0,"data":{"build_date":"2026-02-16 13:52:48",
                "cloud":{"address":"","device_id":"","last_alert_accepted_at":null,
                         "last_recognition_accepted_at":null,"token_held":false},
                "data_folder":{"free_bytes":null,"path":"/d"},"module":{"address":"127.0.0.1:8081","reachable":true},
                "pictures_folder":{"budget_bytes":0,"path":"/p","size_bytes":0},
                "queues":{"alerts":{"count":0,"oldest_age_seconds":null,"refused":0,"oldest_refusal":null},
                          "recognitions":{"count":0,"oldest_age_seconds":null,"refused":0,"oldest_refusal":null}},
                "uptime_seconds":5,"version":"1.0.0009"}})"};
        }
        if (request.uri.rfind("/api/agent/get_recent_sales", 0) == 0) {
            return CannedReply{200, "", "application/json", R"({"code":0,"data":{"recorded":0,"sales":[]}})"};
        }
        return CannedReply{200, "", "application/json", R"({"code":0,"data":[]})"};
    }

    std::string token_;
    RecordingServer server_;
};

TEST(StatusPageInABrowser, AsksForTheTokenOnceAndSendsItAsABearerToken) {
    ASSERT_FALSE(HeadlessBrowser::executable().empty())
        << "chromium is not on PATH: run scripts/setup.sh (it installs Debian's chromium)";
    TempDir work;
    HeadlessBrowser browser(work.path());
    browser.answerPrompts("s3cret");

    TokenAgent agent("s3cret");
    browser.navigate(agent.origin() + "/");
    EXPECT_TRUE(browser.waitFor(check("module", "dataset.state === 'good'"), seconds(15)))
        << json::serialize(browser.evaluate("document.body.innerText"));
    // The first round (status, sales, 30 days and 12 months of statistics), then two more: the
    // token is kept and nothing asks again.
    EXPECT_TRUE(waitUntil([&] { return agent.authorisedCalls() >= 2 + 42 + 2 * 2; }, seconds(20)))
        << agent.authorisedCalls();
    EXPECT_EQ(browser.dialogs().size(), 1u);
    EXPECT_EQ(agent.refused(), 1) << "only the first request goes without the token";
    EXPECT_EQ(browser.evaluate("document.getElementById('connection').dataset.state"), json::value("good"));

    // A token the agent refuses: asked once, then the page says so instead of asking again.
    TokenAgent other("another");
    browser.navigate(other.origin() + "/");
    EXPECT_TRUE(browser.waitFor(
        "document.getElementById('connection').textContent.includes('refused the token')", seconds(15)))
        << json::serialize(browser.evaluate("document.body.innerText"));
    std::this_thread::sleep_for(kRefresh * 2);
    EXPECT_EQ(browser.dialogs().size(), 2u);
    EXPECT_GE(other.refused(), 3) << "it keeps asking the agent, with the token it was given";
    // The browser logs each refused request; nothing else went wrong.
    for (const auto& error : browser.consoleErrors()) {
        EXPECT_NE(error.find("status of 401"), std::string::npos) << error;
    }
}

}  // namespace
