// Long-running module jobs: polling their status until an outcome, and the
// download of a prepared file.
#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include <Poco/URI.h>

#include "captured_log.h"
#include "driver.h"
#include "driver_bench.h"
#include "errors.h"
#include "test_support.h"
#include "wait_for_status.h"

namespace {

using velmora::Engine::Driver::OrvixDriver;
using velmora::Utils::wait_for_status;
using namespace velmora::Utils::Models;
using namespace velmora::Utils::Errors;
using namespace orvix::test;
using Clock = std::chrono::steady_clock;

const std::string kJson = "application/json";

// Answers the status queries from a script; the last reply repeats.
class ScriptedModule {
public:
    explicit ScriptedModule(std::vector<CannedReply> script)
        : script_(std::move(script)), server_([this](const RecordedRequest&) {
              const size_t index = std::min(served_++, script_.size() - 1);
              return script_[index];
          }) {}
    unsigned short port() const { return server_.port(); }
    size_t served() const { return served_; }

private:
    std::vector<CannedReply> script_;
    std::atomic<size_t> served_{0};
    RecordingServer server_;
};

CannedReply status(int value, const std::string& msg = "m", const std::string& extra = "") {
    return {200, "", kJson,
            R"({"code":0,"msg":")" + msg + R"(","status":)" + std::to_string(value) + extra + "}"};
}

CannedReply exportStatus(int value, const std::string& msg = "m") {
    return status(value, msg, R"(,"filename":"templates_1.evom")");
}

long long millisSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::pair<bool, ExportTemplateStatusRes> waitExport(OrvixDriver& driver, int maxAttempts, int intervalMs) {
    return wait_for_status<ExportStatus, ExportTemplateStatusRes>(
        [&] { return driver.export_template_status(); }, ExportStatus::Completed, is_export_failure,
        [](ExportStatus s) { return to_string(s); }, "export template", maxAttempts, intervalMs);
}

std::pair<bool, ImportTemplateStatusRes> waitImport(OrvixDriver& driver, int maxAttempts, int intervalMs) {
    return wait_for_status<ImportStatus, ImportTemplateStatusRes>(
        [&] { return driver.import_template_status(); }, ImportStatus::Completed, is_terminal_failure,
        [](ImportStatus s) { return to_string(s); }, "import template", maxAttempts, intervalMs);
}

std::pair<bool, OfflineUpgradeStatusRes> waitUpgrade(OrvixDriver& driver, int maxAttempts, int intervalMs) {
    return wait_for_status<UpgradeStatus, OfflineUpgradeStatusRes>(
        [&] { return driver.offline_upgrade_status(); }, UpgradeStatus::Completed, is_upgrade_failure,
        [](UpgradeStatus s) { return to_string(s); }, "offline upgrade", maxAttempts, intervalMs);
}

TEST(WaitForStatus, ImmediateSuccessNeedsOneQueryAndNoSleep) {
    AgentDatabase database;
    ScriptedModule module({status(4, "ok")});
    auto driver = makeDriver(database, module.port());
    CapturedLog log;
    const auto start = Clock::now();
    const auto [ok, last] = waitImport(*driver, 300, 2000);
    EXPECT_LT(millisSince(start), 1500);
    EXPECT_TRUE(ok);
    EXPECT_EQ(last.status, 4);
    EXPECT_EQ(last.msg, "ok");
    EXPECT_EQ(module.served(), 1u);
    EXPECT_EQ(log.count("info", "Checking import template status (attempt #1)..."), 1u);
    EXPECT_EQ(log.count("info", "import template completed successfully"), 1u);
}

TEST(WaitForStatus, OutcomesOfTheThreeJobs) {
    struct Case {
        std::string label;
        std::vector<CannedReply> script;
        std::function<std::pair<bool, int>(OrvixDriver&)> wait;  // outcome and last status
        bool ok;
        int lastStatus;
        size_t queries;
        std::string finalLog;
    };
    const int interval = 20;
    const Case cases[] = {
        {"upgrade fails in transfer",
         {status(1), status(2), status(6, "no space")},
         [&](OrvixDriver& d) {
             auto [ok, last] = waitUpgrade(d, 300, interval);
             EXPECT_EQ(last.msg, "no space");
             return std::make_pair(ok, last.status);
         },
         false,
         6,
         3,
         "offline upgrade failed with status 6: fail to transfer"},
        {"export status 4 is a failure without a text",
         {exportStatus(1), exportStatus(4)},
         [&](OrvixDriver& d) {
             auto [ok, last] = waitExport(d, 300, interval);
             return std::make_pair(ok, last.status);
         },
         false,
         4,
         2,
         "export template failed with status 4: unknown"},
        {"export completes",
         {exportStatus(0), exportStatus(1), exportStatus(3, "done")},
         [&](OrvixDriver& d) {
             auto [ok, last] = waitExport(d, 300, interval);
             EXPECT_EQ(last.filename, "templates_1.evom");
             EXPECT_EQ(last.msg, "done");
             return std::make_pair(ok, last.status);
         },
         true,
         3,
         3,
         "export template completed successfully"},
        {"import fails to verify",
         {status(2), status(3), status(7)},
         [&](OrvixDriver& d) {
             auto [ok, last] = waitImport(d, 300, interval);
             return std::make_pair(ok, last.status);
         },
         false,
         7,
         3,
         "import template failed with status 7: fail to verify"},
        {"refusals and HTTP errors keep the wait going",
         {{200, "", kJson, R"({"code":-6210})"}, {503, "", "text/plain", "busy"}, status(4)},
         [&](OrvixDriver& d) {
             auto [ok, last] = waitImport(d, 300, interval);
             return std::make_pair(ok, last.status);
         },
         true,
         4,
         3,
         "import template completed successfully"},
        {"a refused last query leaves an unset status",
         {status(2), {200, "", kJson, R"({"code":-6213})"}},
         [&](OrvixDriver& d) {
             auto [ok, last] = waitImport(d, 2, interval);
             return std::make_pair(ok, last.status);
         },
         false,
         kJobStatusUnset,
         2,
         "import template status check exceeded max attempts (2)"},
        {"a count below one still queries once",
         {status(2)},
         [&](OrvixDriver& d) {
             auto [ok, last] = waitImport(d, 0, interval);
             return std::make_pair(ok, last.status);
         },
         false,
         2,
         1,
         "import template status check exceeded max attempts (0)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        AgentDatabase database;
        ScriptedModule module(c.script);
        auto driver = makeDriver(database, module.port());
        CapturedLog log;
        const auto [ok, lastStatus] = c.wait(*driver);
        EXPECT_EQ(ok, c.ok);
        EXPECT_EQ(lastStatus, c.lastStatus);
        EXPECT_EQ(module.served(), c.queries);
        EXPECT_EQ(log.count(c.finalLog), 1u);
        EXPECT_TRUE(database.alerts().empty());
    }
}

TEST(WaitForStatus, GivesUpAfterMaxAttemptsSleepingAfterEach) {
    AgentDatabase database;
    ScriptedModule module({exportStatus(1, "working")});
    auto driver = makeDriver(database, module.port());
    CapturedLog log;
    const auto start = Clock::now();
    const auto [ok, last] = waitExport(*driver, 3, 150);
    const auto elapsed = millisSince(start);
    EXPECT_FALSE(ok);
    EXPECT_EQ(last.status, 1);
    EXPECT_EQ(last.msg, "working");
    EXPECT_EQ(module.served(), 3u);
    EXPECT_GE(elapsed, 450);  // a sleep follows each of the three queries, the last one included
    EXPECT_LT(elapsed, 3000);
    for (int attempt = 1; attempt <= 3; ++attempt) {
        EXPECT_EQ(log.count("info",
                            "Checking export template status (attempt #" + std::to_string(attempt) + ")..."),
                  1u);
    }
    EXPECT_EQ(log.count("error", "export template status check exceeded max attempts (3)"), 1u);
}

TEST(WaitForStatus, LostModuleEndsTheWaitWithThePreviousRecord) {
    AgentDatabase database;
    const unsigned short port = freePort();
    auto module = std::make_unique<RecordingServer>(
        [](const RecordedRequest&) { return exportStatus(1, "halfway"); }, port);
    auto driver = makeDriver(database, port);
    int queries = 0;
    CapturedLog log;
    const auto [ok, last] = wait_for_status<ExportStatus, ExportTemplateStatusRes>(
        [&] {
            if (++queries == 3) {
                module.reset();  // the module goes away during the wait
            }
            return driver->export_template_status();
        },
        ExportStatus::Completed, is_export_failure, [](ExportStatus s) { return to_string(s); },
        "export template", 300, 10);
    EXPECT_FALSE(ok);
    EXPECT_EQ(queries, 3);
    EXPECT_EQ(last.status, 1);
    EXPECT_EQ(last.msg, "halfway");
    EXPECT_EQ(last.filename, "templates_1.evom");
    EXPECT_EQ(log.count("error", "export template failed: camera lost"), 1u);
    EXPECT_EQ(database.alerts().size(), 1u);  // the lost status query is a lost connection
}

TEST(WaitForStatus, LostModuleOnTheFirstQueryGivesADefaultRecord) {
    AgentDatabase database;
    auto driver = makeDriver(database, freePort());
    const auto [ok, last] = waitUpgrade(*driver, 300, 1000);
    EXPECT_FALSE(ok);
    EXPECT_EQ(last.status, kJobStatusUnset);
    EXPECT_EQ(last.msg, "");
}

void ignoreSignal(int) {}

TEST(WaitForStatus, SleepSurvivesSignals) {
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = ignoreSignal;  // no SA_RESTART: the sleep is interrupted
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    const pthread_t sleeper = pthread_self();
    std::atomic<bool> done{false};
    std::thread interrupter([&] {
        for (int i = 0; i < 5 && !done; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
            pthread_kill(sleeper, SIGUSR1);
        }
    });
    const auto start = Clock::now();
    velmora::Utils::sleepForInterval(300);
    const auto elapsed = millisSince(start);
    done = true;
    interrupter.join();
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_GE(elapsed, 300);
}

TEST(DownloadTemplate, ReplyCodesAndTheConnectionFlag) {
    AgentDatabase database;
    const std::string file(std::string("PK\x03\x04", 4) + std::string(5000, '\x7f'));
    RecordingServer module([&](const RecordedRequest& request) {
        if (request.uri == "/download/templates_1.evom") {
            return CannedReply{200, "", "application/octet-stream", file};
        }
        return CannedReply{404, "Not Found", "text/html", "<h1>missing</h1>"};
    });
    auto driver = makeDriver(database, module.port());
    {
        CapturedLog log;
        const auto [code, reply] = driver->download_template("templates_1.evom");
        EXPECT_EQ(code, 0);
        EXPECT_EQ(reply.status, 200);
        EXPECT_EQ(reply.body, file);
        EXPECT_EQ(log.count("info", "download_template() called with file: templates_1.evom;"), 1u);
        EXPECT_EQ(log.count("info", "download_template() completed, response size: 5004;"), 1u);
        const auto sent = module.requests().back();
        EXPECT_EQ(sent.method, "GET");
        EXPECT_EQ(sent.body, "");
    }
    {
        CapturedLog log;
        const auto [code, reply] = driver->download_template("gone.evom");
        EXPECT_EQ(code, -6207);
        EXPECT_EQ(reply.status, 404);
        EXPECT_EQ(reply.reason, "Not Found");
        EXPECT_EQ(reply.body, "<h1>missing</h1>");
        EXPECT_EQ(log.count("info", "download_template() completed, response size: 16;"), 1u);
    }
    EXPECT_TRUE(database.alerts().empty());
}

TEST(DownloadTemplate, NamesThatLeaveTheFolderAreNeverAskedFor) {
    AgentDatabase database;
    RecordingServer module;
    auto driver = makeDriver(database, module.port());
    for (const std::string& name :
         {std::string("../api/get_image"), std::string(".."), std::string("."), std::string(""),
          std::string("a/b"), std::string("a\\b"), std::string("a\0b", 3), std::string("/etc/passwd")}) {
        const auto [code, reply] = driver->download_template(name);
        EXPECT_EQ(code, -6207) << name;
        EXPECT_EQ(reply.status, 0) << name;
    }
    EXPECT_TRUE(module.requests().empty());
    driver->download_template("templates_1.evom");
    ASSERT_EQ(module.requests().size(), 1u);
    EXPECT_EQ(module.requests().back().uri, "/download/templates_1.evom");
}

// Whatever the module named its package, the request asks for exactly that name: the
// path, decoded once as the module's HTTP layer does, is "/download/" + the name.
TEST(DownloadTemplate, ModuleNamesTravelPercentEncoded) {
    AgentDatabase database;
    RecordingServer module([](const RecordedRequest& request) {
        return CannedReply{200, "", "application/octet-stream", "bytes of " + request.uri};
    });
    auto driver = makeDriver(database, module.port());
    const std::string names[] = {"templates 1.evom", "a+b.evom",    "шаблоны_магазина.evom",
                                 "a?b#c.evom",       "%2E%2E",      "...",
                                 "100%.evom",        "x;y=z&w.evom"};
    for (const auto& name : names) {
        const auto [code, reply] = driver->download_template(name);
        EXPECT_EQ(code, 0) << name;
        const std::string sent = module.requests().back().uri;
        const bool plainAscii = std::all_of(
            sent.begin(), sent.end(), [](char c) { return c > ' ' && c < 0x7F && c != '?' && c != '#'; });
        EXPECT_TRUE(plainAscii) << sent;
        std::string decoded;
        Poco::URI::decode(sent, decoded);
        EXPECT_EQ(decoded, "/download/" + name) << sent;
    }
    EXPECT_EQ(module.requests().size(), std::size(names));
}

TEST(DownloadTemplate, ModuleOffGivesAnEmptyReplyAndNoAlert) {
    AgentDatabase database;
    auto driver = makeDriver(database, freePort());
    CapturedLog log;
    const auto [code, reply] = driver->download_template("templates_1.evom");
    EXPECT_EQ(code, -6207);
    EXPECT_EQ(reply.status, 0);
    EXPECT_TRUE(reply.reason.empty());
    EXPECT_TRUE(reply.headers.empty());
    EXPECT_TRUE(reply.body.empty());
    EXPECT_EQ(log.countContaining("download_template() exception: "), 1u);
    EXPECT_TRUE(driver->is_connected());
    EXPECT_TRUE(database.alerts().empty());
}

TEST(JobStarts, UploadRefusedAtTheHttpLevel) {
    AgentDatabase database;
    RecordingServer module([](const RecordedRequest&) {
        return CannedReply{413, "", "text/plain", "too large"};
    });
    auto driver = makeDriver(database, module.port());
    CapturedLog log;
    EXPECT_EQ(driver->import_template({{1, 2, 3}}), 413);
    EXPECT_EQ(driver->offline_upgrade({{}}), 413);
    EXPECT_EQ(log.count("error", "import_template() network failed: code = 413;"), 1u);
    EXPECT_EQ(log.count("error", "offline_upgrade() network failed: code = 413;"), 1u);
    EXPECT_EQ(log.count("info", "offline_upgrade() called with file size: 0;"), 1u);
    EXPECT_TRUE(driver->is_connected());
}

}  // namespace
