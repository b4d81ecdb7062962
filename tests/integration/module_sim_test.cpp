// The module simulator as a process: its API answers with the envelopes the agent reads,
// its state follows the set_* commands, its jobs progress, and its faults switch on and off.

#include "json_text.h"
#include "test_support.h"

#include <Poco/Dynamic/Var.h>
#include <Poco/JSON/Array.h>
#include <Poco/JSON/Object.h>
#include <Poco/JSON/Parser.h>
#include <Poco/StreamCopier.h>
#include <Poco/Zip/ZipArchive.h>
#include <Poco/Zip/ZipStream.h>
#include <gtest/gtest.h>

#include <csignal>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

namespace orvix::test {
namespace {

using Poco::Dynamic::Var;
using Poco::JSON::Array;
using Poco::JSON::Object;

const std::string kJson = "application/json";
const std::string kBoundary = "----VelmoraBoundary7d91d0a123456";

// The multipart body exactly as the agent's client builds it.
std::string multipartBody(const std::string& fileName, const std::string& bytes) {
    return "--" + kBoundary + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"" + fileName +
           "\"\r\nContent-Type: application/octet-stream\r\n\r\n" + bytes + "\r\n--" + kBoundary + "--\r\n";
}

std::map<std::string, std::string> unzip(const std::string& archive) {
    std::istringstream in(archive, std::ios::in | std::ios::binary);
    Poco::Zip::ZipArchive zip(in);
    std::map<std::string, std::string> members;
    for (auto it = zip.headerBegin(); it != zip.headerEnd(); ++it) {
        in.clear();
        in.seekg(0);
        Poco::Zip::ZipInputStream member(in, it->second);
        Poco::StreamCopier::copyToString(member, members[it->first]);
    }
    return members;
}

class ModuleSimTest : public ::testing::Test {
protected:
    void SetUp() override {
        port_ = freePort();
        sim_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{std::string(ORVIX_BINARY_DIR) + "/orvix-module-sim", "--port",
                                     std::to_string(port_), "--job-seconds", "0.6"},
            std::map<std::string, std::string>{}, dir_.path());
        ASSERT_TRUE(waitForPort(port_, std::chrono::seconds(10))) << sim_->stderrText();
    }

    HttpAnswer call(const std::string& method, const std::string& target, const std::string& body = {},
                    const std::string& contentType = {}, int timeoutSeconds = 10) {
        return httpCall(port_, method, target, body, contentType, timeoutSeconds);
    }

    // A module command answered with HTTP 200 and a JSON envelope.
    Object::Ptr command(const std::string& method, const std::string& name,
                        const std::string& body = "null") {
        auto answer =
            method == "GET" ? call("GET", "/api/" + name) : call("POST", "/api/" + name, body, kJson);
        EXPECT_EQ(answer.status, 200) << name << ": " << answer.body;
        EXPECT_NE(answer.headers["Content-Type"].find(kJson), std::string::npos) << name;
        auto envelope = parseObject(answer.body);
        EXPECT_TRUE(envelope->get("code").isInteger()) << name << ": " << answer.body;
        return envelope;
    }

    int code(const std::string& method, const std::string& name, const std::string& body = "null") {
        return command(method, name, body)->getValue<int>("code");
    }

    Object::Ptr data(const std::string& method, const std::string& name, const std::string& body = "null") {
        auto envelope = command(method, name, body);
        EXPECT_EQ(envelope->getValue<int>("code"), 0) << name;
        return envelope->getObject("data");
    }

    void setFault(const std::string& json) {
        auto answer = call("POST", "/control/fault", json, kJson);
        ASSERT_EQ(answer.status, 200) << answer.body;
    }

    // Polls a job's status command until it reports `last`, collecting every status seen.
    std::vector<int> followJob(const std::string& statusCommand, int last, Object::Ptr* final = nullptr) {
        std::vector<int> seen;
        waitUntil(
            [&] {
                auto envelope = command("GET", statusCommand);
                EXPECT_EQ(envelope->getValue<int>("code"), 0);
                EXPECT_TRUE(envelope->get("msg").isString());
                int status = envelope->getValue<int>("status");
                if (seen.empty() || seen.back() != status) {
                    seen.push_back(status);
                }
                if (final != nullptr) {
                    *final = envelope;
                }
                return status == last;
            },
            std::chrono::seconds(5));
        return seen;
    }

    TempDir dir_;
    unsigned short port_ = 0;
    std::unique_ptr<ChildProcess> sim_;
};

TEST_F(ModuleSimTest, DeviceInfoCarriesEveryFieldWithItsJsonType) {
    enum Kind { kString, kInteger, kBoolean };
    const std::pair<const char*, Kind> fields[] = {
        {"app", kString},
        {"engine", kString},
        {"firmware", kString},
        {"item_count", kInteger},
        {"learnMode", kInteger},
        {"masterIP", kString},
        {"masterSN", kString},
        {"soldOutLimit", kInteger},
        {"max_result_num", kInteger},
        {"predict_speed", kString},
        {"sn", kString},
        {"sync", kString},
        {"sync_mode", kString},
        {"upload", kBoolean},
        {"download", kBoolean},
        {"sync_limit", kInteger},
        {"board", kString},
        {"mastersyncPort", kString},
    };
    auto info = data("GET", "get_device_info");
    ASSERT_TRUE(info);
    EXPECT_EQ(info->size(), std::size(fields));
    for (const auto& [key, kind] : fields) {
        SCOPED_TRACE(key);
        ASSERT_TRUE(info->has(key));
        auto value = info->get(key);
        switch (kind) {
            case kString:
                EXPECT_TRUE(value.isString());
                break;
            case kInteger:
                EXPECT_TRUE(value.isInteger() && !value.isBoolean());
                break;
            case kBoolean:
                EXPECT_TRUE(value.isBoolean());
                break;
        }
    }
    EXPECT_FALSE(info->getValue<std::string>("sn").empty());
    EXPECT_GT(info->getValue<int>("item_count"), 0);

    auto board = data("GET", "get_board_info");
    for (const char* key : {"board", "clientID", "engine", "firmware", "sn", "syncMode"}) {
        EXPECT_TRUE(board->get(key).isString()) << key;
    }
    EXPECT_EQ(board->getValue<std::string>("sn"), info->getValue<std::string>("sn"));
}

TEST_F(ModuleSimTest, ReadCommandsReflectTheSettingsJustMade) {
    struct Case {
        const char* set;
        const char* body;
        const char* getMethod;
        const char* get;
        const char* key;
        std::string expected;  // the value's JSON text
    };
    const Case cases[] = {
        {"set_learnmode", R"({"mode":1})", "GET", "get_learnmode", "mode", "1"},
        {"set_sync_limit", R"({"limit":7})", "POST", "get_sync_limit", "limit", "7"},
        {"set_calib", R"({"left":10,"top":20,"width":640,"height":480})", "GET", "get_calib", "width", "640"},
        {"set_max_result", R"({"num":3})", "GET", "get_device_info", "max_result_num", "3"},
        {"set_sold_out_limit", R"({"day":12})", "GET", "get_device_info", "soldOutLimit", "12"},
        {"set_predict_speed", R"({"speed":"fast"})", "GET", "get_device_info", "predict_speed", "fast"},
        {"set_sync_master", R"({"upload":true,"download":true})", "GET", "get_device_info", "sync_mode",
         "master"},
        {"set_sync_slave",
         R"({"upload":false,"download":true,"masterIP":"10.1.2.3","mastersyncPort":"9000"})", "GET",
         "get_device_info", "mastersyncPort", "9000"},
        {"set_sync_normal", R"({"upload":false,"download":false})", "GET", "get_board_info", "syncMode",
         "normal"},
        {"set_extra_info", R"({"store_id":"S-17"})", "GET", "get_extra_info", "store_id", "S-17"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.set);
        auto envelope = command("POST", c.set, c.body);
        EXPECT_EQ(envelope->getValue<int>("code"), 0);
        EXPECT_TRUE(envelope->get("data").isEmpty());
        auto payload = data(c.getMethod, c.get);
        ASSERT_TRUE(payload);
        EXPECT_EQ(payload->get(c.key).toString(), c.expected);
    }
    // Only the store keys that were set come back.
    auto extra = data("GET", "get_extra_info");
    EXPECT_FALSE(extra->has("store_name"));
    auto calib = data("GET", "get_calib");
    EXPECT_EQ(calib->getValue<int>("left"), 10);
    EXPECT_EQ(calib->getValue<int>("height"), 480);
}

TEST_F(ModuleSimTest, RefusesMalformedCommands) {
    struct Case {
        const char* method;
        const char* path;
        std::string body;
        int status;
        int code;
    };
    const Case cases[] = {
        {"POST", "/api/set_learnmode", R"({"mode":"1"})", 200, -6213},  // strict types
        {"POST", "/api/set_learnmode", R"({"mode":5})", 200, -6213},    // out of range
        {"POST", "/api/set_learnmode", "{}", 200, -6213},               // missing key
        {"POST", "/api/set_sync_limit", R"({"limit":true})", 200, -6213},
        {"POST", "/api/set_sync_slave", R"({"upload":true,"download":true,"masterIP":"nowhere"})", 200,
         -6213},
        {"POST", "/api/delete_item", R"({"id":"no-such-product"})", 200, -6202},
        {"POST", "/api/set_time", "{bad json", 200, -6200},
        {"POST", "/api/import_template", "not a form", 200, -6213},
        {"POST", "/api/import_template", multipartBody("import_template.evo", ""), 200, -6211},
        {"GET", "/api/set_learnmode", "", 405, -6117},  // method of the catalogue only
        {"POST", "/api/get_device_info", "null", 405, -6117},
        {"GET", "/api/no_such_command", "", 404, -6117},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.path);
        std::string type = std::string(c.path) == "/api/import_template"
                               ? "multipart/form-data; boundary=" + kBoundary
                               : kJson;
        auto answer = call(c.method, c.path, c.body, std::string(c.method) == "GET" ? "" : type);
        EXPECT_EQ(answer.status, c.status);
        EXPECT_EQ(parseObject(answer.body)->getValue<int>("code"), c.code);
    }
    // A refused setting changes nothing.
    EXPECT_EQ(data("GET", "get_learnmode")->getValue<int>("mode"), 0);
    // Commands without parameters take the JSON null the agent sends.
    EXPECT_EQ(code("POST", "reboot", "null"), 0);
    EXPECT_EQ(code("POST", "enable_internet_once", "null"), 0);
}

TEST_F(ModuleSimTest, GetResultRanksItemsUnderAFreshSessionId) {
    ASSERT_EQ(code("POST", "set_max_result", R"({"num":4})"), 0);
    std::set<std::string> sids;
    for (int round = 0; round < 3; ++round) {
        auto result = data("GET", "get_result");
        ASSERT_TRUE(result);
        ASSERT_TRUE(result->get("sid").isString());
        sids.insert(result->getValue<std::string>("sid"));
        auto items = result->getArray("items");
        ASSERT_TRUE(items);
        ASSERT_EQ(items->size(), 4u);
        double previous = 1.0;
        for (std::size_t i = 0; i < items->size(); ++i) {
            auto item = items->getObject(static_cast<unsigned>(i));
            EXPECT_TRUE(item->get("id").isString());
            ASSERT_TRUE(item->get("score").isNumeric());
            double score = item->getValue<double>("score");
            EXPECT_GT(score, 0.0);
            EXPECT_LE(score, previous);
            previous = score;
        }
    }
    EXPECT_EQ(sids.size(), 3u);

    // With every template gone there is nothing to rank, but still a session.
    ASSERT_EQ(code("POST", "clear_all_template"), 0);
    auto empty = data("GET", "get_result");
    EXPECT_EQ(empty->getArray("items")->size(), 0u);
    EXPECT_FALSE(empty->getValue<std::string>("sid").empty());
}

TEST_F(ModuleSimTest, LearnModeFeedbackAddsATemplate) {
    ASSERT_EQ(code("POST", "set_learnmode", R"({"mode":1})"), 0);
    auto sid = data("GET", "get_result")->getValue<std::string>("sid");
    ASSERT_EQ(code("POST", "result_feedback", R"({"sid":")" + sid + R"(","id":"9001"})"), 0);
    auto list = command("POST", "get_item_template_list", R"({"id":"9001"})");
    EXPECT_EQ(list->getArray("data")->size(), 1u);
    EXPECT_TRUE(list->get("max").isInteger());
    auto absent = command("POST", "get_item_template_list", R"({"id":"no-such-product"})");
    EXPECT_TRUE(absent->get("data").isEmpty());

    auto added = data("POST", "add_item_template", R"({"id":"9001"})");
    ASSERT_TRUE(added->get("image").isString());
    auto templateSid = added->getValue<std::string>("sid");
    EXPECT_EQ(code("POST", "delete_item_template", R"({"id":"9001","sid":")" + templateSid + R"("})"), 0);
    EXPECT_EQ(code("POST", "delete_item_template", R"({"id":"9001","sid":")" + templateSid + R"("})"), -6202);
}

TEST_F(ModuleSimTest, GetImageIsAJpegPicture) {
    auto answer = call("POST", "/api/get_image", "null", kJson);
    ASSERT_EQ(answer.status, 200);
    EXPECT_EQ(answer.headers["Content-Type"], "image/jpeg");
    ASSERT_GT(answer.body.size(), 100u);
    EXPECT_EQ(answer.body.substr(0, 3), std::string("\xFF\xD8\xFF"));
    EXPECT_EQ(answer.body.substr(answer.body.size() - 2), std::string("\xFF\xD9"));
}

TEST_F(ModuleSimTest, ExportedArchiveDownloadsAndImportsBack) {
    auto idle = command("GET", "export_template_status");
    EXPECT_EQ(idle->getValue<int>("status"), 0);
    auto listed = command("GET", "get_item_list")->getArray("data");
    ASSERT_GT(listed->size(), 0u);

    ASSERT_EQ(code("POST", "export_template", R"({"ids":[]})"), 0);
    Object::Ptr final;
    EXPECT_EQ(followJob("export_template_status", 3, &final), (std::vector<int>{1, 3}));
    ASSERT_TRUE(final->get("filename").isString());
    auto filename = final->getValue<std::string>("filename");
    EXPECT_EQ(filename, "templates_1.evom");

    auto download = call("GET", "/download/" + filename);
    ASSERT_EQ(download.status, 200);
    EXPECT_EQ(download.headers["Content-Type"], "application/octet-stream");
    auto members = unzip(download.body);
    ASSERT_EQ(members.size(), 2u);
    EXPECT_NE(members["manifest.json"].find("\"sn\""), std::string::npos);
    EXPECT_FALSE(members["templates.evo"].empty());
    EXPECT_EQ(call("GET", "/download/templates_99.evom").status, 404);

    // The package restores the templates after they were cleared.
    ASSERT_EQ(code("POST", "clear_all_template"), 0);
    EXPECT_EQ(command("GET", "get_item_list")->getArray("data")->size(), 0u);
    auto upload =
        call("POST", "/api/import_template", multipartBody("import_template.evo", members["templates.evo"]),
             "multipart/form-data; boundary=" + kBoundary);
    ASSERT_EQ(upload.status, 200);
    EXPECT_EQ(parseObject(upload.body)->getValue<int>("code"), 0);
    EXPECT_EQ(followJob("import_template_status", 4), (std::vector<int>{2, 3, 4}));
    EXPECT_EQ(command("GET", "get_item_list")->getArray("data")->size(), listed->size());
}

TEST_F(ModuleSimTest, UpgradeRunsThroughItsStatusesOrFailsWhenAsked) {
    auto before = data("GET", "get_device_info")->getValue<std::string>("firmware");
    auto form = multipartBody("offline_upgrade.evo", std::string("\x00\x01upgrade\xFF", 10));
    const std::string type = "multipart/form-data; boundary=" + kBoundary;
    ASSERT_EQ(parseObject(call("POST", "/api/offline_upgrade", form, type).body)->getValue<int>("code"), 0);
    auto seen = followJob("offline_upgrade_status", 4);
    EXPECT_EQ(seen.front(), 1);
    EXPECT_EQ(seen.back(), 4);
    EXPECT_NE(data("GET", "get_device_info")->getValue<std::string>("firmware"), before);

    auto state = parseObject(call("GET", "/control/state").body);
    auto uploaded = state->getObject("module")->getObject("uploads")->getObject("upgrade");
    EXPECT_EQ(uploaded->getValue<int>("size"), 10);
    EXPECT_EQ(uploaded->getValue<std::string>("filename"), "offline_upgrade.evo");

    setFault(R"({"fail_jobs":["upgrade","export"]})");
    ASSERT_EQ(parseObject(call("POST", "/api/offline_upgrade", form, type).body)->getValue<int>("code"), 0);
    EXPECT_EQ(followJob("offline_upgrade_status", 5).back(), 5);
    ASSERT_EQ(code("POST", "export_template", R"({"ids":["1001"]})"), 0);
    EXPECT_EQ(followJob("export_template_status", 6).back(), 6);
}

TEST_F(ModuleSimTest, EachFaultModeSpoilsTheAnswerAndNoneRecovers) {
    enum Expect { kNoAnswer, kHttp500, kNotJson, kRefused, kSlow };
    const std::pair<const char*, Expect> cases[] = {
        {R"({"mode":"silent"})", kNoAnswer},
        {R"({"mode":"close"})", kNoAnswer},
        {R"({"mode":"http500"})", kHttp500},
        {R"({"mode":"nonjson"})", kNotJson},
        {R"({"mode":"refuse","code":-6128})", kRefused},
        {R"({"delay_ms":600})", kSlow},
    };
    for (const auto& [fault, expect] : cases) {
        SCOPED_TRACE(fault);
        setFault(fault);
        auto started = std::chrono::steady_clock::now();
        switch (expect) {
            case kNoAnswer:
                EXPECT_ANY_THROW(call("GET", "/api/get_learnmode", {}, {}, 1));
                break;
            case kHttp500:
                EXPECT_EQ(call("GET", "/api/get_learnmode").status, 500);
                break;
            case kNotJson: {
                auto answer = call("GET", "/api/get_learnmode");
                EXPECT_EQ(answer.status, 200);
                EXPECT_ANY_THROW(parseObject(answer.body));
                break;
            }
            case kRefused: {
                auto envelope = command("GET", "get_learnmode");
                EXPECT_EQ(envelope->getValue<int>("code"), -6128);
                EXPECT_TRUE(envelope->get("data").isEmpty());
                auto image = call("POST", "/api/get_image", "null", kJson);
                EXPECT_NE(image.headers["Content-Type"].find(kJson), std::string::npos);
                EXPECT_EQ(parseObject(image.body)->getValue<int>("code"), -6128);
                break;
            }
            case kSlow:
                EXPECT_EQ(code("GET", "get_learnmode"), 0);
                EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(600));
                break;
        }
        // The control endpoint is never spoiled, and switching back recovers at once.
        EXPECT_EQ(call("GET", "/control/state").status, 200);
        setFault(R"({"mode":"none","delay_ms":0})");
        started = std::chrono::steady_clock::now();
        EXPECT_EQ(code("GET", "get_learnmode"), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(500));
    }
}

TEST_F(ModuleSimTest, FaultCanBeLimitedToCommandsAndCounted) {
    setFault(R"({"mode":"http500","commands":["get_result"],"count":2})");
    EXPECT_EQ(code("GET", "get_learnmode"), 0);
    EXPECT_EQ(call("GET", "/api/get_result").status, 500);
    EXPECT_EQ(call("GET", "/api/get_result").status, 500);
    EXPECT_EQ(call("GET", "/api/get_result").status, 200);
    auto fault = parseObject(call("GET", "/control/state").body)->getObject("fault");
    EXPECT_EQ(fault->getValue<std::string>("mode"), "none");

    auto bad = call("POST", "/control/fault", R"({"mode":"sometimes"})", kJson);
    EXPECT_EQ(bad.status, 400);
    EXPECT_EQ(call("POST", "/control/fault", "not json", kJson).status, 400);
}

TEST_F(ModuleSimTest, LogsEachRequestAndStopsCleanlyOnSignal) {
    ASSERT_EQ(code("POST", "set_learnmode", R"({"mode":1})"), 0);
    setFault(R"({"mode":"silent"})");
    // A held request must not keep the simulator from ending.
    std::thread held([this] {
        try {
            call("GET", "/api/get_result", {}, {}, 5);
        } catch (const std::exception&) {
        }
    });
    ASSERT_TRUE(
        waitUntil([this] { return sim_->stdoutText().find("held without answer") != std::string::npos; },
                  std::chrono::seconds(5)));
    sim_->signal(SIGTERM);
    EXPECT_EQ(sim_->wait(std::chrono::seconds(5)), 0);
    held.join();
    auto log = sim_->stdoutText();
    EXPECT_NE(log.find("POST /api/set_learnmode 200 code=0"), std::string::npos) << log;
    EXPECT_NE(log.find("GET /api/get_result closed without answer"), std::string::npos) << log;
}

TEST_F(ModuleSimTest, InterruptEndsWithStatusZero) {
    sim_->signal(SIGINT);
    EXPECT_EQ(sim_->wait(std::chrono::seconds(5)), 0);
}

TEST_F(ModuleSimTest, ResetRestoresTheStartingState) {
    ASSERT_EQ(code("POST", "set_learnmode", R"({"mode":1})"), 0);
    ASSERT_EQ(code("POST", "clear_all_template"), 0);
    setFault(R"({"mode":"http500"})");
    ASSERT_EQ(call("POST", "/control/reset", "{}", kJson).status, 200);
    EXPECT_EQ(data("GET", "get_learnmode")->getValue<int>("mode"), 0);
    EXPECT_GT(command("GET", "get_item_list")->getArray("data")->size(), 0u);
}

}  // namespace
}  // namespace orvix::test
