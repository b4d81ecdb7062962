// The cloud registry operations against a recording peer: what each one sends, how
// the answer comes back, and what stands in for an answer that never came.
#include <gtest/gtest.h>

#include <boost/json.hpp>

#include "captured_log.h"
#include "monitoring.h"
#include "monitoring_bench.h"
#include "test_support.h"

namespace orvix::test {
namespace {

using velmora::Engine::Sync::MonitoringDriver;
using velmora::Engine::Sync::Query;
using velmora::Engine::Sync::RegistryResult;

const Query kQuery = {{"serial_number", "SN 1&2"}, {"model", "Velmora Orvix Module"}};
const std::string kQueryText = "serial_number=SN%201%262&model=Velmora%20Orvix%20Module";
const std::string kBody = R"({"name":"Till 3","tags":["a","b"],"n":2})";

struct Operation {
    const char* name;
    std::function<RegistryResult(MonitoringDriver&)> call;
    std::string method;
    std::string target;
    bool sendsBody;
    std::string calledLine;
    bool logsOutcome;
};

const Operation kOperations[] = {
    {"get_stores_list", [](MonitoringDriver& d) { return d.get_stores_list(kQuery); }, "GET",
     "/api/v1/stores?" + kQueryText, false, "get_stores_list() called", true},
    {"get_stores_types_list", [](MonitoringDriver& d) { return d.get_stores_types_list(kQuery); }, "GET",
     "/api/v1/stores/types?" + kQueryText, false, "get_stores_types_list() called;", true},
    {"get_stores_departments_list", [](MonitoringDriver& d) { return d.get_stores_departments_list({}); },
     "GET", "/api/v1/stores/departments", false, "get_stores_departments_list() called;", true},
    {"get_stores_regions_list", [](MonitoringDriver& d) { return d.get_stores_regions_list(kQuery); }, "GET",
     "/api/v1/stores/regions?" + kQueryText, false, "get_stores_regions_list() called;", true},
    {"get_devices_models_list", [](MonitoringDriver& d) { return d.get_devices_models_list(kQuery); }, "GET",
     "/api/v1/devices/models?" + kQueryText, false, "get_devices_models_list() called;", true},
    {"get_device_list", [](MonitoringDriver& d) { return d.get_device_list(kQuery); }, "GET",
     "/api/v1/devices?" + kQueryText, false, "get_device_list() called;", true},
    {"get_device_info", [](MonitoringDriver& d) { return d.get_device_info("5", kQuery); }, "GET",
     "/api/v1/devices/5?" + kQueryText, false, "get_device_info() called;", true},
    {"delete_device", [](MonitoringDriver& d) { return d.delete_device("5", {}); }, "DELETE",
     "/api/v1/devices/5", false, "delete_device() called;", true},
    {"get_device_attributes", [](MonitoringDriver& d) { return d.get_device_attributes("17", kQuery); },
     "GET", "/api/v1/devices/17/attributes?" + kQueryText, false, "get_device_attributes() called;", true},
    {"get_device_attributes_list",
     [](MonitoringDriver& d) { return d.get_device_attributes_list(kBody, kQuery); }, "POST",
     "/api/v1/devices/data?" + kQueryText, true, "get_device_attributes_list() called;", true},
    {"create_device", [](MonitoringDriver& d) { return d.create_device(kBody, {}); }, "POST",
     "/api/v1/devices", true, "create_device() called;", false},
    {"update_device_data", [](MonitoringDriver& d) { return d.update_device_data("5", kBody, kQuery); },
     "PATCH", "/api/v1/devices/5?" + kQueryText, true, "update_device_data() called;", true},
    {"create_device_model", [](MonitoringDriver& d) { return d.create_device_model(kBody, {}); }, "POST",
     "/api/v1/devices/models", true, "create_device_model() called, request: " + kBody + ";", true},
};

class MonitoringRegistry : public ::testing::TestWithParam<Operation> {
protected:
    void configure(RecordingServer::Responder responder) {
        bench_.configureStopped(service_, MonitoringSetup{}, std::move(responder));
    }

    RecordingServer service_;
    MonitoringBench bench_;
};

TEST_P(MonitoringRegistry, SendsItsRequestAndHandsBackTheAnswer) {
    const Operation& op = GetParam();
    configure([](const RecordedRequest&) { return jsonReply(200, R"({"data":[1]})"); });
    CapturedLog log;
    const auto [code, answer] = op.call(bench_.driver());

    EXPECT_EQ(code, 0);
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.body, R"({"data":[1]})");
    const auto requests = bench_.requests(service_);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, op.method);
    EXPECT_EQ(requests[0].uri, op.target);
    if (op.sendsBody) {
        EXPECT_EQ(requests[0].headers.at("Content-Type"), "application/json");
        EXPECT_EQ(boost::json::parse(requests[0].body), boost::json::parse(kBody));
    } else {
        EXPECT_EQ(requests[0].body, "");
    }
    EXPECT_EQ(log.count("info", op.calledLine), 1u);
    EXPECT_EQ(log.count("info", std::string(op.name) + R"(() completed, response: {"data":[1]};)"),
              op.logsOutcome ? 1u : 0u);
}

TEST_P(MonitoringRegistry, OtherStatusesReturnTheNetworkErrorWithTheAnswer) {
    const Operation& op = GetParam();
    configure([](const RecordedRequest&) { return jsonReply(404, R"({"message":"no such device"})"); });
    const auto [code, answer] = op.call(bench_.driver());
    EXPECT_EQ(code, -6207);
    EXPECT_EQ(answer.status, 404);
    EXPECT_EQ(answer.reason, "Not Found");
    EXPECT_EQ(answer.body, R"({"message":"no such device"})");
}

TEST_P(MonitoringRegistry, UnreachableServiceGivesTheBadGatewaySubstitute) {
    const Operation& op = GetParam();
    auto service = std::make_unique<RecordingServer>();
    MonitoringBench bench;
    bench.configureStopped(*service, MonitoringSetup{}, {});
    service.reset();

    CapturedLog log;
    const auto [code, answer] = op.call(bench.driver());
    EXPECT_EQ(code, -6207);
    EXPECT_EQ(answer.status, 502);
    EXPECT_EQ(answer.reason, "Bad Gateway");
    EXPECT_TRUE(answer.headers.empty());
    const auto body = boost::json::parse(answer.body).as_object();
    ASSERT_EQ(body.size(), 1u);
    const std::string error(body.at("error").as_string());
    EXPECT_NE(error.find("onnection refused"), std::string::npos) << error;
    EXPECT_EQ(log.count("error", std::string(op.name) + "() exception: " + error + ";"),
              op.logsOutcome ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Operations, MonitoringRegistry, ::testing::ValuesIn(kOperations),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MonitoringRegistryBadAnswer, EscapesTheErrorTextIntoValidJson) {
    const char* const texts[] = {"plain", "say \"no\"", "C:\\path\\file", "tab\tand\nnewline", ""};
    for (const char* text : texts) {
        SCOPED_TRACE(text);
        const auto answer = MonitoringDriver::generate_bad_answer(text);
        EXPECT_EQ(answer.status, 502);
        EXPECT_EQ(answer.reason, "Bad Gateway");
        const auto body = boost::json::parse(answer.body).as_object();
        ASSERT_EQ(body.size(), 1u);
        EXPECT_EQ(body.at("error").as_string(), text);
        EXPECT_EQ(answer.body.rfind(R"({"error":")", 0), 0u);  // compact: no blank before the value
    }
    EXPECT_EQ(MonitoringDriver::generate_bad_answer(nullptr).body, R"({"error":""})");
    EXPECT_EQ(MonitoringDriver::generate_bad_answer("a\"b\\c").body, R"({"error":"a\"b\\c"})");
}

// A body that is not a JSON object is refused before anything is sent.
TEST(MonitoringRegistryBody, TextThatIsNotAnObjectThrowsBeforeSending) {
    RecordingServer service;
    MonitoringBench bench;
    bench.configureStopped(service, MonitoringSetup{}, {});
    using Call = std::function<RegistryResult(MonitoringDriver&, const std::string&)>;
    const std::pair<const char*, Call> calls[] = {
        {"get_device_attributes_list",
         [](MonitoringDriver& d, const std::string& b) { return d.get_device_attributes_list(b, {}); }},
        {"create_device", [](MonitoringDriver& d, const std::string& b) { return d.create_device(b, {}); }},
        {"update_device_data",
         [](MonitoringDriver& d, const std::string& b) { return d.update_device_data("5", b, {}); }},
        {"create_device_model",
         [](MonitoringDriver& d, const std::string& b) { return d.create_device_model(b, {}); }},
    };
    for (const auto& [name, call] : calls) {
        for (const std::string body : {"[1,2]", "\"text\"", "", "{broken", "42"}) {
            SCOPED_TRACE(std::string(name) + " with " + body);
            EXPECT_ANY_THROW(call(bench.driver(), body));
        }
    }
    EXPECT_TRUE(bench.requests(service).empty());
}

}  // namespace
}  // namespace orvix::test
