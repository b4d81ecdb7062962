// Every one-exchange module command against a recording peer on loopback: what
// goes out (method, path, content type, body), what is read back, and what is
// logged.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "captured_log.h"
#include "driver.h"
#include "driver_bench.h"
#include "test_support.h"

namespace {

using velmora::Engine::Driver::OrvixDriver;
using namespace velmora::Utils::Models;
using namespace orvix::test;

const std::string kJson = "application/json";
const std::string kMultipart = "multipart/form-data; boundary=----VelmoraBoundary7d91d0a123456";

std::string multipartBody(const std::string& fileName, const std::string& bytes) {
    return "------VelmoraBoundary7d91d0a123456\r\n"
           "Content-Disposition: form-data; name=\"file\"; filename=\"" +
           fileName +
           "\"\r\n"
           "Content-Type: application/octet-stream\r\n\r\n" +
           bytes + "\r\n------VelmoraBoundary7d91d0a123456--\r\n";
}

size_t errorLines(const CapturedLog& log) {
    size_t count = 0;
    for (const auto& line : log.lines()) {
        count += line.level == "error" ? 1 : 0;
    }
    return count;
}

struct CommandCase {
    std::string label;
    std::string method;
    std::string uri;
    std::string contentType;  // "" when none may be sent
    std::string body;         // exactly what the module must receive
    std::string reply;        // the module's envelope
    std::vector<std::string> logs;
    std::function<void(OrvixDriver&)> callAndCheck;
};

std::vector<CommandCase> commandCases() {
    const std::string binary("PK\x03\x04\x00\xff\r\n--tail", 14);
    return {
        {"get_item_list",
         "GET",
         "/api/get_item_list",
         "",
         "",
         R"({"code":0,"data":[{"id":"4601","count":3},{"id":"77","count":12}]})",
         {"get_item_list() called;"},
         [](OrvixDriver& d) {
             auto [code, items] = d.get_item_list();
             EXPECT_EQ(code, 0);
             ASSERT_EQ(items.size(), 2u);
             EXPECT_EQ(items[0].id, "4601");
             EXPECT_EQ(items[0].count, 3);
             EXPECT_EQ(items[1].id, "77");
             EXPECT_EQ(items[1].count, 12);
         }},
        {"clear_all_template",
         "POST",
         "/api/clear_all_template",
         kJson,
         "null",
         R"({"code":0})",
         {"clear_all_template() called;"},
         [](OrvixDriver& d) { EXPECT_EQ(d.clear_all_template(), 0); }},
        {"manual_sync",
         "POST",
         "/api/manual_sync",
         kJson,
         "null",
         R"({"code":0})",
         {"manual_sync() called;"},
         [](OrvixDriver& d) { EXPECT_EQ(d.manual_sync(), 0); }},
        {"get_sync_limit",
         "POST",
         "/api/get_sync_limit",
         kJson,
         "null",
         R"({"code":0,"data":{"limit":250}})",
         {"get_sync_limit() called;", "get_sync_limit() completed; limit: 250;"},
         [](OrvixDriver& d) { EXPECT_EQ(d.get_sync_limit(), std::make_pair(0, 250)); }},
        {"get_result",
         "GET",
         "/api/get_result",
         "",
         "",
         R"({"code":0,"data":{"items":[{"id":"4601","score":0.875},{"id":"77","score":1}],"sid":"s-19"}})",
         {"get_result() called;"},
         [](OrvixDriver& d) {
             auto [code, result] = d.get_result();
             EXPECT_EQ(code, 0);
             ASSERT_EQ(result.items.size(), 2u);
             EXPECT_EQ(result.items[0].id, "4601");
             EXPECT_DOUBLE_EQ(result.items[0].score, 0.875);
             EXPECT_EQ(result.items[1].id, "77");
             EXPECT_DOUBLE_EQ(result.items[1].score, 1.0);  // an integer is a number too
             EXPECT_EQ(result.sid, "s-19");
         }},
        {"get_device_info",
         "GET",
         "/api/get_device_info",
         "",
         "",
         R"({"code":0,"data":{"app":"2.1.0","engine":"e5","firmware":"fw9","item_count":1520,"learnMode":1,)"
         R"("masterIP":"10.0.0.9","masterSN":"M-1","soldOutLimit":14,"max_result_num":5,"predict_speed":"fast",)"
         R"("sn":"SN123","sync":"on","sync_mode":"slave","upload":true,"download":false,"sync_limit":300,)"
         R"("board":"rk3588","mastersyncPort":"8081"}})",
         {"get_device_info() called;"},
         [](OrvixDriver& d) {
             auto [code, info] = d.get_device_info();
             EXPECT_EQ(code, 0);
             EXPECT_EQ(info.app, "2.1.0");
             EXPECT_EQ(info.engine, "e5");
             EXPECT_EQ(info.firmware, "fw9");
             EXPECT_EQ(info.item_count, 1520);
             EXPECT_EQ(info.learnMode, 1);
             EXPECT_EQ(info.masterIP, "10.0.0.9");
             EXPECT_EQ(info.masterSN, "M-1");
             EXPECT_EQ(info.soldOutLimit, 14);
             EXPECT_EQ(info.max_result_num, 5);
             EXPECT_EQ(info.predict_speed, "fast");
             EXPECT_EQ(info.sn, "SN123");
             EXPECT_EQ(info.sync, "on");
             EXPECT_EQ(info.sync_mode, "slave");
             EXPECT_TRUE(info.upload);
             EXPECT_FALSE(info.download);
             EXPECT_EQ(info.sync_limit, 300);
             EXPECT_EQ(info.board, "rk3588");
             EXPECT_EQ(info.mastersyncPort, "8081");
         }},
        {"get_extra_info",
         "GET",
         "/api/get_extra_info",
         "",
         "",
         R"({"code":0,"data":{"store_name":"Корнер 5","store_dep":"fruit"}})",
         {"get_extra_info() called;"},
         [](OrvixDriver& d) {
             auto [code, info] = d.get_extra_info();
             EXPECT_EQ(code, 0);
             EXPECT_EQ(info.store_name, std::optional<std::string>("Корнер 5"));
             EXPECT_FALSE(info.store_id.has_value());
             EXPECT_EQ(info.store_dep, std::optional<std::string>("fruit"));
         }},
        {"get_calib",
         "GET",
         "/api/get_calib",
         "",
         "",
         R"({"code":0,"data":{"left":10,"top":20,"width":640,"height":-1}})",
         {"get_calib() called;"},
         [](OrvixDriver& d) { EXPECT_EQ(d.get_calib(), std::make_tuple(0, 10, 20, 640, -1)); }},
        {"reset_device",
         "POST",
         "/api/reset_device",
         kJson,
         "null",
         R"({"code":0})",
         {"reset_device() called;"},
         [](OrvixDriver& d) { EXPECT_EQ(d.reset_device(), 0); }},
        {"reboot",
         "POST",
         "/api/reboot",
         kJson,
         "null",
         R"({"code":0})",
         {"reboot() called;"},
         [](OrvixDriver& d) { EXPECT_EQ(d.reboot(), 0); }},
        {"enable_internet_once",
         "POST",
         "/api/enable_internet_once",
         kJson,
         "null",
         R"({"code":0})",
         {"enable_internet_once() called;"},
         [](OrvixDriver& d) { EXPECT_EQ(d.enable_internet_once(), 0); }},
        {"get_learnmode",
         "GET",
         "/api/get_learnmode",
         "",
         "",
         R"({"code":0,"data":{"mode":2}})",
         {"get_learnmode() called;"},
         [](OrvixDriver& d) { EXPECT_EQ(d.get_learnmode(), std::make_pair(0, 2)); }},
        {"get_board_info",
         "GET",
         "/api/get_board_info",
         "",
         "",
         R"({"code":0,"data":{"board":"b1","clientID":"c2","engine":"e3","firmware":"f4","sn":"s5","syncMode":"m6"}})",
         {"get_board_info() called;"},
         [](OrvixDriver& d) {
             auto [code, info] = d.get_board_info();
             EXPECT_EQ(code, 0);
             EXPECT_EQ(info.board, "b1");
             EXPECT_EQ(info.clientID, "c2");
             EXPECT_EQ(info.engine, "e3");
             EXPECT_EQ(info.firmware, "f4");
             EXPECT_EQ(info.sn, "s5");
             EXPECT_EQ(info.syncMode, "m6");
         }},
        {"get_item_template_list",
         "POST",
         "/api/get_item_template_list",
         kJson,
         R"({"id":"4601"})",
         R"({"code":0,"data":["t-1","t-2"],"max":100})",
         {"get_item_template_list() called with id: 4601;",
          "get_item_template_list() completed, max=100, data=[t-1, t-2];"},
         [](OrvixDriver& d) {
             auto [code, ids, max] = d.get_item_template_list({"4601"});
             EXPECT_EQ(code, 0);
             EXPECT_EQ(ids, (std::vector<std::string>{"t-1", "t-2"}));
             EXPECT_EQ(max, 100);
         }},
        {"delete_item_template",
         "POST",
         "/api/delete_item_template",
         kJson,
         R"({"id":"4601","sid":"t-2"})",
         R"({"code":0})",
         {"delete_item_template() called with id: 4601, sid: t-2;"},
         [](OrvixDriver& d) {
             EXPECT_EQ(d.delete_item_template({"4601", "t-2"}), 0);
         }},
        {"set_sync_master",
         "POST",
         "/api/set_sync_master",
         kJson,
         R"({"upload":true,"download":false})",
         R"({"code":0})",
         {"set_sync_master() called with upload: true, download: false;"},
         [](OrvixDriver& d) {
             EXPECT_EQ(d.set_sync_master({true, false}), 0);
         }},
        {"set_sync_slave with port",
         "POST",
         "/api/set_sync_slave",
         kJson,
         R"({"upload":false,"download":true,"masterIP":"10.0.0.9","mastersyncPort":"8081"})",
         R"({"code":0})",
         {"set_sync_slave() called with upload: false, download: true, masterIP: 10.0.0.9; "
          "mastersyncPort:8081"},
         [](OrvixDriver& d) {
             EXPECT_EQ(d.set_sync_slave({false, true, "10.0.0.9", "8081"}), 0);
         }},
        {"set_sync_slave without port",
         "POST",
         "/api/set_sync_slave",
         kJson,
         R"({"upload":true,"download":true,"masterIP":"10.0.0.9"})",
         R"({"code":0})",
         {"set_sync_slave() called with upload: true, download: true, masterIP: 10.0.0.9; "
          "mastersyncPort:null"},
         [](OrvixDriver& d) {
             EXPECT_EQ(d.set_sync_slave({true, true, "10.0.0.9", std::nullopt}), 0);
         }},
        {"get_sync_status",
         "GET",
         "/api/get_sync_status",
         "",
         "",
         R"({"code":0,"data":{"count":42,"message":"idle","synctime":"2026-02-16 13:52:48"}})",
         {"get_sync_status() called;",
          "get_sync_status() completed; count: 42, message: idle, synctime: 2026-02-16 13:52:48;"},
         [](OrvixDriver& d) {
             auto [code, status] = d.get_sync_status();
             EXPECT_EQ(code, 0);
             EXPECT_EQ(status.count, 42);
             EXPECT_EQ(status.message, "idle");
             EXPECT_EQ(status.synctime, "2026-02-16 13:52:48");
         }},
        {"set_sold_out_limit",
         "POST",
         "/api/set_sold_out_limit",
         kJson,
         R"({"day":7})",
         R"({"code":0})",
         {"set_sold_out_limit() called with day: 7;"},
         [](OrvixDriver& d) { EXPECT_EQ(d.set_sold_out_limit({7}), 0); }},
        {"set_time",
         "POST",
         "/api/set_time",
         kJson,
         R"({"sec":1771249968,"usec":125})",
         R"({"code":0})",
         {"set_time() called with sec: 1771249968, usec: 125;"},
         [](OrvixDriver& d) {
             EXPECT_EQ(d.set_time({1771249968, 125}), 0);
         }},
        {"set_extra_info",
         "POST",
         "/api/set_extra_info",
         kJson,
         R"({"store_name":"Корнер 5","store_dep":"fruit"})",
         R"({"code":0})",
         {"set_extra_info() called with store_name: Корнер 5, store_id: null, store_dep: fruit;"},
         [](OrvixDriver& d) {
             EXPECT_EQ(d.set_extra_info({"Корнер 5", std::nullopt, "fruit"}), 0);
         }},
        {"set_extra_info empty",
         "POST",
         "/api/set_extra_info",
         kJson,
         "{}",
         R"({"code":0})",
         {"set_extra_info() called with store_name: null, store_id: null, store_dep: null;"},
         [](OrvixDriver& d) { EXPECT_EQ(d.set_extra_info({}), 0); }},
        {"set_calib",
         "POST",
         "/api/set_calib",
         kJson,
         R"({"left":1,"top":2,"width":300,"height":400})",
         R"({"code":0})",
         {"set_calib() called with left: 1, top: 2, width: 300, height: 400;"},
         [](OrvixDriver& d) {
             EXPECT_EQ(d.set_calib({1, 2, 300, 400}), 0);
         }},
        {"set_sync_normal",
         "POST",
         "/api/set_sync_normal",
         kJson,
         R"({"upload":false,"download":false})",
         R"({"code":0})",
         {"set_sync_normal() called with upload: false, download: false;"},
         [](OrvixDriver& d) {
             EXPECT_EQ(d.set_sync_normal({false, false}), 0);
         }},
        {"result_feedback",
         "POST",
         "/api/result_feedback",
         kJson,
         R"({"sid":"s-19","id":"4601"})",
         R"({"code":0})",
         {"result_feedback() called with sid: s-19,id: 4601;"},
         [](OrvixDriver& d) {
             RecognitionInfo info;
             info.sid = "s-19";
             info.id = "4601";
             info.product_name = "Яблоки";  // stays local
             info.product_weight = 1.25;
             info.top_recognition = std::vector<SingleRecognition>{{"4601", "Яблоки", "fruit", 0.9}};
             EXPECT_EQ(d.result_feedback(info), 0);
         }},
        {"set_sync_limit",
         "POST",
         "/api/set_sync_limit",
         kJson,
         R"({"limit":300})",
         R"({"code":0})",
         {"set_sync_limit() called with limit: 300;"},
         [](OrvixDriver& d) { EXPECT_EQ(d.set_sync_limit({300}), 0); }},
        {"set_max_result",
         "POST",
         "/api/set_max_result",
         kJson,
         R"({"num":5})",
         R"({"code":0})",
         {"set_max_result() called with num: 5;"},
         [](OrvixDriver& d) { EXPECT_EQ(d.set_max_result({5}), 0); }},
        {"set_learnmode",
         "POST",
         "/api/set_learnmode",
         kJson,
         R"({"mode":0})",
         R"({"code":0})",
         {"set_learnmode() called with mode: 0;"},
         [](OrvixDriver& d) { EXPECT_EQ(d.set_learnmode({0}), 0); }},
        {"delete_item",
         "POST",
         "/api/delete_item",
         kJson,
         R"({"id":"77"})",
         R"({"code":0})",
         {"delete_item() called with id: 77;"},
         [](OrvixDriver& d) { EXPECT_EQ(d.delete_item({"77"}), 0); }},
        {"set_predict_speed",
         "POST",
         "/api/set_predict_speed",
         kJson,
         R"({"speed":"slow"})",
         R"({"code":0})",
         {"set_predict_speed() called with speed: slow;"},
         [](OrvixDriver& d) { EXPECT_EQ(d.set_predict_speed({"slow"}), 0); }},
        {"add_item_template",
         "POST",
         "/api/add_item_template",
         kJson,
         R"({"id":"77"})",
         R"({"code":0,"data":{"sid":"t-9","image":"aGVsbG8="}})",
         {"add_item_template() called with id: 77;", "add_item_template() completed; sid=t-9;"},
         [](OrvixDriver& d) {
             auto [code, added] = d.add_item_template({"77"});
             EXPECT_EQ(code, 0);
             EXPECT_EQ(added.sid, "t-9");
             EXPECT_EQ(added.image, "aGVsbG8=");
         }},
        {"export_template",
         "POST",
         "/api/export_template",
         kJson,
         R"({"ids":["4601","77"]})",
         R"({"code":0})",
         {"export_template() called with ids: [4601, 77];"},
         [](OrvixDriver& d) {
             EXPECT_EQ(d.export_template({{"4601", "77"}}), 0);
         }},
        {"export_template without ids",
         "POST",
         "/api/export_template",
         kJson,
         R"({"ids":[]})",
         R"({"code":0})",
         {"export_template() called with no ids;"},
         [](OrvixDriver& d) { EXPECT_EQ(d.export_template({}), 0); }},
        {"export_template_status",
         "GET",
         "/api/export_template_status",
         "",
         "",
         R"({"code":0,"msg":"done","filename":"templates_1.evom","status":3,"data":null})",
         {"export_template_status() called;",
          "export_template_status() completed; msg=done, filename=templates_1.evom, status=3;"},
         [](OrvixDriver& d) {
             auto [code, status] = d.export_template_status();
             EXPECT_EQ(code, 0);
             EXPECT_EQ(status.msg, "done");
             EXPECT_EQ(status.filename, "templates_1.evom");
             EXPECT_EQ(status.status, 3);
         }},
        {"import_template",
         "POST",
         "/api/import_template",
         kMultipart,
         multipartBody("import_template.evo", binary),
         R"({"code":0})",
         {"import_template() called with file size: 14;"},
         [binary](OrvixDriver& d) {
             EXPECT_EQ(d.import_template({std::vector<uint8_t>(binary.begin(), binary.end())}), 0);
         }},
        {"import_template_status",
         "GET",
         "/api/import_template_status",
         "",
         "",
         R"({"code":0,"msg":"importing","status":2})",
         {"import_template_status() called;", "import_template_status() completed; msg=importing, status=2;"},
         [](OrvixDriver& d) {
             auto [code, status] = d.import_template_status();
             EXPECT_EQ(code, 0);
             EXPECT_EQ(status.msg, "importing");
             EXPECT_EQ(status.status, 2);
         }},
        {"offline_upgrade",
         "POST",
         "/api/offline_upgrade",
         kMultipart,
         multipartBody("offline_upgrade.evo", binary),
         R"({"code":0})",
         {"offline_upgrade() called with file size: 14;"},
         [binary](OrvixDriver& d) {
             EXPECT_EQ(d.offline_upgrade({std::vector<uint8_t>(binary.begin(), binary.end())}), 0);
         }},
        {"offline_upgrade_status",
         "GET",
         "/api/offline_upgrade_status",
         "",
         "",
         R"({"code":0,"msg":"transferring","status":1})",
         {"offline_upgrade_status() called;",
          "offline_upgrade_status() completed; msg=transferring, status=1;"},
         [](OrvixDriver& d) {
             auto [code, status] = d.offline_upgrade_status();
             EXPECT_EQ(code, 0);
             EXPECT_EQ(status.msg, "transferring");
             EXPECT_EQ(status.status, 1);
         }},
    };
}

class DriverCommands : public ::testing::Test {
protected:
    AgentDatabase database;
    RecordingServer module;
    std::unique_ptr<OrvixDriver> driver = makeDriver(database, module.port());
};

TEST_F(DriverCommands, EachCommandSendsItsRequestAndReadsItsReply) {
    for (const auto& c : commandCases()) {
        SCOPED_TRACE(c.label);
        module.setResponder([&](const RecordedRequest&) { return CannedReply{200, "", kJson, c.reply}; });
        const size_t before = module.requests().size();
        CapturedLog log;
        c.callAndCheck(*driver);

        const auto requests = module.requests();
        ASSERT_EQ(requests.size(), before + 1);
        const auto& sent = requests.back();
        EXPECT_EQ(sent.method, c.method);
        EXPECT_EQ(sent.uri, c.uri);
        EXPECT_EQ(sent.body, c.body);
        const auto contentType = sent.headers.find("Content-Type");
        if (c.contentType.empty()) {
            EXPECT_EQ(contentType, sent.headers.end());
        } else {
            ASSERT_NE(contentType, sent.headers.end());
            EXPECT_EQ(contentType->second, c.contentType);
        }
        for (const auto& line : c.logs) {
            EXPECT_EQ(log.count("info", line), 1u) << line;
        }
        EXPECT_EQ(errorLines(log), 0u);
        EXPECT_TRUE(driver->is_connected());
    }
    EXPECT_TRUE(database.alerts().empty());
}

// Replies the module may legitimately send that carry less than the full payload.
TEST_F(DriverCommands, AcceptedPartialReplies) {
    struct Case {
        std::string label;
        std::string reply;
        std::string infoLog;  // "" when no particular line is expected
        std::function<void(OrvixDriver&)> callAndCheck;
    };
    const Case cases[] = {
        {"item list null", R"({"code":0,"data":null})", "get_item_list(): data is null, returning empty list",
         [](OrvixDriver& d) {
             auto [code, items] = d.get_item_list();
             EXPECT_EQ(code, 0);
             EXPECT_TRUE(items.empty());
         }},
        {"item list absent", R"({"code":0})", "get_item_list(): data is null, returning empty list",
         [](OrvixDriver& d) { EXPECT_EQ(d.get_item_list().first, 0); }},
        {"item list empty", R"({"code":0,"data":[]})", "",
         [](OrvixDriver& d) {
             auto [code, items] = d.get_item_list();
             EXPECT_EQ(code, 0);
             EXPECT_TRUE(items.empty());
         }},
        {"result without items", R"({"code":0,"data":{"items":[],"sid":"abc"}})", "",
         [](OrvixDriver& d) {
             auto [code, result] = d.get_result();
             EXPECT_EQ(code, 0);
             EXPECT_TRUE(result.items.empty());
             EXPECT_EQ(result.sid, "abc");
         }},
        {"result items null", R"({"code":0,"data":{"items":null,"sid":"abc"}})",
         "get_result(): items is null, returning empty item list",
         [](OrvixDriver& d) {
             auto [code, result] = d.get_result();
             EXPECT_EQ(code, 0);
             EXPECT_EQ(result.sid, "abc");
         }},
        {"device info of older firmware",
         R"({"code":0,"data":{"app":"a","engine":"e","firmware":"f","item_count":0,"learnMode":0,"masterIP":"",)"
         R"("masterSN":"","soldOutLimit":0,"max_result_num":3,"predict_speed":"","sn":"S","sync":"",)"
         R"("sync_mode":"","upload":false,"download":true,"sync_limit":0}})",
         "",
         [](OrvixDriver& d) {
             auto [code, info] = d.get_device_info();
             EXPECT_EQ(code, 0);
             EXPECT_EQ(info.board, "");
             EXPECT_EQ(info.mastersyncPort, "");
             EXPECT_EQ(info.max_result_num, 3);
             EXPECT_TRUE(info.download);
         }},
        {"extra info null", R"({"code":0,"data":null})", "",
         [](OrvixDriver& d) {
             auto [code, info] = d.get_extra_info();
             EXPECT_EQ(code, 0);
             EXPECT_FALSE(info.store_name || info.store_id || info.store_dep);
         }},
        {"extra info not an object", R"({"code":0,"data":"none"})", "",
         [](OrvixDriver& d) {
             auto [code, info] = d.get_extra_info();
             EXPECT_EQ(code, 0);
             EXPECT_FALSE(info.store_name || info.store_id || info.store_dep);
         }},
        {"template list null", R"({"code":0,"data":null,"max":100})",
         "get_item_template_list() completed, max=100, data=[];",
         [](OrvixDriver& d) {
             auto [code, ids, max] = d.get_item_template_list({"1"});
             EXPECT_EQ(code, 0);
             EXPECT_TRUE(ids.empty());
             EXPECT_EQ(max, 100);
         }},
        {"template list absent", R"({"code":0,"max":20})", "",
         [](OrvixDriver& d) {
             EXPECT_EQ(d.get_item_template_list({"1"}), std::make_tuple(0, std::vector<std::string>{}, 20));
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        module.setResponder([&](const RecordedRequest&) { return CannedReply{200, "", kJson, c.reply}; });
        CapturedLog log;
        c.callAndCheck(*driver);
        if (!c.infoLog.empty()) {
            EXPECT_EQ(log.count("info", c.infoLog), 1u);
        }
        EXPECT_TRUE(driver->is_connected());
    }
    EXPECT_TRUE(database.alerts().empty());
}

}  // namespace
