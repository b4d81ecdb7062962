// The monitoring worker's iterations against a recording stand-in for the service,
// a migrated database with queued rows, s3rver for the pictures and the module
// simulator behind a real driver for the device data.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>

#include <boost/json.hpp>

#include <Poco/DateTimeFormat.h>
#include <Poco/DateTimeFormatter.h>
#include <Poco/Timespan.h>
#include <Poco/Timestamp.h>

#include "captured_log.h"
#include "device_data_provider.h"
#include "driver.h"
#include "module_sim_peer.h"
#include "monitoring.h"
#include "monitoring_bench.h"
#include "queries.h"
#include "s3client_provider.h"
#include "s3rver_fixture.h"
#include "stalling_peer.h"
#include "storage_fixture.h"
#include "test_support.h"

namespace orvix::test {
namespace {

using namespace velmora::Utils::Queries;
using velmora::Engine::Driver::OrvixDriver;
using velmora::Engine::Sync::DeviceDataProvider;
using velmora::Engine::Sync::S3ClientProvider;
using Clock = std::chrono::steady_clock;

const auto kWait = std::chrono::seconds(15);

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// What the stand-in service answers; every part can be changed while the worker runs.
class ServiceScript {
public:
    std::atomic<int> recognitionStatus{200};
    std::atomic<int> failFirstRecognitions{0};  // answered 500 before recognitionStatus applies
    std::atomic<int> alertStatus{200};
    // Recognitions of this sid are answered with this status (0: not refused).
    std::string refusedSid;
    std::atomic<int> refusedStatus{0};
    // The next `throttled` recognitions and alerts are answered 429 with this Retry-After.
    std::atomic<int> throttled{0};
    std::string retryAfter;

    void setDeviceList(int status, const std::string& body) {
        std::lock_guard<std::mutex> lock(mutex_);
        lookup_ = jsonReply(status, body);
    }
    void setTask(int status, const std::string& body) {
        std::lock_guard<std::mutex> lock(mutex_);
        task_ = jsonReply(status, body);
    }

    CannedReply answer(const RecordedRequest& request) {
        if (isTokenRequest(request)) {
            return jsonReply(200, standardTokenAnswer("T1", 600));
        }
        if (request.uri.rfind("/api/v1/devices?", 0) == 0) {
            std::lock_guard<std::mutex> lock(mutex_);
            return lookup_;
        }
        if ((endsWith(request.uri, "/recognition") || endsWith(request.uri, "/alert")) && throttled > 0) {
            --throttled;
            CannedReply reply = jsonReply(429);
            reply.headers.emplace_back("Retry-After", retryAfter);
            return reply;
        }
        if (endsWith(request.uri, "/recognition")) {
            if (refusedStatus != 0 &&
                boost::json::parse(request.body).at("recognition_session").as_string() == refusedSid) {
                return jsonReply(refusedStatus, R"({"error":"unknown product"})");
            }
            if (failFirstRecognitions > 0) {
                --failFirstRecognitions;
                return jsonReply(500);
            }
            return jsonReply(recognitionStatus);
        }
        if (endsWith(request.uri, "/alert")) {
            return jsonReply(alertStatus);
        }
        if (endsWith(request.uri, "/task")) {
            std::lock_guard<std::mutex> lock(mutex_);
            return task_;
        }
        return jsonReply(200);
    }

private:
    std::mutex mutex_;
    CannedReply lookup_ = jsonReply(200, R"({"data":[{"id":42}]})");
    CannedReply task_ = jsonReply(204, "");
};

class MonitoringLoop : public ::testing::Test {
protected:
    MonitoringLoop() : service_([this](const RecordedRequest& r) { return script_.answer(r); }) {}

    void TearDown() override { bench_.driver().stop(); }

    int queueRecognition(const std::string& sid, int candidates) {
        std::lock_guard<std::mutex> lock(bench_.lock());
        auto& session = bench_.database().session();
        const int id =
            addRecognitionQueue(session, sid, "manual", "top2", "101", "Fruit", "Apple", 0.25, 340);
        for (int top = 1; top <= candidates; ++top) {
            addRecognitionValue(session, std::to_string(100 + top), "Fruit", "Item " + std::to_string(top),
                                1.0 / (top + 1), id, top);
        }
        return id;
    }
    int queueAlert(int code, const std::string& description) {
        std::lock_guard<std::mutex> lock(bench_.lock());
        return addAlertQueue(bench_.database().session(), code, description);
    }
    int queued(const std::string& table) {
        std::lock_guard<std::mutex> lock(bench_.lock());
        return countRows(bench_.database().session(), table);
    }
    void withModule() {
        sim_ = std::make_unique<ModuleSimPeer>(simDir_.path());
        driver_ =
            std::make_shared<OrvixDriver>("127.0.0.1", sim_->port(), bench_.lock(), bench_.database().db());
        deviceData_ = std::make_shared<DeviceDataProvider>(driver_);
        setup_.deviceData = deviceData_;
    }
    void withStorage() {
        s3_ = std::make_unique<S3rverPeer>();
        storage_ = std::make_shared<S3ClientProvider>(s3_->endpoint(), s3_->bucket(), S3rverPeer::kAccessKey,
                                                      S3rverPeer::kSecretKey);
        setup_.storage = storage_;
        setup_.imageSending = true;
    }
    void start() { bench_.start(service_, setup_); }

    std::vector<RecordedRequest> posted(const std::string& tail) const {
        std::vector<RecordedRequest> found;
        for (const auto& request : service_.requests()) {
            if (endsWith(request.uri, tail)) {
                found.push_back(request);
            }
        }
        return found;
    }
    bool waitForPosts(const std::string& tail, size_t count) {
        return waitUntil([&] { return posted(tail).size() >= count; }, kWait);
    }
    bool waitForIterations(size_t count) {
        return waitUntil([&] { return log_.count("info", "loop() started;") >= count; }, kWait);
    }
    // Positions of the log lines equal to `text` (or, with `prefix`, starting with it).
    std::vector<size_t> linePositions(const std::string& text, bool prefix = false) const {
        std::vector<size_t> positions;
        const auto lines = log_.lines();
        for (size_t i = 0; i < lines.size(); ++i) {
            if (prefix ? lines[i].text.rfind(text, 0) == 0 : lines[i].text == text) {
                positions.push_back(i);
            }
        }
        return positions;
    }

    CapturedLog log_;
    ServiceScript script_;
    RecordingServer service_;
    TempDir images_;
    TempDir simDir_;
    std::unique_ptr<ModuleSimPeer> sim_;
    std::unique_ptr<S3rverPeer> s3_;
    std::shared_ptr<OrvixDriver> driver_;
    std::shared_ptr<DeviceDataProvider> deviceData_;
    std::shared_ptr<S3ClientProvider> storage_;
    MonitoringBench bench_;
    MonitoringSetup setup_ = [this] {
        MonitoringSetup setup;
        setup.periodMs = 150;
        setup.deviceId = "D1";
        setup.imagesFolder = images_.path();
        return setup;
    }();
};

TEST_F(MonitoringLoop, SendsTheQueueBackToBackWithItsPictures) {
    withStorage();
    withModule();
    const std::string picture = "\xFF\xD8 picture bytes \xFF\xD9";
    writeFile(images_.file("s-1.jpg"), picture);
    queueRecognition("s-1", 2);
    queueRecognition("s-2", 1);  // its picture was never saved
    start();
    ASSERT_TRUE(waitForPosts("/recognition", 2));
    ASSERT_TRUE(waitUntil([&] { return queued("recognition_queue") == 0; }, kWait));
    bench_.driver().stop();

    const auto sent = posted("/recognition");
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].uri, "/api/v1/devices/D1/recognition");
    EXPECT_EQ(sent[0].headers.at("Authorization"), "Bearer T1");
    const auto first = boost::json::parse(sent[0].body).as_object();
    std::vector<std::string> keys;
    for (const auto& member : first) {
        keys.emplace_back(member.key());
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"recognition_session", "response_time_ms",
                                              "method_of_selection", "position_relevance", "product_code",
                                              "product_category", "product_name", "product_weight",
                                              "top_recognition", "recognition_image_url"}));
    EXPECT_EQ(first.at("recognition_session").as_string(), "s-1");
    EXPECT_EQ(first.at("response_time_ms").as_int64(), 340);
    EXPECT_EQ(first.at("method_of_selection").as_string(), "manual");
    EXPECT_EQ(first.at("position_relevance").as_string(), "top2");
    EXPECT_EQ(first.at("product_code").as_int64(), 101);
    EXPECT_EQ(first.at("product_category").as_string(), "Fruit");
    EXPECT_EQ(first.at("product_name").as_string(), "Apple");
    EXPECT_DOUBLE_EQ(first.at("product_weight").to_number<double>(), 0.25);
    const auto& top = first.at("top_recognition").as_array();
    ASSERT_EQ(top.size(), 2u);
    for (size_t i = 0; i < top.size(); ++i) {
        const auto& candidate = top[i].as_object();
        std::vector<std::string> candidateKeys;
        for (const auto& member : candidate) {
            candidateKeys.emplace_back(member.key());
        }
        EXPECT_EQ(candidateKeys, (std::vector<std::string>{"product_code", "product_name", "product_category",
                                                           "product_rate"}));
        EXPECT_EQ(candidate.at("product_code").as_int64(), static_cast<int64_t>(101 + i));
        EXPECT_DOUBLE_EQ(candidate.at("product_rate").to_number<double>(), 1.0 / (i + 2));
    }

    const std::string key = "VelmoraMonitoring/RecognitionModules/D1/Images/s-1.jpg";
    EXPECT_EQ(first.at("recognition_image_url").as_string(), storage_->getObjectUrl(key));
    const auto stored = storage_->downloadFile(key);
    EXPECT_EQ(std::string(stored.begin(), stored.end()), picture);
    EXPECT_FALSE(std::filesystem::exists(images_.file("s-1.jpg")));
    EXPECT_EQ(log_.count("info",
                         "Uploaded image через S3ClientProvider, URL: " + storage_->getObjectUrl(key) + ";"),
              1u);
    EXPECT_EQ(log_.count("info", "Recognition payload JSON: " + sent[0].body), 1u);

    const auto second = boost::json::parse(sent[1].body).as_object();
    EXPECT_EQ(second.at("recognition_session").as_string(), "s-2");
    EXPECT_EQ(second.at("recognition_image_url").as_string(), "");
    EXPECT_EQ(log_.count("warning", "Local image not found: " + images_.file("s-2.jpg") + ";"), 1u);

    // Both went in the first iteration, one after the other.
    const auto sends = linePositions("loop(): sended recognition;");
    const auto starts = linePositions("loop() started;");
    ASSERT_EQ(sends.size(), 2u);
    EXPECT_TRUE(
        std::none_of(starts.begin(), starts.end(), [&](size_t s) { return s > sends[0] && s < sends[1]; }));
    EXPECT_EQ(log_.count("info", "loop(): deleted recognition from queue with id: 1;"), 1u);
}

TEST_F(MonitoringLoop, RefusedRecognitionStaysQueuedAndIsResentWithItsStoredPicture) {
    withStorage();
    setup_.gettingTasks = true;
    script_.failFirstRecognitions = 1;
    writeFile(images_.file("s-1.jpg"), "jpeg");
    queueRecognition("s-1", 1);
    queueAlert(-6103, "Camera lost");
    start();
    ASSERT_TRUE(waitForPosts("/recognition", 2));
    ASSERT_TRUE(waitForPosts("/alert", 1));
    bench_.driver().stop();

    EXPECT_EQ(log_.count("error", "Recognition POST failed: Internal Server Error;"), 1u);
    // The 500 paused the recognitions alone: the alert and the task went in the same
    // iteration, and the recognition was tried again in the next.
    const auto all = service_.requests();
    std::vector<std::string> uris;
    for (const auto& request : all) {
        if (!isTokenRequest(request)) {
            uris.push_back(request.uri);
        }
    }
    ASSERT_GE(uris.size(), 4u);
    EXPECT_EQ(uris[0], "/api/v1/devices/D1/recognition");
    EXPECT_EQ(uris[1], "/api/v1/devices/D1/alert");
    EXPECT_EQ(uris[2], "/api/v1/devices/D1/task");
    EXPECT_EQ(uris[3], "/api/v1/devices/D1/recognition");

    // The upload removed the local file; the second try carries the stored URL.
    const auto sent = posted("/recognition");
    const std::string url = storage_->getObjectUrl("VelmoraMonitoring/RecognitionModules/D1/Images/s-1.jpg");
    EXPECT_EQ(boost::json::parse(sent[0].body).at("recognition_image_url").as_string(), url);
    EXPECT_EQ(boost::json::parse(sent[1].body).at("recognition_image_url").as_string(), url);
    EXPECT_EQ(log_.countContaining("Uploaded image через S3ClientProvider"), 1u);
    EXPECT_EQ(log_.countContaining("Local image not found"), 0u);
    EXPECT_EQ(queued("recognition_queue"), 0);
}

TEST_F(MonitoringLoop, AlertIsSentWithItsTimeAndRemoved) {
    const int id = queueAlert(-6103, "Camera lost");
    std::string createdAt;
    {
        std::lock_guard<std::mutex> lock(bench_.lock());
        createdAt = queryText(bench_.database().session(), "SELECT created_at FROM alert_queue");
    }
    start();
    ASSERT_TRUE(waitForPosts("/alert", 1));
    ASSERT_TRUE(waitUntil([&] { return queued("alert_queue") == 0; }, kWait));
    bench_.driver().stop();

    const auto sent = posted("/alert");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].uri, "/api/v1/devices/D1/alert");
    boost::json::object expected;
    expected["error_code"] = -6103;
    expected["description"] = "[" + createdAt + "] Camera lost";
    EXPECT_EQ(sent[0].body, boost::json::serialize(expected));
    EXPECT_EQ(log_.count("info", "Alert payload JSON: " + sent[0].body), 1u);
    EXPECT_EQ(log_.count("info", "loop(): deleted alert from queue with id: " + std::to_string(id) + ";"),
              1u);
}

TEST_F(MonitoringLoop, RefusedAlertStaysQueuedAndTheTaskStillGetsItsTurn) {
    setup_.gettingTasks = true;
    script_.alertStatus = 503;
    queueAlert(-6103, "Camera lost");
    start();
    ASSERT_TRUE(waitForPosts("/alert", 2));
    bench_.driver().stop();
    EXPECT_GE(log_.count("error", "Alert POST failed: Service Unavailable;"), 2u);
    EXPECT_GE(posted("/task").size(), 1u);
    EXPECT_EQ(queued("alert_queue"), 1);
}

TEST_F(MonitoringLoop, RemembersWhenTheServiceLastAcceptedAPost) {
    // The recognition is accepted, the alert refused every time.
    script_.alertStatus = 503;
    queueRecognition("s-1", 1);
    queueAlert(-6103, "Camera lost");
    EXPECT_FALSE(bench_.driver().lastRecognitionAccepted());
    EXPECT_FALSE(bench_.driver().lastAlertAccepted());
    const auto before = std::chrono::system_clock::now();
    start();
    ASSERT_TRUE(waitForPosts("/alert", 1));
    bench_.driver().stop();
    const auto after = std::chrono::system_clock::now();

    const auto accepted = bench_.driver().lastRecognitionAccepted();
    ASSERT_TRUE(accepted);
    EXPECT_GE(*accepted + std::chrono::milliseconds(1), before);
    EXPECT_LE(*accepted, after);
    EXPECT_FALSE(bench_.driver().lastAlertAccepted());
}

TEST_F(MonitoringLoop, AutosearchStoresTheIdAndPostsAttributesInTheSameIteration) {
    withModule();
    setup_.deviceId = "";
    start();
    ASSERT_TRUE(waitForPosts("/attributes", 1));
    ASSERT_TRUE(waitForIterations(3));
    bench_.driver().stop();

    const std::string serial = driver_->get_device_info().second.sn;
    std::vector<RecordedRequest> lookups;
    for (const auto& request : service_.requests()) {
        if (request.uri.rfind("/api/v1/devices?", 0) == 0) {
            lookups.push_back(request);
        }
    }
    ASSERT_EQ(lookups.size(), 1u);
    EXPECT_EQ(lookups[0].method, "GET");
    EXPECT_EQ(lookups[0].uri, "/api/v1/devices?serial_number=" + serial +
                                  "&model=Velmora%20Orvix%20Module&type=recognition_module");

    const auto attributes = posted("/attributes");
    ASSERT_EQ(attributes.size(), 1u);  // complete and accepted: not sent again
    EXPECT_EQ(attributes[0].uri, "/api/v1/devices/42/attributes");
    EXPECT_EQ(boost::json::parse(attributes[0].body).as_array().size(), 28u);
    const auto blocks = linePositions("Attributes sending block took ", true);
    const auto starts = linePositions("loop() started;");
    ASSERT_FALSE(blocks.empty());
    ASSERT_GE(starts.size(), 2u);
    EXPECT_LT(blocks[0], starts[1]);

    std::lock_guard<std::mutex> lock(bench_.lock());
    const auto& stored = bench_.config().at("velmora_monitoring_device_id");
    EXPECT_TRUE(stored.isString());
    EXPECT_EQ(stored.toString(), "42");
    auto& session = bench_.database().session();
    EXPECT_EQ(
        queryText(session, "SELECT value FROM configurations WHERE key = 'velmora_monitoring_device_id'"),
        "42");
    EXPECT_EQ(
        queryText(session, "SELECT type FROM configurations WHERE key = 'velmora_monitoring_device_id'"),
        "string");
}

// A lookup that does not name exactly one device: the search goes on every period,
// logged once, and nothing is sent to a per-device path without an id.
struct LookupCase {
    const char* name;
    int status;
    std::string body;
    bool unreadable;  // logged as an unreadable device list
};

class MonitoringLookup : public MonitoringLoop, public ::testing::WithParamInterface<LookupCase> {};

TEST_P(MonitoringLookup, IsRepeatedEveryPeriodAndNothingGoesWithoutAnId) {
    const LookupCase& c = GetParam();
    withModule();
    setup_.deviceId = "";
    setup_.gettingTasks = true;
    script_.setDeviceList(c.status, c.body);
    queueRecognition("s-1", 1);
    queueAlert(-6103, "Camera lost");
    start();
    ASSERT_TRUE(waitForIterations(4));
    bench_.driver().stop();

    size_t lookups = 0;
    for (const auto& request : service_.requests()) {
        if (request.uri.rfind("/api/v1/devices?", 0) == 0) {
            ++lookups;
        } else {
            EXPECT_TRUE(isTokenRequest(request)) << "sent without a device id: " << request.uri;
        }
    }
    EXPECT_GE(lookups, 3u);
    EXPECT_EQ(log_.countContaining("searching again every period"), 1u);
    EXPECT_EQ(log_.countContaining("Autosearch device_id failed, unreadable device list: "),
              c.unreadable ? 1u : 0u);
    // The queues wait for the id.
    EXPECT_EQ(queued("recognition_queue"), 1);
    EXPECT_EQ(queued("alert_queue"), 1);
}

TEST_F(MonitoringLoop, ADeviceRegisteredLaterGetsTheQueuesGoing) {
    withModule();
    setup_.deviceId = "";
    script_.setDeviceList(200, R"({"data":[{"id":1},{"id":2}]})");
    queueRecognition("s-1", 1);
    start();
    ASSERT_TRUE(waitForIterations(3));
    EXPECT_TRUE(posted("/recognition").empty());
    script_.setDeviceList(200, R"({"data":[{"id":42}]})");
    ASSERT_TRUE(waitForPosts("/recognition", 1));
    bench_.driver().stop();
    EXPECT_EQ(posted("/recognition").front().uri, "/api/v1/devices/42/recognition");
    EXPECT_EQ(
        log_.count("warning", "Autosearch device_id: 2 devices registered for serial number " +
                                  driver_->get_device_info().second.sn + "; searching again every period;"),
        1u);
    EXPECT_EQ(log_.count("info", "Autosearch device_id found device_id=42;"), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, MonitoringLookup,
    ::testing::Values(LookupCase{"TwoDevices", 200, R"({"data":[{"id":1},{"id":2}]})", false},
                      LookupCase{"NoDevice", 200, R"({"data":[]})", false},
                      LookupCase{"Refused", 500, R"({"data":[{"id":1}]})", false},
                      LookupCase{"NotJson", 200, "<html>", true},
                      LookupCase{"NoDataArray", 200, R"({"data":{"id":1}})", true},
                      LookupCase{"ElementNotAnObject", 200, R"({"data":[42]})", true},
                      LookupCase{"ElementWithoutId", 200, R"({"data":[{"name":"till"}]})", true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MonitoringPaths, SegmentsLoseOneSlashAtEachEndAndEmptyOnesAreDropped) {
    RecordingServer service;
    MonitoringBench bench;
    MonitoringSetup setup;
    setup.deviceId = "D7";
    bench.configureStopped(service, setup, {});
    auto& d = bench.driver();
    EXPECT_EQ(d.fullPath(), "/api/v1/devices/D7");
    EXPECT_EQ(d.fullPath("/attributes"), "/api/v1/devices/D7/attributes");
    EXPECT_EQ(d.fullPath("task/"), "/api/v1/devices/D7/task");
    EXPECT_EQ(d.fullPath("/tasks", std::string("9"), "confirm"), "/api/v1/devices/D7/tasks/9/confirm");
    EXPECT_EQ(d.fullPath("//x//"), "/api/v1/devices/D7//x/");
    EXPECT_EQ(d.fullPath("", "/", "a"), "/api/v1/devices/D7/a");
}

TEST_F(MonitoringLoop, WithoutDeviceDataTheQueuesStillGo) {
    queueRecognition("s-1", 1);
    start();
    ASSERT_TRUE(waitForPosts("/recognition", 1));
    bench_.driver().stop();
    const auto expired =
        linePositions("device_data_provider_ expired, reinit required to continue event loop...");
    const auto sends = linePositions("loop(): sended recognition;");
    const auto starts = linePositions("loop() started;");
    ASSERT_FALSE(expired.empty());
    ASSERT_EQ(sends.size(), 1u);
    EXPECT_LT(expired[0], sends[0]);
    EXPECT_TRUE(posted("/attributes").empty());
    // The first iteration sent it.
    EXPECT_TRUE(starts.size() == 1 || sends[0] < starts[1]);
}

// What one task fetch brings and what the worker does with it.
struct FetchCase {
    const char* name;
    int status;
    std::string body;
    std::string level;
    std::string line;    // expected log line (prefix)
    std::string answer;  // the task answer then posted, or ""
};

class MonitoringTaskFetch : public MonitoringLoop, public ::testing::WithParamInterface<FetchCase> {};

TEST_P(MonitoringTaskFetch, IsReportedAndHandled) {
    const FetchCase& c = GetParam();
    setup_.gettingTasks = true;
    setup_.periodMs = 20000;
    script_.setTask(c.status, c.body);
    start();
    ASSERT_TRUE(waitUntil([&] { return !linePositions("Tasks fetching block took ", true).empty(); }, kWait));
    bench_.driver().stop();

    const auto fetches = posted("/task");
    ASSERT_EQ(fetches.size(), 1u);
    EXPECT_EQ(fetches[0].method, "GET");
    EXPECT_EQ(fetches[0].uri, "/api/v1/devices/D1/task");
    size_t found = 0;
    for (const auto& line : log_.lines()) {
        found += line.level == c.level && line.text.rfind(c.line, 0) == 0 ? 1 : 0;
    }
    if (c.line.empty()) {
        EXPECT_EQ(log_.countContaining("Task fetch failed"), 0u);
        EXPECT_EQ(log_.countContaining("No tasks available"), 0u);
        EXPECT_EQ(log_.countContaining("Received task"), 0u);
    } else {
        EXPECT_EQ(found, 1u);
    }
    std::vector<std::string> answers;
    for (const auto& request : service_.requests()) {
        if (request.uri.find("/tasks/") != std::string::npos) {
            answers.push_back(request.uri);
        }
    }
    EXPECT_EQ(answers, c.answer.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.answer});
}

INSTANTIATE_TEST_SUITE_P(
    Answers, MonitoringTaskFetch,
    ::testing::Values(
        FetchCase{"NoTask", 204, "", "info", "No tasks available;", ""},
        FetchCase{"NullBody", 200, "null", "", "", ""},
        FetchCase{"ServerError", 500, "{}", "warning", "Task fetch failed: status 500 Internal Server Error;",
                  ""},
        FetchCase{"NotJson", 200, "<html>", "warning", "Task fetch failed: ", ""},
        FetchCase{"MissingType", 200, R"({"id":"7","data":{}})", "warning", "Task fetch failed: ", ""},
        FetchCase{"NumericId", 200, R"({"id":7,"type":"reboot","data":{}})", "warning",
                  "Task fetch failed: ", ""},
        FetchCase{"DataNotAnObject", 200, R"({"id":"7","type":"reboot","data":[]})", "warning",
                  "Task fetch failed: ", ""},
        FetchCase{"UnknownTaskIsRejected", 200, R"({"id":"7","type":"reboot","data":{},"extra":1})", "info",
                  "Received task: id=7 type=reboot;", "/api/v1/devices/D1/tasks/7/reject"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MonitoringLoop, DatabaseFailureEndsTheIterationButNotTheWorker) {
    {
        std::lock_guard<std::mutex> lock(bench_.lock());
        bench_.database().db().Execute("ALTER TABLE recognition_queue RENAME TO recognition_queue_gone");
    }
    queueAlert(1, "x");
    start();
    ASSERT_TRUE(waitForIterations(3));
    bench_.driver().stop();
    EXPECT_GE(log_.countContaining("Recognition processing failed, queue not readable: "), 3u);
    EXPECT_TRUE(posted("/alert").empty());
}

TEST_F(MonitoringLoop, PictureThatCannotBeCheckedEndsTheIterationButNotTheWorker) {
    setup_.imageSending = true;
    queueRecognition(std::string(300, 'a'), 1);  // a file name longer than the file system allows
    start();
    ASSERT_TRUE(waitForIterations(3));
    bench_.driver().stop();
    EXPECT_GE(log_.countContaining("Recognition processing failed, can't check local image "), 2u);
    EXPECT_TRUE(posted("/recognition").empty());
    EXPECT_EQ(queued("recognition_queue"), 1);
}

TEST_F(MonitoringLoop, TokenRefusalWaitsAPeriodBeforeTheQueues) {
    service_.setResponder(
        [this](const RecordedRequest& r) { return isTokenRequest(r) ? jsonReply(401) : script_.answer(r); });
    queueAlert(1, "x");
    start();
    ASSERT_TRUE(waitForIterations(2));
    bench_.driver().stop();
    EXPECT_GE(log_.count("info", "Monitoring refresh token;"), 1u);
    EXPECT_TRUE(posted("/alert").empty());
}

// ---- delivery: refusals, throttling, storage outages ----

// A stop, or new settings, while a picture goes to a storage that does not answer:
// the upload in flight ends at once and tries no more, so the stop is quick.
TEST_F(MonitoringLoop, StopEndsAPictureUploadInFlight) {
    const struct {
        const char* sid;
        StallingPeer::Pace pace;
    } cases[] = {{"s-silent", StallingPeer::Pace::Silent}, {"s-trickling", StallingPeer::Pace::Trickle}};
    for (const auto& c : cases) {
        StallingPeer peer(c.pace);
        storage_ = std::make_shared<S3ClientProvider>(peer.baseUrl(), "develop", "id", "secret");
        setup_.storage = storage_;
        setup_.imageSending = true;
        writeFile(images_.file(std::string(c.sid) + ".jpg"), "\xFF\xD8 picture bytes \xFF\xD9");
        queueRecognition(c.sid, 1);
        start();
        EXPECT_TRUE(waitUntil([&] { return peer.received() > 0; }, kWait)) << c.sid;
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        const auto stop = Clock::now();
        bench_.driver().stop();
        EXPECT_LT(Clock::now() - stop, std::chrono::seconds(2)) << c.sid;
        EXPECT_EQ(peer.connections(), 1) << c.sid;
    }
    // One upload per stop, each ended in its first attempt.
    EXPECT_EQ(log_.countContaining("uploadFile: stopped after attempt 1, object key="), 2u);
}

// When each POST to a path was received, by the order of the recorded requests.
std::vector<Clock::time_point> postTimes(const std::vector<std::pair<Clock::time_point, std::string>>& seen,
                                         const std::string& sid) {
    std::vector<Clock::time_point> times;
    for (const auto& [at, body] : seen) {
        if (body.find("\"recognition_session\":\"" + sid + "\"") != std::string::npos) {
            times.push_back(at);
        }
    }
    return times;
}

TEST_F(MonitoringLoop, OneRefusedRecognitionHoldsNothingElseUp) {
    setup_.gettingTasks = true;
    script_.refusedSid = "s-1";
    script_.refusedStatus = 422;
    std::mutex seenMutex;
    std::vector<std::pair<Clock::time_point, std::string>> seen;
    service_.setResponder([&](const RecordedRequest& r) {
        if (endsWith(r.uri, "/recognition")) {
            std::lock_guard<std::mutex> lock(seenMutex);
            seen.emplace_back(Clock::now(), r.body);
        }
        return script_.answer(r);
    });
    queueRecognition("s-1", 1);
    queueRecognition("s-2", 1);
    queueRecognition("s-3", 1);
    queueAlert(-6103, "Camera lost");
    start();
    // The first iteration delivers everything behind the refused one and asks for a task.
    ASSERT_TRUE(waitForPosts("/task", 1));
    EXPECT_EQ(posted("/recognition").size(), 3u);
    EXPECT_EQ(posted("/alert").size(), 1u);
    EXPECT_EQ(queued("recognition_queue"), 1);
    EXPECT_EQ(queued("alert_queue"), 0);
    // Tried again after one period, then two, then four.
    ASSERT_TRUE(waitUntil(
        [&] {
            std::lock_guard<std::mutex> lock(seenMutex);
            return postTimes(seen, "s-1").size() >= 4;
        },
        kWait));
    bench_.driver().stop();
    std::vector<Clock::time_point> tries;
    {
        std::lock_guard<std::mutex> lock(seenMutex);
        tries = postTimes(seen, "s-1");
    }
    const auto gap = [&](size_t i) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(tries[i] - tries[i - 1]).count();
    };
    EXPECT_GE(gap(1), setup_.periodMs - 20);
    EXPECT_GE(gap(2), 2 * setup_.periodMs - 20);
    EXPECT_GE(gap(3), 4 * setup_.periodMs - 20);
    EXPECT_EQ(log_.countContaining("Recognition s-1 refused by the cloud: 422 Unprocessable Entity: "
                                   "{\"error\":\"unknown product\"}; next try in "),
              tries.size());

    std::lock_guard<std::mutex> lock(bench_.lock());
    auto& session = bench_.database().session();
    const auto backlog = getRecognitionQueueBacklog(session);
    EXPECT_EQ(backlog.count, 1);
    EXPECT_EQ(backlog.refused, 1);
    EXPECT_EQ(backlog.oldest_refusal, "422 Unprocessable Entity: {\"error\":\"unknown product\"}");
    EXPECT_EQ(queryText(session, "SELECT attempts FROM recognition_queue"), std::to_string(tries.size()));
}

// A throttling answer pauses both queues for as long as it asks.
struct ThrottleCase {
    const char* name;
    std::function<std::string()> retryAfter;
};

class MonitoringThrottle : public MonitoringLoop, public ::testing::WithParamInterface<ThrottleCase> {};

TEST_P(MonitoringThrottle, PausesSendingForRetryAfter) {
    setup_.periodMs = 100;
    script_.throttled = 1;
    script_.retryAfter = GetParam().retryAfter();
    std::mutex seenMutex;
    std::vector<Clock::time_point> sends;
    service_.setResponder([&](const RecordedRequest& r) {
        if (endsWith(r.uri, "/recognition") || endsWith(r.uri, "/alert")) {
            std::lock_guard<std::mutex> lock(seenMutex);
            sends.push_back(Clock::now());
        }
        return script_.answer(r);
    });
    queueRecognition("s-1", 1);
    queueAlert(-6103, "Camera lost");
    start();
    ASSERT_TRUE(
        waitUntil([&] { return queued("recognition_queue") == 0 && queued("alert_queue") == 0; }, kWait));
    bench_.driver().stop();
    std::lock_guard<std::mutex> lock(seenMutex);
    ASSERT_EQ(sends.size(), 3u);  // the throttled one, then the recognition and the alert
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(sends[1] - sends[0]).count(), 900);
    EXPECT_EQ(log_.countContaining("The cloud asks to wait "), 1u);
}

INSTANTIATE_TEST_SUITE_P(RetryAfter, MonitoringThrottle,
                         ::testing::Values(ThrottleCase{"Seconds", [] { return std::string("2"); }},
                                           ThrottleCase{"HttpDate",
                                                        [] {
                                                            // Two seconds ahead; the date has whole seconds,
                                                            // so at least one second is left.
                                                            return Poco::DateTimeFormatter::format(
                                                                Poco::Timestamp() +
                                                                    2 * Poco::Timespan::SECONDS,
                                                                Poco::DateTimeFormat::HTTP_FORMAT);
                                                        }}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(MonitoringLoop, StorageOutageKeepsThePictureUntilItIsStored) {
    withStorage();
    setup_.gettingTasks = true;
    const std::string picture = "\xFF\xD8 kept \xFF\xD9";
    writeFile(images_.file("s-1.jpg"), picture);
    queueRecognition("s-1", 1);
    queueAlert(-6103, "Camera lost");
    s3_->stop();
    start();
    // Alerts and tasks go on while the picture waits.
    ASSERT_TRUE(waitForPosts("/alert", 1));
    ASSERT_TRUE(waitForPosts("/task", 2));
    EXPECT_TRUE(posted("/recognition").empty());
    EXPECT_TRUE(std::filesystem::exists(images_.file("s-1.jpg")));
    s3_->restart();
    ASSERT_TRUE(waitForPosts("/recognition", 1));
    ASSERT_TRUE(waitUntil([&] { return queued("recognition_queue") == 0; }, kWait));
    bench_.driver().stop();
    const auto sent = posted("/recognition");
    ASSERT_EQ(sent.size(), 1u);
    const std::string key = "VelmoraMonitoring/RecognitionModules/D1/Images/s-1.jpg";
    EXPECT_EQ(boost::json::parse(sent[0].body).at("recognition_image_url").as_string(),
              storage_->getObjectUrl(key));
    const auto stored = storage_->downloadFile(key);
    EXPECT_EQ(std::string(stored.begin(), stored.end()), picture);
    EXPECT_GE(log_.countContaining("Recognition s-1 waits for its picture to be stored; next try in "), 1u);
}

TEST_F(MonitoringLoop, PictureWaitingBeyondItsLimitGoesWithout) {
    withStorage();
    writeFile(images_.file("s-1.jpg"), "jpeg");
    queueRecognition("s-1", 1);
    s3_->stop();
    bench_.driver().setPictureUploadMaxWait(std::chrono::seconds(0));
    start();
    ASSERT_TRUE(waitForPosts("/recognition", 1));
    bench_.driver().stop();
    EXPECT_EQ(boost::json::parse(posted("/recognition")[0].body).at("recognition_image_url").as_string(), "");
    EXPECT_EQ(
        log_.countContaining("Recognition s-1 is sent without its picture: object storage has failed for "),
        1u);
}

TEST_F(MonitoringLoop, CodesTravelAsChosen) {
    {
        std::lock_guard<std::mutex> lock(bench_.lock());
        auto& session = bench_.database().session();
        const int id =
            addRecognitionQueue(session, "s-ean", "recognition", "top1", "4006381333931", "", "", 0, 1);
        addRecognitionValue(session, "4006381333931", "", "", 0.9, id, 1);
        addRecognitionValue(session, "999999999999999999", "", "", 0.1, id, 2);
        const int other =
            addRecognitionQueue(session, "s-text", "recognition", "top1", "ABC-7", "", "", 0, 1);
        addRecognitionValue(session, "123456789012345678901", "", "", 0.5, other, 1);
    }
    start();
    ASSERT_TRUE(waitForPosts("/recognition", 2));
    bench_.driver().stop();
    const auto sent = posted("/recognition");
    const auto ean = boost::json::parse(sent[0].body).as_object();
    EXPECT_EQ(ean.at("product_code").as_int64(), 4006381333931);
    EXPECT_EQ(ean.at("top_recognition").as_array()[0].at("product_code").as_int64(), 4006381333931);
    EXPECT_EQ(ean.at("top_recognition").as_array()[1].at("product_code").as_int64(), 999999999999999999);
    const auto text = boost::json::parse(sent[1].body).as_object();
    EXPECT_EQ(text.at("product_code").as_int64(), 0);
    EXPECT_EQ(text.at("top_recognition").as_array()[0].at("product_code").as_int64(), 0);
    EXPECT_EQ(log_.count("warning",
                         "Recognition s-text: product code \"ABC-7\" is not an integer of up to 64 bits; the "
                         "cloud gets 0;"),
              1u);
    EXPECT_EQ(log_.countContaining("product code \"123456789012345678901\" is not an integer"), 1u);
    EXPECT_EQ(log_.countContaining("Recognition s-ean: product code"), 0u);
}

}  // namespace
}  // namespace orvix::test
