// The monitoring worker: once per request period it makes sure a token is held,
// finds the device id (again every period until it has one), reports changed
// attributes, sends the queued recognitions and then the alerts back to back for
// about one period, and runs one remote task. An entry the cloud refuses waits for
// its own next try while those behind it go on; a cloud or storage in trouble
// pauses its queue. Each step is a named block with its timing line.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <system_error>

#include <fmt/format.h>
#include <boost/json.hpp>

#include <Poco/DateTime.h>
#include <Poco/DateTimeFormat.h>
#include <Poco/DateTimeParser.h>
#include <Poco/NumberParser.h>
#include <Poco/String.h>
#include <Poco/Timestamp.h>

#include "device_data_provider.h"
#include "logger.h"
#include "monitoring.h"
#include "monitoring_documents.h"
#include "queries.h"
#include "s3client_provider.h"

namespace velmora::Engine::Sync {
namespace {

using Logging::log;
using namespace Utils::Queries;

constexpr long long kSlowBlockMs = 7000;
const std::string kObjectKeyPrefix = "VelmoraMonitoring/RecognitionModules/";

// Times one block on the steady clock in whole milliseconds and, when the block
// went on to the rest of the iteration, writes its timing line.
class BlockTimer {
public:
    // `always`: the timing line is written even for a block that took under 1 ms.
    BlockTimer(const char* name, bool always)
        : name_(name), always_(always), started_(std::chrono::steady_clock::now()) {}

    void report() const {
        const long long ms =
            std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - started_)
                .count() /
            1000000;
        if (always_ || ms >= 1) {
            log().info("{} block took {} ms", name_, ms);
        }
        if (ms > kSlowBlockMs) {
            log().warn("Slow run in {} ({} ms)!", name_, ms);
        }
    }

private:
    const char* name_;
    bool always_;
    std::chrono::steady_clock::time_point started_;
};

long long nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// How long a 429 or 503 answer asks the client to wait: Retry-After as seconds or
// as an HTTP date; none when it is absent or unreadable. At most an hour.
std::optional<std::chrono::milliseconds> retryAfter(const REST::RawResponse& response) {
    std::string text;
    for (const auto& [name, value] : response.headers) {
        if (Poco::icompare(name, "Retry-After") == 0) {
            text = Poco::trim(value);
        }
    }
    if (text.empty()) {
        return std::nullopt;
    }
    long long ms = 0;
    unsigned seconds = 0;
    if (Poco::NumberParser::tryParseUnsigned(text, seconds)) {
        ms = static_cast<long long>(seconds) * 1000;
    } else {
        Poco::DateTime date;
        int zone = 0;
        if (!Poco::DateTimeParser::tryParse(Poco::DateTimeFormat::HTTP_FORMAT, text, date, zone)) {
            return std::nullopt;
        }
        const Poco::Timestamp when =
            date.timestamp() - static_cast<Poco::Timestamp::TimeDiff>(zone) * 1000000;
        ms = std::max<long long>(0, (when - Poco::Timestamp()) / 1000);
    }
    return std::chrono::milliseconds(std::min<long long>(ms, 3600LL * 1000));
}

// A cloud's answer body as it goes into a log line and a stored refusal.
std::string cutForLog(const std::string& body) {
    constexpr std::size_t kMax = 512;
    return body.size() <= kMax ? body : body.substr(0, kMax) + "...";
}

std::optional<std::chrono::system_clock::time_point> acceptedAt(const std::atomic<long long>& ms) {
    const long long value = ms.load();
    if (value == 0) {
        return std::nullopt;
    }
    return std::chrono::system_clock::time_point(std::chrono::milliseconds(value));
}

}  // namespace

std::optional<std::chrono::system_clock::time_point> MonitoringDriver::lastRecognitionAccepted() const {
    return acceptedAt(last_recognition_accepted_ms_);
}

std::optional<std::chrono::system_clock::time_point> MonitoringDriver::lastAlertAccepted() const {
    return acceptedAt(last_alert_accepted_ms_);
}

void MonitoringDriver::appendSegment(std::string& path, std::string segment) {
    if (!segment.empty() && segment.front() == '/') {
        segment.erase(0, 1);
    }
    if (!segment.empty() && segment.back() == '/') {
        segment.pop_back();
    }
    if (!segment.empty()) {
        path += "/" + segment;
    }
}

void MonitoringDriver::loop() {
    const Utils::StopSignal::Binding stopBinding(stop_signal_);
    while (running_) {
        std::unique_lock<std::mutex> lock(loop_mutex_);
        if (!running_) {
            return;
        }
        log().info("loop() started;");
        try {
            runIteration(lock);
        } catch (const std::exception& error) {
            // Every step handles its own expected failures; this keeps the worker
            // alive through anything else.
            log().error("loop() iteration failed: {};", describe(error));
            waitPeriod(lock);
        } catch (...) {
            log().error("loop() iteration failed: unknown error;");
            waitPeriod(lock);
        }
        log().info("current loop() finished");
    }
}

bool MonitoringDriver::waitPeriod(std::unique_lock<std::mutex>& lock) {
    const auto deadline = std::chrono::system_clock::now() + std::chrono::milliseconds(request_frequency_);
    return wake_.wait_until(lock, deadline, [this] { return !running_; });
}

void MonitoringDriver::runIteration(std::unique_lock<std::mutex>& lock) {
    if (!tokenStep()) {
        waitPeriod(lock);
        return;
    }
    if (!running_) {
        return;
    }
    // Held for the rest of the iteration, so the provider outlives its use here.
    const auto deviceData = device_data_provider_.lock();
    if (!deviceData) {
        // Without it the device id and the attributes cannot be had; the queues and
        // the tasks still go on when the id is known.
        log().error("device_data_provider_ expired, reinit required to continue event loop...");
    } else {
        if (!autosearchStep(*deviceData)) {
            waitPeriod(lock);
            return;
        }
        if (!running_) {
            return;
        }
        attributesStep(*deviceData);
    }
    // Every per-device path needs the id: without one the queues wait.
    if (device_id_.empty()) {
        waitPeriod(lock);
        return;
    }
    if (!running_) {
        return;
    }
    // About one period of sending, so a backlog drains within minutes while a task
    // still gets its turn every period.
    const auto budgetEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(request_frequency_);
    bool more = false;
    if (!recognitionStep(budgetEnd, more)) {
        waitPeriod(lock);
        return;
    }
    if (!running_) {
        return;
    }
    if (!alertStep(budgetEnd, more)) {
        waitPeriod(lock);
        return;
    }
    if (!running_) {
        return;
    }
    taskStep();
    // An iteration whose sending took the whole budget has had its period already:
    // the next one starts at once, until the backlog is gone.
    if (running_ && !more) {
        waitPeriod(lock);
    }
}

bool MonitoringDriver::tokenStep() {
    const BlockTimer timer("Token check", true);
    try {
        if (!refreshTokenIfNeeded()) {
            log().info("Monitoring refresh token;");
            return false;
        }
    } catch (const std::exception& error) {
        log().info("Auth error: {};", describe(error));
        return false;
    }
    timer.report();
    return true;
}

void MonitoringDriver::noteAutosearch(const std::string& state) {
    if (state == autosearch_state_) {
        return;
    }
    autosearch_state_ = state;
    if (!state.empty()) {
        log().warn("{}; searching again every period;", state);
    }
}

bool MonitoringDriver::autosearchStep(DeviceDataProvider& deviceData) {
    const BlockTimer timer("Autosearch device_id", false);
    if (!device_id_.empty()) {
        autosearch_done_ = true;
        timer.report();
        return true;
    }
    // A module that comes up after the agent has no serial number at first, and a
    // device may be registered later: the search goes on every period until one
    // device is found.
    const std::string serial = deviceData.get_serial_number();
    if (serial.empty()) {
        noteAutosearch("Autosearch device_id: the module reports no serial number");
        return false;
    }
    const auto [code, response] = get_device_list(
        {{"serial_number", serial}, {"model", "Velmora Orvix Module"}, {"type", "recognition_module"}});
    if (code != 0) {
        noteAutosearch("Autosearch device_id: device lookup failed with status " +
                       std::to_string(response.status));
        return false;
    }

    std::string id;
    try {
        const boost::json::value parsed = boost::json::parse(response.body);
        const boost::json::array& devices = parsed.as_object().at("data").as_array();
        if (devices.size() != 1) {
            noteAutosearch(fmt::format("Autosearch device_id: {} devices registered for serial number {}",
                                       devices.size(), serial));
            return false;
        }
        const boost::json::value& deviceId = devices.front().as_object().at("id");
        id = deviceId.is_string() ? std::string(deviceId.get_string()) : boost::json::serialize(deviceId);
    } catch (const std::exception& error) {
        noteAutosearch("Autosearch device_id failed, unreadable device list: " + describe(error));
        return false;
    }
    if (id.empty()) {
        noteAutosearch("Autosearch device_id: the registry gave an empty id for serial number " + serial);
        return false;
    }

    try {
        std::lock_guard<std::mutex> configLock(config_mutex_);
        config_["velmora_monitoring_device_id"] = id;
        upsertConfig(session_, "velmora_monitoring_device_id", "string", id);
    } catch (const std::exception& error) {
        log().error("Autosearch device_id failed, device id {} not stored: {};", id, describe(error));
        return false;
    }
    device_id_ = id;
    autosearch_done_ = true;
    autosearch_state_.clear();
    log().info("Autosearch device_id found device_id={};", id);
    timer.report();
    return true;
}

void MonitoringDriver::attributesStep(DeviceDataProvider& deviceData) {
    if (device_id_.empty() || !deviceData.need_sending_attributes()) {
        return;
    }
    const BlockTimer timer("Attributes sending", true);
    try {
        const boost::json::array attributes = deviceData.get_attributes();
        if (!attributes.empty()) {
            const auto response = client_->Post(fullPath("/attributes"), attributes);
            if (response.status == 200) {
                deviceData.attributes_send();
            } else if (response.status == 401) {
                dropToken();
            }
        }
    } catch (const std::exception& error) {
        log().error("send_attribute() exception: {};", describe(error));
    }
    timer.report();
}

long long MonitoringDriver::retryPauseMs(int attempts) const {
    constexpr long long kMaxPauseMs = 3600LL * 1000;
    long long pause = std::max<long long>(request_frequency_, 1);
    for (int i = 0; i < attempts && pause < kMaxPauseMs; ++i) {
        pause *= 2;
    }
    return std::min(pause, kMaxPauseMs);
}

bool MonitoringDriver::sendingPaused() const {
    return std::chrono::steady_clock::now() < sending_paused_until_;
}

MonitoringDriver::Delivery MonitoringDriver::answerFailedPost(
    const REST::RawResponse& response, const std::string& what, int attempts,
    const std::function<void(long long, const std::string&)>& defer) {
    const int status = response.status;
    if (status == 401) {
        dropToken();
        return Delivery::Paused;
    }
    if (const auto wait = retryAfter(response); wait && (status == 429 || status == 503)) {
        // The cloud said when to come back; nothing is sent before then.
        sending_paused_until_ = std::chrono::steady_clock::now() + *wait;
        log().warn("The cloud asks to wait {} ms before sending again (status {});", wait->count(), status);
        return Delivery::Paused;
    }
    if (status >= 400 && status < 500 && status != 408 && status != 429) {
        // A refusal of this entry: it waits on its own, the ones behind it go on.
        const long long pause = retryPauseMs(attempts);
        const std::string refusal =
            fmt::format("{} {}: {}", status, response.reason, cutForLog(response.body));
        log().error("{} refused by the cloud: {}; next try in {} ms;", what, refusal, pause);
        defer(nowMs() + pause, refusal);
        return Delivery::Deferred;
    }
    return Delivery::Paused;  // the cloud is in trouble: the queue waits a period
}

bool MonitoringDriver::recognitionStep(std::chrono::steady_clock::time_point budgetEnd, bool& more) {
    const BlockTimer timer("Recognition processing", false);
    while (running_ && !sendingPaused()) {
        std::optional<RecognitionQueueEntry> entry;
        try {
            std::lock_guard<std::mutex> configLock(config_mutex_);
            entry = getNextRecognitionQueue(session_, nowMs());
        } catch (const std::exception& error) {
            log().error("Recognition processing failed, queue not readable: {};", describe(error));
            return false;
        }
        if (!entry) {
            break;
        }
        if (std::chrono::steady_clock::now() >= budgetEnd) {
            more = true;
            break;
        }
        const Delivery delivery = sendRecognition(*entry);
        if (delivery == Delivery::Paused) {
            break;
        }
    }
    timer.report();
    return true;
}

MonitoringDriver::Delivery MonitoringDriver::sendRecognition(RecognitionQueueEntry& entry) {
    const auto defer = [&](long long nextTryMs, const std::string& refusal, bool pictureFailed) {
        try {
            std::lock_guard<std::mutex> configLock(config_mutex_);
            deferRecognitionQueue(session_, entry.id, nextTryMs, refusal, pictureFailed, nowMs());
        } catch (const std::exception& error) {
            log().error("Recognition processing: next try of entry {} not stored: {};", entry.id,
                        describe(error));
        }
    };

    // A picture uploaded for an earlier attempt keeps its stored URL (the upload
    // removed the local file), so only entries without one are uploaded.
    if (image_sending_enable_ && entry.image_url.empty()) {
        const std::string localPath = (std::filesystem::path(images_folder_) / (entry.sid + ".jpg")).string();
        std::error_code fsError;
        const bool exists = std::filesystem::exists(localPath, fsError);
        if (fsError) {
            log().error("Recognition processing failed, can't check local image {}: {};", localPath,
                        fsError.message());
            return Delivery::Paused;
        }
        if (!exists) {
            log().warn("Local image not found: {};", localPath);
        } else if (auto storage = s3_.lock(); !storage) {
            log().warn("Dependency object for send S3 destroyed;");
        } else {
            const std::string key = kObjectKeyPrefix + device_id_ + "/Images/" + entry.sid + ".jpg";
            std::string url;
            if (storage->uploadFile(localPath, key, url, true)) {
                entry.image_url = url;
                log().info("Uploaded image через S3ClientProvider, URL: {};", url);
                try {
                    std::lock_guard<std::mutex> configLock(config_mutex_);
                    updateImageUrl(session_, url, entry.id);
                } catch (const std::exception& error) {
                    // The URL still travels with this attempt.
                    log().error("Recognition processing: image URL of entry {} not stored: {};", entry.id,
                                describe(error));
                }
            } else {
                log().warn("Failed to load to S3 (after {} attempts), path: {};",
                           S3ClientProvider::kUploadAttempts, localPath);
                const long long failingSince = entry.picture_failing_ms.value_or(nowMs());
                const long long waitedMs = nowMs() - failingSince;
                if (waitedMs < std::chrono::milliseconds(picture_upload_max_wait_).count()) {
                    // The storage is out: the recognition waits with its picture, and so
                    // do the ones behind it until the next try.
                    const long long pause = retryPauseMs(entry.attempts);
                    log().warn("Recognition {} waits for its picture to be stored; next try in {} ms;",
                               entry.sid, pause);
                    defer(nowMs() + pause, "", true);
                    return Delivery::Paused;
                }
                log().warn("Recognition {} is sent without its picture: object storage has failed for {} s;",
                           entry.sid, waitedMs / 1000);
            }
        }
    }

    std::vector<RecognitionValueEntry> candidates;
    try {
        std::lock_guard<std::mutex> configLock(config_mutex_);
        candidates = getRecognitionValues(session_, entry.id);
    } catch (const std::exception& error) {
        log().error("Recognition processing failed, candidates of entry {} not readable: {};", entry.id,
                    describe(error));
        return Delivery::Paused;
    }

    REST::RawResponse response;
    try {
        const auto warnUncarried = [&](const std::string& code) {
            if (!productCodeNumber(code)) {
                log().warn(
                    "Recognition {}: product code \"{}\" is not an integer of up to 64 bits; the cloud gets "
                    "0;",
                    entry.sid, code);
            }
        };
        boost::json::object payload;
        payload["recognition_session"] = entry.sid;
        payload["response_time_ms"] = entry.response_time_ms;
        payload["method_of_selection"] = entry.method_of_selection;
        payload["position_relevance"] = entry.position_relevance;
        warnUncarried(entry.product_code_text);
        payload["product_code"] = entry.product_code;
        payload["product_category"] = entry.product_category;
        payload["product_name"] = entry.product_name;
        payload["product_weight"] = entry.product_weight;
        boost::json::array top;
        for (const auto& candidate : candidates) {
            warnUncarried(candidate.product_code_text);
            boost::json::object item;
            item["product_code"] = candidate.product_code;
            item["product_name"] = candidate.product_name;
            item["product_category"] = candidate.product_category;
            item["product_rate"] = candidate.product_rate;
            top.push_back(std::move(item));
        }
        payload["top_recognition"] = std::move(top);
        payload["recognition_image_url"] = entry.image_url;
        log().info("Recognition payload JSON: {}", Logging::shortened(boost::json::serialize(payload)));

        response = client_->Post(fullPath("/recognition"), payload);
        log().info("loop(): sended recognition;");
    } catch (const std::exception& error) {
        log().error("Recognition POST failed: {};", describe(error));
        return Delivery::Paused;
    }
    if (response.status != 200) {
        log().error("Recognition POST failed: {};", response.reason);
        return answerFailedPost(
            response, "Recognition " + entry.sid, entry.attempts,
            [&](long long nextTryMs, const std::string& refusal) { defer(nextTryMs, refusal, false); });
    }
    last_recognition_accepted_ms_ = nowMs();

    try {
        std::lock_guard<std::mutex> configLock(config_mutex_);
        deleteFromRecognitionQueue(session_, entry.id);
    } catch (const std::exception& error) {
        log().error("Recognition processing failed, sent entry {} not removed from the queue: {};", entry.id,
                    describe(error));
        return Delivery::Paused;
    }
    log().info("loop(): deleted recognition from queue with id: {};", entry.id);
    return Delivery::Accepted;
}

bool MonitoringDriver::alertStep(std::chrono::steady_clock::time_point budgetEnd, bool& more) {
    const BlockTimer timer("Alert processing", false);
    bool first = true;
    while (running_ && !sendingPaused()) {
        std::optional<AlertQueueEntry> alert;
        try {
            std::lock_guard<std::mutex> configLock(config_mutex_);
            alert = getNextAlertQueue(session_, nowMs());
        } catch (const std::exception& error) {
            log().error("Alert processing failed, queue not readable: {};", describe(error));
            return false;
        }
        if (!alert) {
            break;
        }
        // The recognitions may have spent the budget; the alerts still get one send.
        if (!first && std::chrono::steady_clock::now() >= budgetEnd) {
            more = true;
            break;
        }
        first = false;
        if (sendAlert(*alert) == Delivery::Paused) {
            break;
        }
    }
    timer.report();
    return true;
}

MonitoringDriver::Delivery MonitoringDriver::sendAlert(const AlertQueueEntry& alert) {
    REST::RawResponse response;
    try {
        boost::json::object payload;
        payload["error_code"] = alert.code;
        payload["description"] = "[" + alert.created_at + "] " + alert.description;
        log().info("Alert payload JSON: {}", Logging::shortened(boost::json::serialize(payload)));
        response = client_->Post(fullPath("/alert"), payload);
        log().info("loop(): sended alert;");
    } catch (const std::exception& error) {
        log().error("Alert POST failed: {};", describe(error));
        return Delivery::Paused;
    }
    if (response.status != 200) {
        log().error("Alert POST failed: {};", response.reason);
        return answerFailedPost(response, "Alert " + std::to_string(alert.id), alert.attempts,
                                [&](long long nextTryMs, const std::string& refusal) {
                                    try {
                                        std::lock_guard<std::mutex> configLock(config_mutex_);
                                        deferAlertQueue(session_, alert.id, nextTryMs, refusal, nowMs());
                                    } catch (const std::exception& error) {
                                        log().error("Alert processing: next try of alert {} not stored: {};",
                                                    alert.id, describe(error));
                                    }
                                });
    }
    last_alert_accepted_ms_ = nowMs();

    try {
        std::lock_guard<std::mutex> configLock(config_mutex_);
        deleteFromAlertQueue(session_, alert.id);
    } catch (const std::exception& error) {
        log().error("Alert processing failed, sent alert {} not removed from the queue: {};", alert.id,
                    describe(error));
        return Delivery::Paused;
    }
    log().info("loop(): deleted alert from queue with id: {};", alert.id);
    return Delivery::Accepted;
}

void MonitoringDriver::taskStep() {
    if (!getting_tasks_) {
        return;
    }
    const BlockTimer timer("Tasks fetching", true);
    std::optional<Utils::Models::Task> task;
    try {
        const auto response = client_->Get(fullPath("/task"));
        if (response.status == 204) {
            log().info("No tasks available;");
        } else if (response.status != 200) {
            log().warn("Task fetch failed: status {} {};", response.status, response.reason);
            if (response.status == 401) {
                dropToken();
            }
        } else {
            task = readTask(response.body);
        }
    } catch (const std::exception& error) {
        log().warn("Task fetch failed: {};", describe(error));
        task.reset();
    }
    if (task) {
        log().info("Received task: id={} type={};", task->id, task->type);
        try {
            executeTaskHandler(*task);
        } catch (const std::exception& error) {
            log().warn("Task {} not answered: {};", task->id, describe(error));
        }
    }
    timer.report();
}

}  // namespace velmora::Engine::Sync
