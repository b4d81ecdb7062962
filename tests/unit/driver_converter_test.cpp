// The command converters with a real driver against an in-process module peer on
// loopback: what the local client sends, what the module receives, what the client
// gets back, and what lands in a real SQLite file.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include <Poco/Data/Session.h>
#include <Poco/Dynamic/Var.h>
#include <Poco/Exception.h>
#include <Poco/JSON/Parser.h>
#include <Poco/JSON/Stringifier.h>
#include <Poco/Net/MediaType.h>
#include <Poco/Net/MessageHeader.h>
#include <Poco/Net/MultipartReader.h>
#include <Poco/StreamCopier.h>

#include "captured_log.h"
#include "db.h"
#include "driver.h"
#include "driver_bench.h"
#include "driver_converter.h"
#include "json_text.h"
#include "queries.h"
#include "request_members.h"
#include "test_support.h"

namespace {

namespace U = velmora::Utils;
using orvix::test::CannedReply;
using orvix::test::CapturedLog;
using orvix::test::RecordedRequest;
using orvix::test::RecordingServer;
using Poco::JSON::Object;
using velmora::Engine::DB::SQLiteDB;
using velmora::Engine::Driver::OrvixDriver;
using DriverPtr = std::shared_ptr<OrvixDriver>;
using orvix::test::compact;
using orvix::test::parseObject;
using namespace Poco::Data::Keywords;

std::string normalized(const std::string& json) {
    Poco::JSON::Parser parser;
    return compact(parser.parse(json));
}

CannedReply json(const std::string& body, int status = 200) {
    return CannedReply{status, "", "application/json", body};
}

// A module peer that answers by path ("/api/<command>"); other paths get 404.
class ModulePeer {
public:
    ModulePeer()
        : server_([this](const RecordedRequest& request) {
              std::lock_guard<std::mutex> lock(mutex_);
              std::string path = request.uri.substr(0, request.uri.find('?'));
              auto found = replies_.find(path);
              if (found == replies_.end()) {
                  return CannedReply{404, "", "text/plain", "no such command"};
              }
              return found->second;
          }) {}

    void reply(const std::string& path, const CannedReply& reply) {
        std::lock_guard<std::mutex> lock(mutex_);
        replies_[path] = reply;
    }
    unsigned short port() const { return server_.port(); }
    std::vector<RecordedRequest> requests() const { return server_.requests(); }

private:
    std::mutex mutex_;
    std::map<std::string, CannedReply> replies_;
    RecordingServer server_;
};

class ConverterTest : public ::testing::Test {
protected:
    ConverterTest() : driver_(orvix::test::makeDriver(database_, module_.port())) {}

    // A driver whose module does not listen: every exchange fails.
    DriverPtr unreachableDriver() { return orvix::test::makeDriver(database_, orvix::test::freePort()); }

    int countRows(const std::string& table) {
        std::lock_guard<std::mutex> lock(lock_);
        Poco::Data::Session session = db_.GetSession();
        int count = 0;
        session << "SELECT COUNT(*) FROM " + table, into(count), now;
        return count;
    }

    orvix::test::AgentDatabase database_;
    SQLiteDB& db_ = database_.db();
    std::mutex& lock_ = database_.lock();
    ModulePeer module_;
    DriverPtr driver_;
};

// ---- envelopes and helpers ----

TEST(ConverterHelpers, EmptyResponseIsCodeAndNull) {
    EXPECT_EQ(compact(U::get_empty_response(0)), R"({"code":0,"data":null})");
    EXPECT_EQ(compact(U::get_empty_response(-6210)), R"({"code":-6210,"data":null})");
    EXPECT_TRUE(U::get_empty_response(5)->isNull("data"));
}

TEST(ConverterHelpers, JsonArrayToVectorConvertsEveryElementToText) {
    struct Case {
        std::string body;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {R"({})", {}},
        {R"({"other":[1]})", {}},
        {R"({"ids":[]})", {}},
        {R"({"ids":[1,"a",2.5,true]})", {"1", "a", "2.5", "true"}},
        {R"({"ids":["x","y","z"]})", {"x", "y", "z"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(U::jsonArrayToVector(parseObject(c.body), "ids"), c.expected) << c.body;
    }
}

TEST(ConverterHelpers, JsonArrayToVectorRefusesWhatIsNoArray) {
    for (const std::string body :
         {R"({"ids":"1,2"})", R"({"ids":{"a":1}})", R"({"ids":null})", R"({"ids":7})"}) {
        EXPECT_THROW(U::jsonArrayToVector(parseObject(body), "ids"), Poco::Exception) << body;
    }
}

TEST(ConverterHelpers, VectorToJsonArrayKeepsOrder) {
    EXPECT_EQ(compact(U::vectorToJsonArray({})), "[]");
    EXPECT_EQ(compact(U::vectorToJsonArray({"b", "a", "12"})), R"(["b","a","12"])");
}

// ---- commands that return only a code ----

TEST_F(ConverterTest, CodeOnlyCommandsPassTheCodeThrough) {
    struct Command {
        std::string path;
        std::function<Object::Ptr(DriverPtr)> convert;
    };
    const Command commands[] = {
        {"/api/clear_all_template", U::process_clear_all_template},
        {"/api/manual_sync", U::process_manual_sync},
        {"/api/reset_device", U::process_reset_device},
        {"/api/reboot", U::process_reboot},
        {"/api/enable_internet_once", U::process_enable_internet_once},
    };
    struct Outcome {
        CannedReply reply;
        std::string answer;
    };
    const Outcome outcomes[] = {
        {json(R"({"code":0})"), R"({"code":0,"data":null})"},
        {json(R"({"code":-6134})"), R"({"code":-6134,"data":null})"},
        {json("busy", 503), R"({"code":503,"data":null})"},
        {json("not json"), R"({"code":-6103,"data":null})"},
    };
    for (const auto& command : commands) {
        for (const auto& outcome : outcomes) {
            module_.reply(command.path, outcome.reply);
            const size_t before = module_.requests().size();
            EXPECT_EQ(compact(command.convert(driver_)), outcome.answer)
                << command.path << " " << outcome.reply.body;
            auto requests = module_.requests();
            ASSERT_EQ(requests.size(), before + 1);
            EXPECT_EQ(requests.back().method, "POST");
            EXPECT_EQ(requests.back().uri, command.path);
            EXPECT_EQ(requests.back().body, "null");
        }
    }
}

// ---- commands that return data ----

struct DataCase {
    std::string name;
    std::string path;
    std::function<Object::Ptr(DriverPtr)> convert;
    std::string moduleReply;
    std::string answer;
};

TEST_F(ConverterTest, DataCommandsBuildTheirPayloads) {
    const std::string deviceData =
        R"("app":"1.2","engine":"e3","firmware":"f4","item_count":12,"learnMode":1,"masterIP":"10.0.0.2",)"
        R"("masterSN":"M1","soldOutLimit":3,"max_result_num":5,"predict_speed":"fast","sn":"SN9",)"
        R"("sync":"on","sync_mode":"master","sync_limit":40,"upload":true,"download":false)";
    const DataCase cases[] = {
        {"sync limit", "/api/get_sync_limit", U::process_get_sync_limit, R"({"code":0,"data":{"limit":7}})",
         R"({"code":0,"data":{"limit":7}})"},
        {"calibration", "/api/get_calib", U::process_get_calib,
         R"({"code":0,"data":{"left":1,"top":2,"width":300,"height":400}})",
         R"({"code":0,"data":{"height":400,"left":1,"top":2,"width":300}})"},
        {"learn mode", "/api/get_learnmode", U::process_get_learnmode, R"({"code":0,"data":{"mode":2}})",
         R"({"code":0,"data":{"mode":2}})"},
        {"sync status", "/api/get_sync_status", U::process_get_sync_status,
         R"({"code":0,"data":{"count":4,"message":"ok","synctime":"2026-01-01 10:00:00"}})",
         R"({"code":0,"data":{"count":4,"message":"ok","synctime":"2026-01-01 10:00:00"}})"},
        {"extra info, all", "/api/get_extra_info", U::process_get_extra_info,
         R"({"code":0,"data":{"store_name":"Shop","store_id":"17","store_dep":"Fruit"}})",
         R"({"code":0,"data":{"store_dep":"Fruit","store_id":"17","store_name":"Shop"}})"},
        {"extra info, only the store id", "/api/get_extra_info", U::process_get_extra_info,
         R"({"code":0,"data":{"store_id":"17"}})", R"({"code":0,"data":{"store_id":"17"}})"},
        {"extra info, none", "/api/get_extra_info", U::process_get_extra_info, R"({"code":0,"data":null})",
         R"({"code":0,"data":{}})"},
        {"device info with board and port", "/api/get_device_info", U::process_get_device_info,
         R"({"code":0,"data":{)" + deviceData + R"(,"board":"rk","mastersyncPort":"9000"}})",
         R"({"code":0,"data":{"app":"1.2","board":"rk","download":false,"engine":"e3","firmware":"f4",)"
         R"("item_count":12,"learnMode":1,"masterIP":"10.0.0.2","masterSN":"M1","max_result_num":5,)"
         R"("mastersyncPort":"9000","predict_speed":"fast","sn":"SN9","soldOutLimit":3,"sync":"on",)"
         R"("sync_limit":40,"sync_mode":"master","upload":true}})"},
        {"device info without board and port", "/api/get_device_info", U::process_get_device_info,
         R"({"code":0,"data":{)" + deviceData + "}}",
         R"({"code":0,"data":{"app":"1.2","board":"","download":false,"engine":"e3","firmware":"f4",)"
         R"("item_count":12,"learnMode":1,"masterIP":"10.0.0.2","masterSN":"M1","max_result_num":5,)"
         R"("mastersyncPort":"","predict_speed":"fast","sn":"SN9","soldOutLimit":3,"sync":"on",)"
         R"("sync_limit":40,"sync_mode":"master","upload":true}})"},
        {"board info", "/api/get_board_info", U::process_get_board_info,
         R"({"code":0,"data":{"board":"b","clientID":"c","engine":"e","firmware":"f","sn":"s","syncMode":"m"}})",
         R"({"code":0,"data":{"board":"b","clientID":"c","engine":"e","firmware":"f","sn":"s","syncMode":"m"}})"},
        {"item list in module order", "/api/get_item_list", U::process_get_item_list,
         R"({"code":0,"data":[{"id":"30","count":2},{"id":"4","count":9},{"id":"100","count":1}]})",
         R"({"code":0,"data":[{"count":2,"id":"30"},{"count":9,"id":"4"},{"count":1,"id":"100"}]})"},
        {"item list empty", "/api/get_item_list", U::process_get_item_list, R"({"code":0,"data":null})",
         R"({"code":0,"data":[]})"},
        {"export status is flat", "/api/export_template_status", U::process_export_template_status,
         R"({"code":0,"msg":"done","filename":"templates_1.evom","status":3})",
         R"({"code":0,"filename":"templates_1.evom","msg":"done","status":3})"},
        {"import status is flat", "/api/import_template_status", U::process_import_template_status,
         R"({"code":0,"msg":"importing","status":2})", R"({"code":0,"msg":"importing","status":2})"},
        {"upgrade status is flat", "/api/offline_upgrade_status", U::process_offline_upgrade_status,
         R"({"code":0,"msg":"fail to transfer","status":6})",
         R"({"code":0,"msg":"fail to transfer","status":6})"},
    };
    for (const auto& c : cases) {
        module_.reply(c.path, json(c.moduleReply));
        EXPECT_EQ(compact(c.convert(driver_)), normalized(c.answer)) << c.name;
        EXPECT_EQ(module_.requests().back().uri, c.path) << c.name;
    }
}

TEST_F(ConverterTest, DataCommandsAnswerOnlyTheCodeOnFailure) {
    const DataCase cases[] = {
        {"refused sync limit", "/api/get_sync_limit", U::process_get_sync_limit, R"({"code":-6213})", ""},
        {"calibration HTTP 500", "/api/get_calib", U::process_get_calib, "", ""},
        {"learn mode without data", "/api/get_learnmode", U::process_get_learnmode, R"({"code":0})", ""},
        {"sync status refused", "/api/get_sync_status", U::process_get_sync_status, R"({"code":-6214})", ""},
        {"extra info refused", "/api/get_extra_info", U::process_get_extra_info, R"({"code":-6128})", ""},
        // One key of the wrong type must not give a half-filled record.
        {"device info with a string count", "/api/get_device_info", U::process_get_device_info,
         R"({"code":0,"data":{"app":"1","engine":"e","firmware":"f","item_count":"12","learnMode":1,)"
         R"("masterIP":"","masterSN":"","soldOutLimit":3,"max_result_num":5,"predict_speed":"",)"
         R"("sn":"S","sync":"","sync_mode":"","sync_limit":1,"upload":true,"download":false}})",
         ""},
        {"device info without sn", "/api/get_device_info", U::process_get_device_info,
         R"({"code":0,"data":{"app":"1","engine":"e","firmware":"f","item_count":12,"learnMode":1,)"
         R"("masterIP":"","masterSN":"","soldOutLimit":3,"max_result_num":5,"predict_speed":"",)"
         R"("sync":"","sync_mode":"","sync_limit":1,"upload":true,"download":false}})",
         ""},
        {"device info refused", "/api/get_device_info", U::process_get_device_info, R"({"code":-6210})", ""},
        {"board info refused", "/api/get_board_info", U::process_get_board_info, R"({"code":-6117})", ""},
        {"item list of wrong type", "/api/get_item_list", U::process_get_item_list, R"({"code":0,"data":{}})",
         ""},
        {"export status refused", "/api/export_template_status", U::process_export_template_status,
         R"({"code":-6202})", ""},
        {"import status HTTP 500", "/api/import_template_status", U::process_import_template_status, "", ""},
        {"upgrade status refused", "/api/offline_upgrade_status", U::process_offline_upgrade_status,
         R"({"code":-6137})", ""},
    };
    for (const auto& c : cases) {
        // An empty module reply here stands for an HTTP 500 answer.
        const bool httpError = c.moduleReply.empty();
        module_.reply(c.path, httpError ? json("oops", 500) : json(c.moduleReply));
        int expected = -6103;
        if (httpError) {
            expected = 500;
        } else if (parseObject(c.moduleReply)->getValue<int>("code") != 0) {
            expected = parseObject(c.moduleReply)->getValue<int>("code");
        }
        EXPECT_EQ(compact(c.convert(driver_)), compact(U::get_empty_response(expected))) << c.name;
    }
}

TEST_F(ConverterTest, UnreachableModuleAnswersCameraLost) {
    DriverPtr lost = unreachableDriver();
    EXPECT_EQ(compact(U::process_get_device_info(lost)), R"({"code":-6103,"data":null})");
    EXPECT_EQ(compact(U::process_reboot(lost)), R"({"code":-6103,"data":null})");
    EXPECT_EQ(compact(U::process_import_template_status(lost)), R"({"code":-6103,"data":null})");
    auto image = U::process_get_image(lost);
    EXPECT_EQ(image.first, -6103);
    EXPECT_TRUE(image.second.empty());
}

TEST_F(ConverterTest, ImageBytesComeBackUnchanged) {
    std::string picture("\xFF\xD8\xFF\xE0", 4);
    picture += std::string("\0\0\x01jpeg body\0", 13);
    module_.reply("/api/get_image", CannedReply{200, "", "image/jpeg", picture});
    auto [code, bytes] = U::process_get_image(driver_);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(bytes, picture);

    module_.reply("/api/get_image", json(R"({"code":-6210})"));
    auto refused = U::process_get_image(driver_);
    EXPECT_EQ(refused.first, -6210);
    EXPECT_TRUE(refused.second.empty());
}

// ---- commands with a request body ----

using BodyConverter = std::function<Object::Ptr(Object::Ptr, DriverPtr, std::function<void()>)>;

// The converters without an attribute report, in the same shape as the others.
BodyConverter withoutAction(Object::Ptr (*convert)(Object::Ptr, DriverPtr)) {
    return [convert](Object::Ptr body, DriverPtr driver, std::function<void()>) {
        return convert(body, driver);
    };
}

struct BodyCase {
    std::string name;
    BodyConverter convert;
    bool reportsAttributes;
    std::string path;
    std::string input;
    std::string sent;  // what the module receives, keys sorted
};

std::vector<BodyCase> bodyCases() {
    return {
        {"sync limit", U::process_set_sync_limit, true, "/api/set_sync_limit", R"({"limit":3})",
         R"({"limit":3})"},
        {"sync limit as text", U::process_set_sync_limit, true, "/api/set_sync_limit", R"({"limit":"3"})",
         R"({"limit":3})"},
        {"sold out limit", U::process_set_sold_out_limit, true, "/api/set_sold_out_limit", R"({"day":"14"})",
         R"({"day":14})"},
        {"max result", U::process_set_max_result, true, "/api/set_max_result", R"({"num":5,"extra":1})",
         R"({"num":5})"},
        {"learn mode", U::process_set_learnmode, true, "/api/set_learnmode", R"({"mode":1})",
         R"({"mode":1})"},
        {"predict speed as number", U::process_set_predict_speed, true, "/api/set_predict_speed",
         R"({"speed":2})", R"({"speed":"2"})"},
        {"sync normal", U::process_set_sync_normal, true, "/api/set_sync_normal",
         R"({"upload":true,"download":false})", R"({"download":false,"upload":true})"},
        {"sync master, text booleans", U::process_set_sync_master, true, "/api/set_sync_master",
         R"({"upload":"false","download":"true"})", R"({"download":true,"upload":false})"},
        {"sync slave without port", U::process_set_sync_slave, true, "/api/set_sync_slave",
         R"({"upload":false,"download":true,"masterIP":"10.0.0.7"})",
         R"({"download":true,"masterIP":"10.0.0.7","upload":false})"},
        {"sync slave with numeric port", U::process_set_sync_slave, true, "/api/set_sync_slave",
         R"({"upload":true,"download":true,"masterIP":"10.0.0.7","mastersyncPort":9000})",
         R"({"download":true,"masterIP":"10.0.0.7","mastersyncPort":"9000","upload":true})"},
        {"extra info, store id only", U::process_set_extra_info, true, "/api/set_extra_info",
         R"({"store_id":17})", R"({"store_id":"17"})"},
        {"extra info, all three", U::process_set_extra_info, true, "/api/set_extra_info",
         R"({"store_name":"Shop","store_id":"17","store_dep":"Fruit"})",
         R"({"store_dep":"Fruit","store_id":"17","store_name":"Shop"})"},
        {"extra info, nothing", U::process_set_extra_info, true, "/api/set_extra_info", R"({})", R"({})"},
        {"time", withoutAction(U::process_set_time), false, "/api/set_time",
         R"({"sec":1700000000,"usec":"250"})", R"({"sec":1700000000,"usec":250})"},
        {"calibration", withoutAction(U::process_set_calib), false, "/api/set_calib",
         R"({"left":1,"top":"2","width":300,"height":400})",
         R"({"height":400,"left":1,"top":2,"width":300})"},
        {"delete item, numeric id", withoutAction(U::process_delete_item), false, "/api/delete_item",
         R"({"id":12})", R"({"id":"12"})"},
        {"delete item template", withoutAction(U::process_delete_item_template), false,
         "/api/delete_item_template", R"({"id":"12","sid":"s-1"})", R"({"id":"12","sid":"s-1"})"},
        {"export without ids", withoutAction(U::process_export_template), false, "/api/export_template",
         R"({})", R"({"ids":[]})"},
        {"export with mixed ids", withoutAction(U::process_export_template), false, "/api/export_template",
         R"({"ids":[1,"a"]})", R"({"ids":["1","a"]})"},
    };
}

TEST_F(ConverterTest, SettingsSendTheirKeysAndReportAttributesOnlyWhenAccepted) {
    struct Outcome {
        CannedReply reply;
        int code;
    };
    const Outcome outcomes[] = {
        {json(R"({"code":0})"), 0},
        {json(R"({"code":-6213})"), -6213},
        {json("gone", 404), 404},
    };
    for (const auto& c : bodyCases()) {
        for (const auto& outcome : outcomes) {
            module_.reply(c.path, outcome.reply);
            int actions = 0;
            int requestsAtAction = -1;
            auto action = [&] {
                ++actions;
                requestsAtAction = static_cast<int>(module_.requests().size());
            };
            const size_t before = module_.requests().size();
            Object::Ptr answer = c.convert(parseObject(c.input), driver_, action);
            const std::string label = c.name + " / " + std::to_string(outcome.code);
            EXPECT_EQ(compact(answer), compact(U::get_empty_response(outcome.code))) << label;

            auto requests = module_.requests();
            ASSERT_EQ(requests.size(), before + 1) << label;
            EXPECT_EQ(requests.back().method, "POST") << label;
            EXPECT_EQ(requests.back().uri, c.path) << label;
            EXPECT_EQ(normalized(requests.back().body), c.sent) << label;

            const int expectedActions = (c.reportsAttributes && outcome.code == 0) ? 1 : 0;
            EXPECT_EQ(actions, expectedActions) << label;
            if (expectedActions == 1) {
                // After the module accepted the change, not before.
                EXPECT_EQ(requestsAtAction, static_cast<int>(before + 1)) << label;
            }
        }
    }
}

TEST_F(ConverterTest, SettingsWithAnUnreachableModuleReportNothing) {
    DriverPtr lost = unreachableDriver();
    for (const auto& c : bodyCases()) {
        int actions = 0;
        Object::Ptr answer = c.convert(parseObject(c.input), lost, [&] { ++actions; });
        EXPECT_EQ(compact(answer), R"({"code":-6103,"data":null})") << c.name;
        EXPECT_EQ(actions, 0) << c.name;
    }
}

TEST_F(ConverterTest, MalformedInputRaisesBeforeTheModuleIsAsked) {
    struct Case {
        std::string name;
        BodyConverter convert;
        std::string input;
    };
    const Case cases[] = {
        {"limit missing", U::process_set_sync_limit, R"({})"},
        {"limit null", U::process_set_sync_limit, R"({"limit":null})"},
        {"limit not a number", U::process_set_sync_limit, R"({"limit":"three"})"},
        {"limit out of range", U::process_set_sync_limit, R"({"limit":99999999999})"},
        {"day missing", U::process_set_sold_out_limit, R"({"days":3})"},
        {"num missing", U::process_set_max_result, R"({})"},
        {"mode null", U::process_set_learnmode, R"({"mode":null})"},
        {"speed missing", U::process_set_predict_speed, R"({})"},
        {"download missing", U::process_set_sync_normal, R"({"upload":true})"},
        {"upload missing", U::process_set_sync_master, R"({"download":true})"},
        {"master address missing", U::process_set_sync_slave, R"({"upload":true,"download":true})"},
        {"master port null", U::process_set_sync_slave,
         R"({"upload":true,"download":true,"masterIP":"1.2.3.4","mastersyncPort":null})"},
        {"store name null", U::process_set_extra_info, R"({"store_name":null})"},
        {"usec missing", withoutAction(U::process_set_time), R"({"sec":1})"},
        {"height missing", withoutAction(U::process_set_calib), R"({"left":1,"top":2,"width":3})"},
        {"item id missing", withoutAction(U::process_delete_item), R"({})"},
        {"template sid missing", withoutAction(U::process_delete_item_template), R"({"id":"1"})"},
        {"ids not an array", withoutAction(U::process_export_template), R"({"ids":"1,2"})"},
        {"template list id missing", withoutAction(U::process_get_item_template_list), R"({})"},
        {"new template id missing", withoutAction(U::process_add_item_template), R"({"sid":"x"})"},
    };
    for (const auto& c : cases) {
        int actions = 0;
        EXPECT_THROW(c.convert(parseObject(c.input), driver_, [&] { ++actions; }), Poco::Exception) << c.name;
        EXPECT_EQ(actions, 0) << c.name;
    }
    EXPECT_TRUE(module_.requests().empty());
}

// The caller learns which member is wrong; the error is still one of the library's
// kind, as its own conversion errors were.
TEST_F(ConverterTest, MissingKeyIsRefusedNamingTheKey) {
    try {
        U::process_set_sync_limit(parseObject("{}"), driver_, [] {});
        ADD_FAILURE() << "no error";
    } catch (const U::BadRequestError& e) {
        EXPECT_EQ(e.member(), "limit");
        EXPECT_EQ(e.problem(), "missing");
        EXPECT_EQ(e.message(), "limit: missing");
        EXPECT_NE(dynamic_cast<const Poco::Exception*>(&e), nullptr);
    }
}

TEST_F(ConverterTest, TemplateListPutsMaxBesideCode) {
    struct Case {
        std::string input;
        std::string sent;
        std::string moduleReply;
        std::string answer;
    };
    const Case cases[] = {
        {R"({"id":"4006"})", R"({"id":"4006"})", R"({"code":0,"data":["t2","t1"],"max":100})",
         R"({"code":0,"data":["t2","t1"],"max":100})"},
        {R"({"id":4006})", R"({"id":"4006"})", R"({"code":0,"data":null,"max":50})",
         R"({"code":0,"data":[],"max":50})"},
        {R"({"id":"4006"})", R"({"id":"4006"})", R"({"code":-6213,"max":50})",
         R"({"code":-6213,"data":null})"},
        {R"({"id":"4006"})", R"({"id":"4006"})", R"({"code":0,"data":[1,2],"max":50})",
         R"({"code":-6103,"data":null})"},
    };
    for (const auto& c : cases) {
        module_.reply("/api/get_item_template_list", json(c.moduleReply));
        EXPECT_EQ(compact(U::process_get_item_template_list(parseObject(c.input), driver_)), c.answer)
            << c.moduleReply;
        EXPECT_EQ(normalized(module_.requests().back().body), c.sent);
    }
}

TEST_F(ConverterTest, AddTemplateAnswersSidAndImage) {
    module_.reply("/api/add_item_template", json(R"({"code":0,"data":{"sid":"s-7","image":"aGVsbG8="}})"));
    EXPECT_EQ(compact(U::process_add_item_template(parseObject(R"({"id":"55"})"), driver_)),
              R"({"code":0,"data":{"image":"aGVsbG8=","sid":"s-7"}})");
    EXPECT_EQ(normalized(module_.requests().back().body), R"({"id":"55"})");

    module_.reply("/api/add_item_template", json(R"({"code":-6202})"));
    EXPECT_EQ(compact(U::process_add_item_template(parseObject(R"({"id":"55"})"), driver_)),
              R"({"code":-6202,"data":null})");
}

// ---- recognition result and its stored prediction ----

struct StoredPrediction {
    std::string sid;
    int responseTimeMs;
    std::vector<std::string> tops;
};

class GetResultTest : public ConverterTest {
protected:
    std::vector<StoredPrediction> predictions() {
        std::lock_guard<std::mutex> lock(lock_);
        Poco::Data::Session session = db_.GetSession();
        std::vector<std::string> sids;
        session << "SELECT sid FROM predictions ORDER BY id", into(sids), now;
        std::vector<StoredPrediction> result;
        for (const auto& sid : sids) {
            auto [time, tops] = velmora::Utils::Queries::getPrediction(session, sid);
            result.push_back({sid, time, tops});
        }
        return result;
    }
};

TEST_F(GetResultTest, EachSuccessStoresOnePredictionInModuleOrder) {
    module_.reply("/api/get_result",
                  json(R"({"code":0,"data":{"items":[{"id":"300","score":0.91},{"id":"12","score":0.5},)"
                       R"({"id":"7","score":0.25}],"sid":"sid-1"}})"));
    EXPECT_EQ(compact(U::process_get_result(driver_, lock_, db_)),
              R"({"code":0,"data":{"items":[{"id":"300","score":0.91},{"id":"12","score":0.5},)"
              R"({"id":"7","score":0.25}],"sid":"sid-1"}})");
    EXPECT_EQ(module_.requests().back().method, "GET");

    module_.reply("/api/get_result", json(R"({"code":0,"data":{"items":null,"sid":"sid-2"}})"));
    EXPECT_EQ(compact(U::process_get_result(driver_, lock_, db_)),
              R"({"code":0,"data":{"items":[],"sid":"sid-2"}})");

    auto stored = predictions();
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(stored[0].sid, "sid-1");
    EXPECT_EQ(stored[0].tops, (std::vector<std::string>{"300", "12", "7"}));
    EXPECT_EQ(stored[1].sid, "sid-2");
    EXPECT_TRUE(stored[1].tops.empty());
}

TEST_F(GetResultTest, ResponseTimeCoversTheModulesAnswer) {
    std::atomic<bool> answered{false};
    // A module that takes its time to answer.
    RecordingServer slow([&](const RecordedRequest&) {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        answered = true;
        return json(R"({"code":0,"data":{"items":[{"id":"1","score":1}],"sid":"slow"}})");
    });
    DriverPtr driver = orvix::test::makeDriver(database_, slow.port());
    const auto start = std::chrono::steady_clock::now();
    U::process_get_result(driver, lock_, db_);
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
            .count();
    ASSERT_TRUE(answered);
    auto stored = predictions();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_GE(stored[0].responseTimeMs, 140);
    EXPECT_LE(stored[0].responseTimeMs, elapsed + 5);
}

TEST_F(GetResultTest, FailuresStoreNothing) {
    const CannedReply replies[] = {
        json(R"({"code":-6209})"), json("", 500),
        json(R"({"code":0,"data":{"items":[]}})"),  // no sid
    };
    const int codes[] = {-6209, 500, -6103};
    for (size_t i = 0; i < std::size(replies); ++i) {
        module_.reply("/api/get_result", replies[i]);
        EXPECT_EQ(compact(U::process_get_result(driver_, lock_, db_)),
                  compact(U::get_empty_response(codes[i])));
    }
    EXPECT_EQ(compact(U::process_get_result(unreachableDriver(), lock_, db_)),
              R"({"code":-6103,"data":null})");
    EXPECT_EQ(countRows("predictions"), 0);
}

TEST_F(GetResultTest, OldPredictionsGoWhenANewOneIsStored) {
    {
        std::lock_guard<std::mutex> lock(lock_);
        Poco::Data::Session session = db_.GetSession();
        session << "INSERT INTO predictions (created_at, updated_at, sid, response_time_ms, top1, top2, "
                   "top3, top4, "
                   "top5) VALUES (datetime('now', '-11 minutes'), datetime('now', '-11 minutes'), 'old', 5, "
                   "'1', '', '', '', ''), (datetime('now', '-9 minutes'), datetime('now', '-9 minutes'), "
                   "'recent', "
                   "5, '2', '', '', '', '')",
            now;
    }
    module_.reply("/api/get_result",
                  json(R"({"code":0,"data":{"items":[{"id":"9","score":0.7}],"sid":"new"}})"));
    U::process_get_result(driver_, lock_, db_);
    auto stored = predictions();
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(stored[0].sid, "recent");
    EXPECT_EQ(stored[1].sid, "new");
}

TEST_F(GetResultTest, DatabaseFailureRaisesStoresNothingAndFreesTheLock) {
    {
        std::lock_guard<std::mutex> lock(lock_);
        // An old row that the retention delete removes, then an insert that fails.
        db_.Execute(
            "INSERT INTO predictions (created_at, updated_at, sid, response_time_ms, top1, top2, top3, top4, "
            "top5) "
            "VALUES (datetime('now', '-30 minutes'), CURRENT_TIMESTAMP, 'old', 1, '', '', '', '', '')");
        db_.Execute(
            "CREATE TRIGGER refuse_predictions BEFORE INSERT ON predictions BEGIN SELECT RAISE(ABORT, 'disk "
            "full'); "
            "END");
    }
    module_.reply("/api/get_result",
                  json(R"({"code":0,"data":{"items":[{"id":"9","score":0.7}],"sid":"new"}})"));
    EXPECT_THROW(U::process_get_result(driver_, lock_, db_), Poco::Exception);
    ASSERT_TRUE(lock_.try_lock());
    lock_.unlock();
    // Rolled back as a whole: the retention delete did not stick either.
    auto stored = predictions();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].sid, "old");
}

TEST_F(GetResultTest, TheModuleIsAskedWithoutTheConfigurationLock) {
    std::atomic<bool> lockWasFree{false};
    RecordingServer probe([&](const RecordedRequest&) {
        // The module answering while another thread needs the lock must not block it.
        if (lock_.try_lock()) {
            lockWasFree = true;
            lock_.unlock();
        }
        return json(R"({"code":0,"data":{"items":[],"sid":"p"}})");
    });
    DriverPtr driver = orvix::test::makeDriver(database_, probe.port());
    U::process_get_result(driver, lock_, db_);
    EXPECT_TRUE(lockWasFree);
}

// ---- multipart uploads ----

// The file the module received in the agent's own multipart upload.
std::string uploadedFile(const RecordedRequest& request) {
    Poco::Net::MediaType type(request.headers.at("Content-Type"));
    std::istringstream in(request.body);
    Poco::Net::MultipartReader reader(in, type.getParameter("boundary"));
    Poco::Net::MessageHeader header;
    reader.nextPart(header);
    std::string content;
    Poco::StreamCopier::copyToString(reader.stream(), content);
    return content;
}

std::string formBody(const std::string& boundary, const std::string& file) {
    return "--" + boundary +
           "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"pkg.evo\"\r\n"
           "Content-Type: application/octet-stream\r\n\r\n" +
           file + "\r\n--" + boundary + "--\r\n";
}

struct UploadConverter {
    std::string path;
    Object::Ptr (*convert)(const std::string&, const std::string&, DriverPtr);
};

const UploadConverter kUploads[] = {
    {"/api/import_template", U::process_import_template},
    {"/api/offline_upgrade", U::process_offline_upgrade},
};

TEST_F(ConverterTest, UploadsHandTheFirstPartsBytesToTheModule) {
    const std::string boundary = "----WebKitFormBoundary7MA4YWxkTrZu0gW";
    std::string binary("PK\x03\x04", 4);
    binary += std::string("\0\0\0\r\n\r\n\0--", 10);
    binary += std::string(3000, '\xAB');
    binary += std::string("\0", 1);
    struct Case {
        std::string name;
        std::string body;
        std::string file;
    };
    const Case cases[] = {
        {"one byte", formBody(boundary, "x"), "x"},
        {"zero bytes only", formBody(boundary, std::string(5, '\0')), std::string(5, '\0')},
        {"binary with line breaks and dashes", formBody(boundary, binary), binary},
        {"text with a preamble", "preamble\r\n" + formBody(boundary, "hello\r\nworld"), "hello\r\nworld"},
        {"file ending right before the closing delimiter",
         "--" + boundary + "\r\nContent-Disposition: form-data; name=\"file\"\r\n\r\nabc\r\n--" + boundary +
             "--",
         "abc"},
        {"only the first of two parts",
         "--" + boundary + "\r\nContent-Disposition: form-data; name=\"file\"\r\n\r\nfirst\r\n--" + boundary +
             "\r\nContent-Disposition: form-data; name=\"other\"\r\n\r\nsecond\r\n--" + boundary + "--\r\n",
         "first"},
    };
    for (const auto& upload : kUploads) {
        for (const auto& outcome : {0, -6211}) {
            module_.reply(upload.path, json(R"({"code":)" + std::to_string(outcome) + "}"));
            for (const auto& c : cases) {
                const size_t before = module_.requests().size();
                EXPECT_EQ(compact(upload.convert(c.body, "--" + boundary, driver_)),
                          compact(U::get_empty_response(outcome)))
                    << upload.path << " " << c.name;
                auto requests = module_.requests();
                ASSERT_EQ(requests.size(), before + 1) << c.name;
                EXPECT_EQ(requests.back().uri, upload.path);
                EXPECT_EQ(uploadedFile(requests.back()), c.file) << upload.path << " " << c.name;
            }
        }
    }
}

TEST_F(ConverterTest, UnusableUploadsAnswerUnknownMistakeWithoutTheModule) {
    const std::string delimiter = "--XyZ";
    struct Case {
        std::string name;
        std::string body;
        std::string logLine;
    };
    const Case cases[] = {
        {"no delimiter", "just some bytes\r\n\r\nmore", "Boundary not found in request body"},
        {"empty body", "", "Boundary not found in request body"},
        {"another boundary", formBody("Other", "data"), "Boundary not found in request body"},
        {"no end of the part headers",
         "--XyZ\r\nContent-Disposition: form-data; name=\"file\"\r\nabc\r\n--XyZ--",
         "File data start not found"},
        {"no closing delimiter", "--XyZ\r\nContent-Type: x\r\n\r\nabc\r\n", "File data end not found"},
        {"empty file part", formBody("XyZ", ""), "Invalid file data range"},
        {"no line break before the delimiter", "--XyZ\r\nContent-Type: x\r\n\r\nabcdef--XyZ--\r\n",
         "Invalid file data range"},
        {"one byte glued to the delimiter", "--XyZ\r\nContent-Type: x\r\n\r\na--XyZ--",
         "Invalid file data range"},
    };
    for (const auto& upload : kUploads) {
        for (const auto& c : cases) {
            CapturedLog log;
            EXPECT_EQ(compact(upload.convert(c.body, delimiter, driver_)), R"({"code":-6210,"data":null})")
                << upload.path << " " << c.name;
            EXPECT_EQ(log.count("error", c.logLine), 1u) << upload.path << " " << c.name;
        }
    }
    EXPECT_TRUE(module_.requests().empty());
}

TEST_F(ConverterTest, UploadToAnUnreachableModuleAnswersCameraLost) {
    for (const auto& upload : kUploads) {
        EXPECT_EQ(compact(upload.convert(formBody("b", "data"), "--b", unreachableDriver())),
                  R"({"code":-6103,"data":null})");
    }
}

}  // namespace
