// How the driver judges the module's replies and its absence: result codes, the
// connection flag, lost-connection alerts in a real database, strict reply types,
// and the camera picture.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "captured_log.h"
#include "driver.h"
#include "driver_bench.h"
#include "test_support.h"

namespace {

using velmora::Engine::Driver::OrvixDriver;
using namespace velmora::Utils::Models;
using namespace orvix::test;
using namespace std::chrono_literals;

const std::string kJson = "application/json";
const std::string kLost = "Потеряна связь с устройством при выполнении команды ";

CannedReply json(const std::string& body) {
    return {200, "", kJson, body};
}

TEST(DriverConnection, ModuleOffThenBackThenOffAgain) {
    AgentDatabase database;
    const unsigned short port = freePort();  // nothing listens here yet
    auto driver = makeDriver(database, port);
    CapturedLog log;

    // Off: the first failure stores one alert naming the command.
    EXPECT_EQ(driver->get_calib(), std::make_tuple(-6103, 0, 0, 0, 0));
    EXPECT_EQ(log.countContaining("get_calib() exception: "), 1u);
    EXPECT_EQ(log.count("error", kLost + "get_calib"), 1u);
    EXPECT_FALSE(driver->is_connected());
    auto alerts = database.alerts();
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0].code, 400);
    EXPECT_EQ(alerts[0].description, kLost + "get_calib");

    // Still off: no second alert.
    EXPECT_EQ(driver->reboot(), -6103);
    EXPECT_EQ(database.alerts().size(), 1u);

    {
        // Back: the first reply reconnects silently.
        RecordingServer module([](const RecordedRequest&) { return json(R"({"code":0,"data":{"mode":1}})"); },
                               port);
        EXPECT_EQ(driver->get_learnmode(), std::make_pair(0, 1));
        EXPECT_TRUE(driver->is_connected());
        EXPECT_EQ(database.alerts().size(), 1u);
    }

    // Off again: a new loss, a new alert.
    EXPECT_EQ(driver->manual_sync(), -6103);
    alerts = database.alerts();
    ASSERT_EQ(alerts.size(), 2u);
    EXPECT_EQ(alerts[1].description, kLost + "manual_sync");
}

TEST(DriverConnection, EveryNewDriverStartsConnected) {
    AgentDatabase database;
    const unsigned short port = freePort();
    EXPECT_EQ(makeDriver(database, port)->reboot(), -6103);
    EXPECT_EQ(makeDriver(database, port)->reboot(), -6103);
    EXPECT_EQ(database.alerts().size(), 2u);
}

TEST(DriverConnection, ConcurrentFailuresStoreOneAlert) {
    AgentDatabase database;
    auto driver = makeDriver(database, freePort());
    std::vector<std::thread> threads;
    std::atomic<int> lost{0};
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&] { lost += driver->get_sync_status().first == -6103 ? 1 : 0; });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(lost.load(), 8);
    EXPECT_EQ(database.alerts().size(), 1u);
}

// A module that keeps answering with replies the driver cannot read is one loss;
// a readable reply in between (a refusal, another status) ends it.
TEST(DriverConnection, UnreadableRepliesAreOneLossNotOnePerReply) {
    AgentDatabase database;
    CannedReply reply = json("<html>busy</html>");
    RecordingServer module([&](const RecordedRequest&) { return reply; });
    auto driver = makeDriver(database, module.port());
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(driver->reboot(), -6103);
        EXPECT_EQ(std::get<0>(driver->get_calib()), -6103);  // a data command, read further
    }
    EXPECT_FALSE(driver->is_connected());
    ASSERT_EQ(database.alerts().size(), 1u);
    EXPECT_EQ(database.alerts()[0].description, kLost + "reboot");

    module.setResponder([](const RecordedRequest&) { return json(R"({"code":-6213})"); });
    EXPECT_EQ(driver->reboot(), -6213);
    EXPECT_TRUE(driver->is_connected());
    // A payload of the wrong type after a good envelope is a new loss.
    module.setResponder([](const RecordedRequest&) { return json(R"({"code":0,"data":{"mode":"x"}})"); });
    EXPECT_EQ(driver->get_learnmode().first, -6103);
    EXPECT_EQ(driver->get_learnmode().first, -6103);
    EXPECT_EQ(database.alerts().size(), 2u);
}

TEST(DriverConnection, TheAlertQueueKeepsItsNewestAlertsPastItsCap) {
    AgentDatabase database;
    const unsigned short port = freePort();
    CapturedLog log;
    for (const char* command : {"first", "second", "third", "fourth"}) {
        auto driver = makeDriver(database, port);  // each a new loss
        driver->setAlertQueueCap(2);
        driver->save_connect_state(command, false);
    }
    const auto alerts = database.alerts();
    ASSERT_EQ(alerts.size(), 2u);
    EXPECT_EQ(alerts[0].description, kLost + "third");
    EXPECT_EQ(alerts[1].description, kLost + "fourth");
    EXPECT_EQ(log.count("warning", "Alert queue is over its cap of 2: dropped the 1 oldest alerts;"), 2u);
}

TEST(DriverConnection, TheAlertWaitsForTheConfigurationLock) {
    AgentDatabase database;
    auto driver = makeDriver(database, freePort());
    std::future<int> result;
    {
        std::lock_guard<std::mutex> held(database.lock());
        result = std::async(std::launch::async, [&] { return driver->reboot(); });
        // The exchange fails at once; storing its alert must wait for the lock.
        EXPECT_EQ(result.wait_for(300ms), std::future_status::timeout);
    }
    EXPECT_EQ(result.get(), -6103);
    EXPECT_EQ(database.alerts().size(), 1u);
}

// Replies that the module sends while it is reachable, and what each command
// makes of them.
TEST(DriverReplies, StatusesRefusalsAndMalformedBodies) {
    struct Case {
        std::string label;
        CannedReply reply;
        std::function<int(OrvixDriver&)> call;
        int expectedCode;
        std::string errorLog;  // "" when no error line may appear
        bool alert;
    };
    const auto calib = [](OrvixDriver& d) { return std::get<0>(d.get_calib()); };
    const auto reboot = [](OrvixDriver& d) { return d.reboot(); };
    const Case cases[] = {
        {"HTTP 500",
         {500, "", "text/plain", "boom"},
         calib,
         500,
         "get_calib() network failed: code = 500;",
         false},
        {"HTTP 404 on a code-only command",
         {404, "", "text/html", "<html/>"},
         reboot,
         404,
         "reboot() network failed: code = 404;",
         false},
        {"refusal of a data command", json(R"({"code":-6213,"data":null})"), calib, -6213,
         "get_calib() failed: code = -6213;", false},
        {"refusal of a code-only command", json(R"({"code":-6213})"), reboot, -6213, "", false},
        {"body not JSON",
         {200, "", "text/html", "<html>busy</html>"},
         calib,
         -6103,
         "get_calib() exception: ",
         true},
        {"empty body", {200, "", kJson, ""}, reboot, -6103, "reboot() exception: ", true},
        {"envelope not an object", json("[0]"), reboot, -6103, "reboot() exception: ", true},
        {"code missing", json(R"({"data":{}})"), reboot, -6103, "reboot() exception: ", true},
        {"code a string", json(R"({"code":"0"})"), reboot, -6103, "reboot() exception: ", true},
        {"code a fraction", json(R"({"code":0.5})"), reboot, -6103, "reboot() exception: ", true},
    };
    AgentDatabase database;
    RecordingServer module;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        module.setResponder([&](const RecordedRequest&) { return c.reply; });
        auto driver = makeDriver(database, module.port());  // a fresh flag per case
        const size_t alertsBefore = database.alerts().size();
        CapturedLog log;
        EXPECT_EQ(c.call(*driver), c.expectedCode);
        size_t errors = 0;
        for (const auto& line : log.lines()) {
            if (line.level == "error" && line.text.rfind(kLost, 0) != 0) {
                ++errors;
                EXPECT_EQ(line.text.rfind(c.errorLog, 0), 0u) << line.text;
            }
        }
        EXPECT_EQ(errors, c.errorLog.empty() ? 0u : 1u);
        EXPECT_EQ(driver->is_connected(), !c.alert);
        EXPECT_EQ(database.alerts().size() - alertsBefore, c.alert ? 1u : 0u);
    }
}

// Each reply key must have the JSON type of its field; anything else is a
// failed exchange with the record left in its initial state.
TEST(DriverReplies, StrictTypes) {
    struct Case {
        std::string label;
        std::string reply;
        std::function<void(OrvixDriver&)> callAndCheck;
        std::string command;
    };
    const std::string deviceInfo =
        R"("app":"a","engine":"e","firmware":"f","learnMode":0,"masterIP":"","masterSN":"","soldOutLimit":0,)"
        R"("max_result_num":3,"predict_speed":"","sn":"S","sync":"","sync_mode":"","sync_limit":0)";
    const Case cases[] = {
        {"item_count a string",
         R"({"code":0,"data":{"item_count":"12","upload":true,"download":true,)" + deviceInfo + "}}",
         [](OrvixDriver& d) {
             auto [code, info] = d.get_device_info();
             EXPECT_EQ(code, -6103);
             EXPECT_EQ(info.app, "");  // nothing of the partial read survives
             EXPECT_EQ(info.item_count, 0);
         },
         "get_device_info"},
        {"upload a number",
         R"({"code":0,"data":{"item_count":12,"upload":1,"download":true,)" + deviceInfo + "}}",
         [](OrvixDriver& d) { EXPECT_EQ(d.get_device_info().first, -6103); }, "get_device_info"},
        {"download missing", R"({"code":0,"data":{"item_count":12,"upload":true,)" + deviceInfo + "}}",
         [](OrvixDriver& d) { EXPECT_EQ(d.get_device_info().first, -6103); }, "get_device_info"},
        {"board a number",
         R"({"code":0,"data":{"item_count":12,"upload":true,"download":true,"board":5,)" + deviceInfo + "}}",
         [](OrvixDriver& d) { EXPECT_EQ(d.get_device_info().first, -6103); }, "get_device_info"},
        {"device info data null", R"({"code":0,"data":null})",
         [](OrvixDriver& d) { EXPECT_EQ(d.get_device_info().first, -6103); }, "get_device_info"},
        {"item list data an object", R"({"code":0,"data":{}})",
         [](OrvixDriver& d) {
             auto [code, items] = d.get_item_list();
             EXPECT_EQ(code, -6103);
             EXPECT_TRUE(items.empty());
         },
         "get_item_list"},
        {"item count a fraction", R"({"code":0,"data":[{"id":"1","count":1},{"id":"2","count":1.5}]})",
         [](OrvixDriver& d) {
             auto [code, items] = d.get_item_list();
             EXPECT_EQ(code, -6103);
             EXPECT_TRUE(items.empty());
         },
         "get_item_list"},
        {"item id a number", R"({"code":0,"data":[{"id":1,"count":1}]})",
         [](OrvixDriver& d) { EXPECT_EQ(d.get_item_list().first, -6103); }, "get_item_list"},
        {"result without sid", R"({"code":0,"data":{"items":[]}})",
         [](OrvixDriver& d) { EXPECT_EQ(d.get_result().first, -6103); }, "get_result"},
        {"result items a string", R"({"code":0,"data":{"items":"none","sid":"s"}})",
         [](OrvixDriver& d) { EXPECT_EQ(d.get_result().first, -6103); }, "get_result"},
        {"result score a string", R"({"code":0,"data":{"items":[{"id":"1","score":"0.9"}],"sid":"s"}})",
         [](OrvixDriver& d) { EXPECT_EQ(d.get_result().first, -6103); }, "get_result"},
        {"template ids not strings", R"({"code":0,"data":["a",2],"max":10})",
         [](OrvixDriver& d) {
             EXPECT_EQ(d.get_item_template_list({"1"}),
                       std::make_tuple(-6103, std::vector<std::string>{}, 0));
         },
         "get_item_template_list"},
        {"template data an object", R"({"code":0,"data":{},"max":10})",
         [](OrvixDriver& d) { EXPECT_EQ(std::get<0>(d.get_item_template_list({"1"})), -6103); },
         "get_item_template_list"},
        {"template max missing", R"({"code":0,"data":["a"]})",
         [](OrvixDriver& d) { EXPECT_EQ(std::get<0>(d.get_item_template_list({"1"})), -6103); },
         "get_item_template_list"},
        {"calib width a fraction", R"({"code":0,"data":{"left":1,"top":2,"width":3.5,"height":4}})",
         [](OrvixDriver& d) { EXPECT_EQ(d.get_calib(), std::make_tuple(-6103, 0, 0, 0, 0)); }, "get_calib"},
        {"learn mode a boolean", R"({"code":0,"data":{"mode":true}})",
         [](OrvixDriver& d) { EXPECT_EQ(d.get_learnmode(), std::make_pair(-6103, 0)); }, "get_learnmode"},
        {"sync limit inside data missing", R"({"code":0,"limit":5})",
         [](OrvixDriver& d) { EXPECT_EQ(d.get_sync_limit(), std::make_pair(-6103, 0)); }, "get_sync_limit"},
        {"extra info store id a number", R"({"code":0,"data":{"store_id":5}})",
         [](OrvixDriver& d) { EXPECT_EQ(d.get_extra_info().first, -6103); }, "get_extra_info"},
        {"export status inside data", R"({"code":0,"data":{"msg":"m","filename":"f","status":3}})",
         [](OrvixDriver& d) {
             auto [code, status] = d.export_template_status();
             EXPECT_EQ(code, -6103);
             EXPECT_EQ(status.status, kJobStatusUnset);
         },
         "export_template_status"},
        {"import status a string", R"({"code":0,"msg":"m","status":"4"})",
         [](OrvixDriver& d) { EXPECT_EQ(d.import_template_status().first, -6103); },
         "import_template_status"},
        {"added template without image", R"({"code":0,"data":{"sid":"t"}})",
         [](OrvixDriver& d) {
             auto [code, added] = d.add_item_template({"1"});
             EXPECT_EQ(code, -6103);
             EXPECT_EQ(added.sid, "");
         },
         "add_item_template"},
    };
    AgentDatabase database;
    RecordingServer module;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        module.setResponder([&](const RecordedRequest&) { return json(c.reply); });
        auto driver = makeDriver(database, module.port());  // a fresh flag per case
        const size_t alertsBefore = database.alerts().size();
        CapturedLog log;
        c.callAndCheck(*driver);
        EXPECT_EQ(log.countContaining(c.command + "() exception: "), 1u);
        EXPECT_FALSE(driver->is_connected());
        const auto alerts = database.alerts();
        ASSERT_EQ(alerts.size(), alertsBefore + 1);
        EXPECT_EQ(alerts.back().description, kLost + c.command);
    }
}

TEST(DriverReplies, UnexpectedPayloadTypesAreLogged) {
    AgentDatabase database;
    RecordingServer module;
    auto driver = makeDriver(database, module.port());
    const std::pair<std::string, std::function<void()>> cases[] = {
        {"get_item_list(): unexpected type for field data", [&] { driver->get_item_list(); }},
        {"get_result(): unexpected type for field items", [&] { driver->get_result(); }},
        {"get_item_template_list() unexpected data type;", [&] { driver->get_item_template_list({"1"}); }},
    };
    module.setResponder(
        [](const RecordedRequest&) { return json(R"({"code":0,"data":{"items":7,"sid":"s"},"max":1})"); });
    for (const auto& [message, call] : cases) {
        CapturedLog log;
        call();
        EXPECT_EQ(log.count("error", message), 1u) << message;
    }
}

TEST(DriverImage, PictureEnvelopeAndStatusVariants) {
    std::string picture(123456, '\0');
    for (size_t i = 0; i < picture.size(); ++i) {
        picture[i] = static_cast<char>((i * 7919) & 0xff);
    }
    struct Case {
        std::string label;
        CannedReply reply;
        int code;
        std::string bytes;
        std::string log;
    };
    const Case cases[] = {
        {"picture",
         {200, "", "image/jpeg", picture},
         0,
         picture,
         "get_image() completed: 123456 bytes received;"},
        {"envelope",
         {200, "", kJson, R"({"code":-6210})"},
         -6210,
         "",
         "get_image() failed: error code = -6210;"},
        {"envelope with charset",
         {200, "", "application/json; charset=utf-8", R"({"code":-6103,"data":null})"},
         -6103,
         "",
         "get_image() failed: error code = -6103;"},
        {"error page",
         {404, "", "text/html", "<html>not found</html>"},
         0,
         "<html>not found</html>",
         "get_image() completed: 22 bytes received;"},
        {"no content type", {200, "", "", "raw"}, 0, "raw", "get_image() completed: 3 bytes received;"},
    };
    AgentDatabase database;
    RecordingServer module;
    auto driver = makeDriver(database, module.port());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        module.setResponder([&](const RecordedRequest&) { return c.reply; });
        CapturedLog log;
        auto [code, bytes] = driver->get_image();
        EXPECT_EQ(code, c.code);
        EXPECT_EQ(std::string(bytes.begin(), bytes.end()), c.bytes);
        EXPECT_EQ(log.count(c.log), 1u);
        EXPECT_EQ(log.count("info", "get_image() called;"), 1u);
        const auto sent = module.requests().back();
        EXPECT_EQ(sent.method, "POST");
        EXPECT_EQ(sent.uri, "/api/get_image");
        EXPECT_EQ(sent.body, "null");
        EXPECT_EQ(sent.headers.at("Content-Type"), kJson);
    }
    EXPECT_TRUE(driver->is_connected());
    EXPECT_TRUE(database.alerts().empty());
}

TEST(DriverImage, FailuresNeverTouchTheConnectionFlag) {
    AgentDatabase database;
    {
        // An envelope that is not JSON.
        RecordingServer module([](const RecordedRequest&) { return json("not json"); });
        auto driver = makeDriver(database, module.port());
        CapturedLog log;
        EXPECT_EQ(driver->get_image(), std::make_pair(-6103, std::vector<uint8_t>{}));
        EXPECT_EQ(log.countContaining("get_image() exception: "), 1u);
        EXPECT_TRUE(driver->is_connected());
    }
    {
        // No module at all; and after a lost command, a picture does not reconnect.
        auto driver = makeDriver(database, freePort());
        EXPECT_EQ(driver->get_image().first, -6103);
        EXPECT_TRUE(driver->is_connected());
        EXPECT_EQ(driver->reboot(), -6103);
        EXPECT_FALSE(driver->is_connected());
    }
    EXPECT_EQ(database.alerts().size(), 1u);  // from reboot alone
}

}  // namespace
