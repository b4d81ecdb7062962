// Settings, start and stop of the monitoring worker, and the attributes-changed
// notification, against a recording stand-in for the service.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "captured_log.h"
#include "device_data_provider.h"
#include "driver.h"
#include "monitoring.h"
#include "monitoring_bench.h"
#include "test_support.h"

namespace orvix::test {
namespace {

using velmora::Engine::Driver::OrvixDriver;
using velmora::Engine::Sync::DeviceDataProvider;

CannedReply tokenOrEmpty(const RecordedRequest& request) {
    return isTokenRequest(request) ? jsonReply(200, standardTokenAnswer("T1", 600)) : jsonReply(204, "");
}

class MonitoringLifecycle : public ::testing::Test {
protected:
    void apply(const std::string& address, const std::string& port, long long periodMs = 20000) {
        bench_.driver().setMonitoringSettings("velmora", address, port, false, false, periodMs, "secret", "D",
                                              "", nullptr, nullptr, nullptr, {});
    }
    size_t tokenRequests(const RecordingServer& service) const {
        size_t count = 0;
        for (const auto& request : service.requests()) {
            count += isTokenRequest(request) ? 1 : 0;
        }
        return count;
    }

    CapturedLog log_;
    RecordingServer service_{tokenOrEmpty};
    MonitoringBench bench_;
};

TEST_F(MonitoringLifecycle, SettingsStartTheWorkerAgainstTheConfiguredService) {
    apply("127.0.0.1", std::to_string(service_.port()));
    ASSERT_TRUE(waitUntil([&] { return tokenRequests(service_) == 1; }, std::chrono::seconds(10)));
    EXPECT_EQ(
        log_.count("info",
                   "developer_mode=false with service adress=127.0.0.1, so using one rest client instance, "
                   "ignoring port;"),
        1u);
    ASSERT_TRUE(waitUntil([&] { return bench_.driver().check_connect() == 0; }, std::chrono::seconds(10)));
    bench_.driver().stop();
    EXPECT_EQ(log_.count("info", "Waiting  for the end of the current loop()...;"), 2u);  // settings and stop
    EXPECT_EQ(log_.count("info", "worker_ with loop() destroyed success;"), 1u);
}

TEST_F(MonitoringLifecycle, PortTextCountsItsLeadingDigits) {
    apply("127.0.0.1", std::to_string(service_.port()) + "x");
    EXPECT_TRUE(waitUntil([&] { return tokenRequests(service_) == 1; }, std::chrono::seconds(10)));
}

// Settings the client cannot be built from: the caller hears of it and no worker runs.
struct BadSettings {
    const char* name;
    std::string address;
    std::string port;
    std::string message;
    bool invalidArgument;  // otherwise out_of_range
};

class MonitoringBadSettings : public MonitoringLifecycle,
                              public ::testing::WithParamInterface<BadSettings> {};

TEST_P(MonitoringBadSettings, ThrowAndLeaveTheWorkerStopped) {
    const BadSettings& c = GetParam();
    try {
        apply(c.address, c.port);
        FAIL() << "no exception";
    } catch (const std::invalid_argument& error) {
        EXPECT_TRUE(c.invalidArgument);
        EXPECT_EQ(std::string(error.what()), c.message);
    } catch (const std::out_of_range& error) {
        EXPECT_FALSE(c.invalidArgument);
        EXPECT_EQ(std::string(error.what()), c.message);
    }
    log_.clear();
    bench_.driver().start();  // the stored settings still cannot run
    EXPECT_EQ(log_.count("warning", "Can't start monitoring event loop, necessary settings not valid;"), 1u);
    bench_.driver().stop();
    EXPECT_EQ(log_.count("warning", "loop() can't be joinable, some operations in loop can't be interrupted"),
              1u);
    EXPECT_EQ(log_.count("loop() started;"), 0u);
    EXPECT_EQ(bench_.driver().check_connect(), -10002);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, MonitoringBadSettings,
    ::testing::Values(BadSettings{"EmptyAddress", "", "8080", "Invalid base URL: host is empty", true},
                      BadSettings{"PortWithoutDigits", "127.0.0.1", "abc", "stoi", true},
                      BadSettings{"PortBeyondInt", "127.0.0.1", "99999999999", "stoi", false},
                      BadSettings{"PortBeyondTcp", "127.0.0.1", "70000", "Port out of range", true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MonitoringLifecycle, SecondSettingsJoinTheFirstWorkerBeforeTheNextStarts) {
    RecordingServer second(tokenOrEmpty);
    apply("127.0.0.1", std::to_string(service_.port()), 100);
    ASSERT_TRUE(waitUntil([&] { return log_.count("loop() started;") >= 2; }, std::chrono::seconds(10)));
    apply("127.0.0.1", std::to_string(second.port()), 100);
    EXPECT_EQ(log_.count("info", "worker_ with loop() destroyed success;"), 1u);
    const size_t firstServiceRequests = service_.requests().size();

    // The new worker authenticates afresh at the new service and iterates there alone.
    ASSERT_TRUE(waitUntil([&] { return tokenRequests(second) == 1; }, std::chrono::seconds(10)));
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_EQ(service_.requests().size(), firstServiceRequests);
    bench_.driver().stop();
    EXPECT_EQ(log_.count("info", "worker_ with loop() destroyed success;"), 2u);

    const size_t iterations = log_.count("loop() started;");
    const size_t finished = log_.count("current loop() finished");
    EXPECT_EQ(iterations, finished);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(log_.count("loop() started;"), iterations);
}

TEST_F(MonitoringLifecycle, StopDuringALongPeriodReturnsAtOnce) {
    apply("127.0.0.1", std::to_string(service_.port()), 20000);
    ASSERT_TRUE(waitUntil([&] { return tokenRequests(service_) == 1; }, std::chrono::seconds(10)));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto started = std::chrono::steady_clock::now();
    bench_.driver().stop();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
    EXPECT_EQ(log_.count("current loop() finished"), 1u);
}

TEST_F(MonitoringLifecycle, AttributesChangedReachesTheDeviceDataWhileItLives) {
    MigratedDatabase database;
    std::mutex lock;
    auto driver = std::make_shared<OrvixDriver>("127.0.0.1", 9, lock, database.db());
    auto deviceData = std::make_shared<DeviceDataProvider>(driver);
    MonitoringSetup setup;
    setup.deviceData = deviceData;
    bench_.configureStopped(service_, setup, tokenOrEmpty);

    deviceData->attributes_send();  // an incomplete list: still to be sent
    ASSERT_TRUE(deviceData->need_sending_attributes());
    bench_.driver().attributes_update();
    EXPECT_TRUE(deviceData->need_sending_attributes());
    EXPECT_EQ(log_.countContaining("device_data_provider_ expired"), 0u);

    deviceData.reset();
    setup.deviceData.reset();
    bench_.driver().attributes_update();
    EXPECT_EQ(log_.count("error", "device_data_provider_ expired, can't exec attributes_update();"), 1u);
}

TEST_F(MonitoringLifecycle, TaskHandlersLearnWhichClientTheyServe) {
    auto handlers = std::make_shared<RecordingTaskHandlers>();
    MonitoringSetup setup;
    setup.tasks = handlers;
    bench_.configureStopped(service_, setup, tokenOrEmpty);
    EXPECT_EQ(handlers->monitoring(), &bench_.driver());
}

}  // namespace
}  // namespace orvix::test
