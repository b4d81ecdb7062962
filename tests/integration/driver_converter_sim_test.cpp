// The command converters with a real driver against the module simulator as a
// process: settings that round-trip through the module, refusals and lost
// exchanges injected by the simulator, recognitions stored in a real database and
// uploads that arrive whole.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include <Poco/Data/Session.h>
#include <Poco/Dynamic/Var.h>
#include <Poco/JSON/Parser.h>
#include <Poco/JSON/Stringifier.h>

#include "db.h"
#include "driver.h"
#include "driver_bench.h"
#include "driver_converter.h"
#include "json_text.h"
#include "queries.h"
#include "test_support.h"

namespace {

namespace U = velmora::Utils;
using Poco::JSON::Object;
using velmora::Engine::Driver::OrvixDriver;
using DriverPtr = std::shared_ptr<OrvixDriver>;
using orvix::test::compact;
using orvix::test::parseObject;
using namespace Poco::Data::Keywords;

class ConverterWithSimulatorTest : public ::testing::Test {
protected:
    void SetUp() override {
        port_ = orvix::test::freePort();
        sim_ = std::make_unique<orvix::test::ChildProcess>(
            std::vector<std::string>{std::string(ORVIX_BINARY_DIR) + "/orvix-module-sim", "--port",
                                     std::to_string(port_), "--job-seconds", "0.3", "--sn", "SIMSN77"},
            std::map<std::string, std::string>{}, dir_.path());
        ASSERT_TRUE(orvix::test::waitForPort(port_, std::chrono::seconds(10))) << sim_->stderrText();
        driver_ = orvix::test::makeDriver(database_, port_);
    }

    void setFault(const std::string& json) {
        auto answer = orvix::test::httpCall(port_, "POST", "/control/fault", json, "application/json");
        ASSERT_EQ(answer.status, 200) << answer.body;
    }

    Object::Ptr moduleState() {
        return parseObject(orvix::test::httpCall(port_, "GET", "/control/state").body);
    }

    orvix::test::TempDir dir_;
    orvix::test::AgentDatabase database_;
    unsigned short port_ = 0;
    std::unique_ptr<orvix::test::ChildProcess> sim_;
    DriverPtr driver_;
};

TEST_F(ConverterWithSimulatorTest, SettingsRoundTripThroughTheModule) {
    using Setter = std::function<Object::Ptr(Object::Ptr, DriverPtr, std::function<void()>)>;
    struct Case {
        std::string name;
        Setter set;
        std::string input;
        std::function<Object::Ptr(DriverPtr)> get;
        std::string answer;
    };
    const Case cases[] = {
        {"learn mode given as text", U::process_set_learnmode, R"({"mode":"1"})", U::process_get_learnmode,
         R"({"code":0,"data":{"mode":1}})"},
        {"sync limit given as text", U::process_set_sync_limit, R"({"limit":"25"})",
         U::process_get_sync_limit, R"({"code":0,"data":{"limit":25}})"},
        {"store id only", U::process_set_extra_info, R"({"store_id":42})", U::process_get_extra_info,
         R"({"code":0,"data":{"store_id":"42"}})"},
    };
    for (const auto& c : cases) {
        int actions = 0;
        EXPECT_EQ(compact(c.set(parseObject(c.input), driver_, [&] { ++actions; })),
                  R"({"code":0,"data":null})")
            << c.name;
        EXPECT_EQ(actions, 1) << c.name;
        EXPECT_EQ(compact(c.get(driver_)), c.answer) << c.name;
    }

    EXPECT_EQ(compact(U::process_set_calib(parseObject(R"({"left":"10","top":20,"width":300,"height":200})"),
                                           driver_)),
              R"({"code":0,"data":null})");
    EXPECT_EQ(compact(U::process_get_calib(driver_)),
              R"({"code":0,"data":{"height":200,"left":10,"top":20,"width":300}})");
}

TEST_F(ConverterWithSimulatorTest, DeviceInfoCarriesAllKeys) {
    Object::Ptr answer = U::process_get_device_info(driver_);
    ASSERT_EQ(answer->getValue<int>("code"), 0) << compact(answer);
    Object::Ptr data = answer->getObject("data");
    std::vector<std::string> names;
    data->getNames(names);
    EXPECT_EQ(names, (std::vector<std::string>{"app", "board", "download", "engine", "firmware", "item_count",
                                               "learnMode", "masterIP", "masterSN", "mastersyncPort",
                                               "max_result_num", "predict_speed", "sn", "soldOutLimit",
                                               "sync", "sync_limit", "sync_mode", "upload"}));
    EXPECT_EQ(data->getValue<std::string>("sn"), "SIMSN77");
}

TEST_F(ConverterWithSimulatorTest, RefusedAndLostExchangesReportNothing) {
    int actions = 0;
    auto action = [&] { ++actions; };
    const auto body = parseObject(R"({"limit":30})");

    setFault(R"({"mode":"refuse","code":-6213,"count":1,"commands":["set_sync_limit"]})");
    EXPECT_EQ(compact(U::process_set_sync_limit(body, driver_, action)), R"({"code":-6213,"data":null})");
    EXPECT_EQ(actions, 0);

    setFault(R"({"mode":"close","count":1})");
    EXPECT_EQ(compact(U::process_set_sync_limit(body, driver_, action)), R"({"code":-6103,"data":null})");
    EXPECT_EQ(actions, 0);

    setFault(R"({"mode":"http500","count":1})");
    EXPECT_EQ(compact(U::process_get_device_info(driver_)), R"({"code":500,"data":null})");

    EXPECT_EQ(compact(U::process_set_sync_limit(body, driver_, action)), R"({"code":0,"data":null})");
    EXPECT_EQ(actions, 1);
    EXPECT_EQ(compact(U::process_get_sync_limit(driver_)), R"({"code":0,"data":{"limit":30}})");
}

TEST_F(ConverterWithSimulatorTest, EveryRecognitionIsStoredAsItWasAnswered) {
    std::vector<Object::Ptr> answers;
    for (int i = 0; i < 3; ++i) {
        answers.push_back(U::process_get_result(driver_, database_.lock(), database_.db()));
        ASSERT_EQ(answers.back()->getValue<int>("code"), 0) << compact(answers.back());
    }
    setFault(R"({"mode":"refuse","code":-6209,"count":1})");
    EXPECT_EQ(compact(U::process_get_result(driver_, database_.lock(), database_.db())),
              R"({"code":-6209,"data":null})");

    std::lock_guard<std::mutex> lock(database_.lock());
    Poco::Data::Session session = database_.db().GetSession();
    int rows = 0;
    session << "SELECT COUNT(*) FROM predictions", into(rows), now;
    EXPECT_EQ(rows, 3);
    for (const auto& answer : answers) {
        Object::Ptr data = answer->getObject("data");
        std::string sid = data->getValue<std::string>("sid");
        std::vector<std::string> ids;
        auto items = data->getArray("items");
        for (std::size_t i = 0; i < items->size() && i < 5; ++i) {
            ids.push_back(items->getObject(static_cast<unsigned int>(i))->getValue<std::string>("id"));
        }
        EXPECT_FALSE(ids.empty()) << sid;
        auto [time, tops] = velmora::Utils::Queries::getPrediction(session, sid);
        EXPECT_EQ(tops, ids) << sid;
        EXPECT_GE(time, 0);
    }
}

TEST_F(ConverterWithSimulatorTest, UploadedPackageArrivesWholeAndTheJobCompletes) {
    std::string package("EVO\0\x01\x02", 6);
    package += std::string(4096, '\x7F');
    package += std::string("\r\n--not-the-boundary\r\n\0", 23);
    const std::string boundary = "------------------------d74496d66958873e";
    const std::string body = "--" + boundary +
                             "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"backup.evo\"\r\n"
                             "Content-Type: application/octet-stream\r\n\r\n" +
                             package + "\r\n--" + boundary + "--\r\n";
    EXPECT_EQ(compact(U::process_import_template(body, "--" + boundary, driver_)),
              R"({"code":0,"data":null})");

    Object::Ptr upload = moduleState()->getObject("module")->getObject("uploads")->getObject("import");
    ASSERT_FALSE(upload.isNull());
    EXPECT_EQ(upload->getValue<std::size_t>("size"), package.size());
    EXPECT_EQ(upload->getValue<std::string>("filename"), "import_template.evo");

    Object::Ptr status;
    ASSERT_TRUE(orvix::test::waitUntil(
        [&] {
            status = U::process_import_template_status(driver_);
            return status->getValue<int>("status") == 4;
        },
        std::chrono::seconds(5)));
    std::vector<std::string> names;
    status->getNames(names);
    EXPECT_EQ(names, (std::vector<std::string>{"code", "msg", "status"}));
    EXPECT_EQ(status->getValue<std::string>("msg"), "completed");
}

}  // namespace
