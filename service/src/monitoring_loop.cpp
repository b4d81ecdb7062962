// The monitoring worker: once per request period it makes sure a token is held,
// finds the device id, reports changed attributes, sends the oldest queued
// recognition and alert and runs one remote task. Each step is a named block with
// its timing line; a failed step ends the iteration after one period.
#include <chrono>
#include <filesystem>
#include <optional>
#include <system_error>

#include <boost/json.hpp>

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
        // the tasks still go on.
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
    if (!running_) {
        return;
    }
    if (!recognitionStep()) {
        waitPeriod(lock);
        return;
    }
    if (!running_) {
        return;
    }
    if (!alertStep()) {
        waitPeriod(lock);
        return;
    }
    if (!running_) {
        return;
    }
    taskStep();
    if (running_) {
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

bool MonitoringDriver::autosearchStep(DeviceDataProvider& deviceData) {
    const BlockTimer timer("Autosearch device_id", false);
    if (!device_id_.empty() || autosearch_done_) {
        autosearch_done_ = true;
        timer.report();
        return true;
    }
    autosearch_done_ = true;  // one attempt per driver instance, whatever its outcome

    const std::string serial = deviceData.get_serial_number();
    if (serial.empty()) {
        return false;
    }
    const auto [code, response] = get_device_list(
        {{"serial_number", serial}, {"model", "Velmora Orvix Module"}, {"type", "recognition_module"}});
    if (code != 0) {
        return false;
    }

    std::string id;
    try {
        const boost::json::value parsed = boost::json::parse(response.body);
        const boost::json::array& devices = parsed.as_object().at("data").as_array();
        if (devices.size() != 1) {
            log().warn("Autosearch device_id: {} devices registered for serial number {};", devices.size(),
                       serial);
            return false;
        }
        const boost::json::value& deviceId = devices.front().as_object().at("id");
        id = deviceId.is_string() ? std::string(deviceId.get_string()) : boost::json::serialize(deviceId);
    } catch (const std::exception& error) {
        log().error("Autosearch device_id failed, unreadable device list: {};", describe(error));
        return false;
    }

    device_id_ = id;
    try {
        std::lock_guard<std::mutex> configLock(config_mutex_);
        config_["velmora_monitoring_device_id"] = id;
        upsertConfig(session_, "velmora_monitoring_device_id", "string", id);
    } catch (const std::exception& error) {
        log().error("Autosearch device_id failed, device id {} not stored: {};", id, describe(error));
        return false;
    }
    log().info("Autosearch device_id found device_id={};", id);
    timer.report();
    return true;
}

void MonitoringDriver::attributesStep(DeviceDataProvider& deviceData) {
    if (!deviceData.need_sending_attributes()) {
        return;
    }
    const BlockTimer timer("Attributes sending", true);
    try {
        const boost::json::array attributes = deviceData.get_attributes();
        if (!attributes.empty()) {
            const auto response = client_->Post(fullPath("/attributes"), attributes);
            if (response.status == 200) {
                deviceData.attributes_send();
            }
        }
    } catch (const std::exception& error) {
        log().error("send_attribute() exception: {};", describe(error));
    }
    timer.report();
}

bool MonitoringDriver::recognitionStep() {
    const BlockTimer timer("Recognition processing", false);
    std::optional<RecognitionQueueEntry> entry;
    try {
        std::lock_guard<std::mutex> configLock(config_mutex_);
        entry = getNextRecognitionQueue(session_);
    } catch (const std::exception& error) {
        log().error("Recognition processing failed, queue not readable: {};", describe(error));
        return false;
    }
    if (!entry) {
        timer.report();
        return true;
    }

    // A picture uploaded for an earlier attempt keeps its stored URL (the upload
    // removed the local file), so only entries without one are uploaded.
    if (image_sending_enable_ && entry->image_url.empty()) {
        const std::string localPath =
            (std::filesystem::path(images_folder_) / (entry->sid + ".jpg")).string();
        std::error_code fsError;
        const bool exists = std::filesystem::exists(localPath, fsError);
        if (fsError) {
            log().error("Recognition processing failed, can't check local image {}: {};", localPath,
                        fsError.message());
            return false;
        }
        if (!exists) {
            log().warn("Local image not found: {};", localPath);
        } else if (auto storage = s3_.lock(); !storage) {
            log().warn("Dependency object for send S3 destroyed;");
        } else {
            const std::string key = kObjectKeyPrefix + device_id_ + "/Images/" + entry->sid + ".jpg";
            std::string url;
            if (storage->uploadFile(localPath, key, url, true)) {
                entry->image_url = url;
                log().info("Uploaded image через S3ClientProvider, URL: {};", url);
                try {
                    std::lock_guard<std::mutex> configLock(config_mutex_);
                    updateImageUrl(session_, url, entry->id);
                } catch (const std::exception& error) {
                    // The URL still travels with this attempt.
                    log().error("Recognition processing: image URL of entry {} not stored: {};", entry->id,
                                describe(error));
                }
            } else {
                log().warn("Failed to load to S3 (after {} attempts), path: {};",
                           S3ClientProvider::kUploadAttempts, localPath);
            }
        }
    }

    std::vector<RecognitionValueEntry> candidates;
    try {
        std::lock_guard<std::mutex> configLock(config_mutex_);
        candidates = getRecognitionValues(session_, entry->id);
    } catch (const std::exception& error) {
        log().error("Recognition processing failed, candidates of entry {} not readable: {};", entry->id,
                    describe(error));
        return false;
    }

    try {
        boost::json::object payload;
        payload["recognition_session"] = entry->sid;
        payload["response_time_ms"] = entry->response_time_ms;
        payload["method_of_selection"] = entry->method_of_selection;
        payload["position_relevance"] = entry->position_relevance;
        payload["product_code"] = entry->product_code;
        payload["product_category"] = entry->product_category;
        payload["product_name"] = entry->product_name;
        payload["product_weight"] = entry->product_weight;
        boost::json::array top;
        for (const auto& candidate : candidates) {
            boost::json::object item;
            item["product_code"] = candidate.product_code;
            item["product_name"] = candidate.product_name;
            item["product_category"] = candidate.product_category;
            item["product_rate"] = candidate.product_rate;
            top.push_back(std::move(item));
        }
        payload["top_recognition"] = std::move(top);
        payload["recognition_image_url"] = entry->image_url;
        log().info("Recognition payload JSON: {}", Logging::shortened(boost::json::serialize(payload)));

        const auto response = client_->Post(fullPath("/recognition"), payload);
        log().info("loop(): sended recognition;");
        if (response.status != 200) {
            log().error("Recognition POST failed: {};", response.reason);
            return false;
        }
        last_recognition_accepted_ms_ = nowMs();
    } catch (const std::exception& error) {
        log().error("Recognition POST failed: {};", describe(error));
        return false;
    }

    try {
        std::lock_guard<std::mutex> configLock(config_mutex_);
        deleteFromRecognitionQueue(session_, entry->id);
    } catch (const std::exception& error) {
        log().error("Recognition processing failed, sent entry {} not removed from the queue: {};", entry->id,
                    describe(error));
        return false;
    }
    log().info("loop(): deleted recognition from queue with id: {};", entry->id);
    timer.report();
    return true;
}

bool MonitoringDriver::alertStep() {
    const BlockTimer timer("Alert processing", false);
    std::optional<AlertQueueEntry> alert;
    try {
        std::lock_guard<std::mutex> configLock(config_mutex_);
        alert = getNextAlertQueue(session_);
    } catch (const std::exception& error) {
        log().error("Alert processing failed, queue not readable: {};", describe(error));
        return false;
    }
    if (!alert) {
        timer.report();
        return true;
    }

    try {
        boost::json::object payload;
        payload["error_code"] = alert->code;
        payload["description"] = "[" + alert->created_at + "] " + alert->description;
        log().info("Alert payload JSON: {}", Logging::shortened(boost::json::serialize(payload)));
        const auto response = client_->Post(fullPath("/alert"), payload);
        log().info("loop(): sended alert;");
        if (response.status != 200) {
            log().error("Alert POST failed: {};", response.reason);
            return false;
        }
        last_alert_accepted_ms_ = nowMs();
    } catch (const std::exception& error) {
        log().error("Alert POST failed: {};", describe(error));
        return false;
    }

    try {
        std::lock_guard<std::mutex> configLock(config_mutex_);
        deleteFromAlertQueue(session_, alert->id);
    } catch (const std::exception& error) {
        log().error("Alert processing failed, sent alert {} not removed from the queue: {};", alert->id,
                    describe(error));
        return false;
    }
    log().info("loop(): deleted alert from queue with id: {};", alert->id);
    timer.report();
    return true;
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
