#pragma once

// The agent's client of the cloud monitoring service. One worker thread runs the
// event loop (token, device id, attributes, the queued recognitions and alerts, one
// task per period); server threads use the same object for the registry pass-through, the
// connection check, the attributes-changed notification and the status view's
// times of the last accepted posts.
//
// Companion units: monitoring_token.cpp (authentication), monitoring_loop.cpp (the
// loop's steps), monitoring_tasks.cpp (task dispatch and answers),
// monitoring_registry.cpp (registry calls).
//
// Locks, outermost first: the loop lock (held by the worker for an iteration, by
// setMonitoringSettings after the worker was joined), then the handler lock or the
// token lock (never both), then the configuration lock, held only around single
// database or map operations and never across a network call.
//
// The service client is replaced only by setMonitoringSettings (after the worker was
// joined). Registry calls and check_connect from server threads must therefore not
// run concurrently with setMonitoringSettings: the server builds a new driver for
// every re-initialisation and calls it once, before any route can reach the driver.
// stop() and the destructor must not run on the worker thread itself (the
// re-initialisation callback hands the rebuild to another thread).

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include <Poco/Dynamic/Var.h>

#include "queries.h"
#include "restclient.h"
#include "stop_signal.h"
#include "task.h"

namespace Poco::Data {
class Session;
}

namespace velmora::Engine::Sync {

class S3ClientProvider;
class ITaskHandlerProvider;
class DeviceDataProvider;
struct TokenAnswer;

using Query = std::vector<std::pair<std::string, std::string>>;
// A result code (0 for status 200, -6207 otherwise) with the service's answer, or
// the 502 substitute when no answer came.
using RegistryResult = std::pair<int, REST::RawResponse>;

class MonitoringDriver {
public:
    MonitoringDriver(Poco::Data::Session& session,
                     std::unordered_map<std::string, Poco::Dynamic::Var>& config, std::mutex& configMutex);
    ~MonitoringDriver();
    MonitoringDriver(const MonitoringDriver&) = delete;
    MonitoringDriver& operator=(const MonitoringDriver&) = delete;

    // Stops the worker, applies the settings and starts the worker again. A port
    // text without digits or a base URL the REST client refuses throws; the worker
    // then stays stopped.
    void setMonitoringSettings(const std::string& serviceType, const std::string& address,
                               const std::string& port, const bool& gettingTasks,
                               const bool& imageSendingEnable, const long long& requestFrequency,
                               const std::string& clientSecret, const std::string& deviceId,
                               const std::string& imagesFolder, std::shared_ptr<S3ClientProvider> s3,
                               std::shared_ptr<ITaskHandlerProvider> taskHandlers,
                               std::shared_ptr<DeviceDataProvider> deviceData, std::function<void()> reinit);

    // Whether the next setMonitoringSettings builds a client that checks the cloud's
    // certificate against the system's CAs (the token endpoint is reached through
    // the same client). Off by default, as the service is deployed.
    void setTlsVerification(bool verify);

    // How long a recognition waits for object storage to take its picture before
    // the next setMonitoringSettings' worker sends it without one (default a day).
    void setPictureUploadMaxWait(std::chrono::seconds wait);

    void start();
    // Wakes a waiting worker at once and joins it. A cloud exchange in flight ends
    // at once, a module job a task waits for stops being polled, and a task cut
    // short is answered with an error if the cloud answers within a second.
    void stop() noexcept;

    void registerTaskHandler(const std::string& type, std::function<void(Utils::Models::Task&)> handler);
    void initTaskHandlers();

    // A module setting changed: the attributes are sent again on the next iteration.
    void attributes_update();

    // ---- authentication (monitoring_token.cpp) ----
    bool authenticate();
    bool refreshTokenIfNeeded();
    // 0 when an access token is held, -10002 otherwise. Never waits for a renewal.
    int check_connect();
    // The service answered 401: the token it refused is no longer used, check_connect
    // says so, and the next iteration renews it or authenticates afresh.
    void dropToken();

    // ---- event loop (monitoring_loop.cpp) ----
    void loop();
    // When the service last accepted a recognition or an alert of this client (its
    // POST answered 200); none before the first. Safe from any thread.
    std::optional<std::chrono::system_clock::time_point> lastRecognitionAccepted() const;
    std::optional<std::chrono::system_clock::time_point> lastAlertAccepted() const;
    template <typename... Segments>
    std::string fullPath(const Segments&... segments) const {
        std::string path = "/api/v1/devices/" + device_id_;
        (appendSegment(path, std::string(segments)), ...);
        return path;
    }

    // ---- task protocol (monitoring_tasks.cpp) ----
    void executeTaskHandler(Utils::Models::Task& task);
    void confirmTask(const Utils::Models::Task& task);
    void rejectTask(const Utils::Models::Task& task, const std::string& reason);
    void reportError(const Utils::Models::Task& task, const std::string& message,
                     const std::string& errorCode, const std::string& details);

    // ---- registry (monitoring_registry.cpp) ----
    RegistryResult get_stores_list(const Query& query);
    RegistryResult get_stores_types_list(const Query& query);
    RegistryResult get_stores_departments_list(const Query& query);
    RegistryResult get_stores_regions_list(const Query& query);
    RegistryResult get_devices_models_list(const Query& query);
    RegistryResult get_device_list(const Query& query);
    RegistryResult get_device_info(std::string id, const Query& query);
    RegistryResult delete_device(std::string id, const Query& query);
    RegistryResult get_device_attributes(std::string id, const Query& query);
    RegistryResult get_device_attributes_list(const std::string& body, const Query& query);
    RegistryResult create_device(const std::string& body, const Query& query);
    RegistryResult update_device_data(std::string id, const std::string& body, const Query& query);
    RegistryResult create_device_model(const std::string& body, const Query& query);
    // Status 502 "Bad Gateway" with {"error": what}.
    static REST::RawResponse generate_bad_answer(const char* what);

private:
    // Raised by a built-in handler whose task handler provider is gone: the task is
    // answered with an error, never confirmed.
    class HandlerUnavailable : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };
    struct RegistryOperation;

    static void appendSegment(std::string& path, std::string segment);
    // The text of a failure for the log; the HTTP library's exceptions name their cause
    // only in their display text.
    static std::string describe(const std::exception& error);

    // Runs a handler (or the re-initialisation after it); a failure is answered with
    // a reject or an error. True when it succeeded.
    bool runAndAnswerFailure(Utils::Models::Task& task, const std::function<void()>& run);
    // confirmTask, tried again after a failure to deliver it; the last failure is raised.
    void confirmRanTask(const Utils::Models::Task& task);

    // Token state update from one accepted answer; the token lock is held.
    void installToken(const TokenAnswer& answer);

    // What became of one queue entry's send (monitoring_loop.cpp).
    enum class Delivery {
        Accepted,  // the cloud took it; it left the queue
        Deferred,  // it waits for its own next try; the entries behind it go on
        Paused,    // the queue waits: the cloud or the storage is not taking anything now
    };

    // One loop iteration after the loop lock was taken. The steps return false when
    // the iteration must end after waiting one period.
    void runIteration(std::unique_lock<std::mutex>& lock);
    bool tokenStep();
    bool autosearchStep(DeviceDataProvider& deviceData);
    // Logs a changed outcome of the device id search once, not once per period.
    void noteAutosearch(const std::string& state);
    void attributesStep(DeviceDataProvider& deviceData);
    // The queues, each sent back to back until it is empty, paused, or `budgetEnd`
    // has passed (the alerts get one send even then). `more` is set when due
    // entries were left for lack of time. false: the database failed.
    bool recognitionStep(std::chrono::steady_clock::time_point budgetEnd, bool& more);
    bool alertStep(std::chrono::steady_clock::time_point budgetEnd, bool& more);
    Delivery sendRecognition(Utils::Queries::RecognitionQueueEntry& entry);
    Delivery sendAlert(const Utils::Queries::AlertQueueEntry& alert);
    // The answer to a queue entry's POST that was not 200: a refusal of that entry
    // defers it alone, anything else pauses its queue. `what` names the entry.
    Delivery answerFailedPost(
        const REST::RawResponse& response, const std::string& what, int attempts,
        const std::function<void(long long nextTryMs, const std::string& refusal)>& defer);
    // The next try of an entry that failed `attempts` times before: one period,
    // doubling with every attempt, at most an hour.
    long long retryPauseMs(int attempts) const;
    bool sendingPaused() const;
    void taskStep();
    // Waits one request period or until stop(); true when the worker must end.
    bool waitPeriod(std::unique_lock<std::mutex>& lock);

    RegistryResult callRegistry(const RegistryOperation& operation, const std::string& path,
                                const std::string* body, const Query& query);

    std::unique_ptr<REST::RestClient> client_;
    std::weak_ptr<S3ClientProvider> s3_;
    std::weak_ptr<ITaskHandlerProvider> task_handler_provider_;
    std::weak_ptr<DeviceDataProvider> device_data_provider_;
    Poco::Data::Session& session_;
    std::string service_type_;
    std::string address_;
    std::string port_;
    bool getting_tasks_ = false;
    bool image_sending_enable_ = false;
    long long request_frequency_ = 0;
    std::string client_secret_;
    std::string device_id_;
    std::string images_folder_;
    // Token state (monitoring_token.cpp).
    std::string access_token_;
    std::atomic<bool> has_token_{false};  // read by check_connect without the token lock
    long long expires_in_ = 0;
    long long refresh_expires_in_ = 0;
    std::string refresh_token_;
    std::string token_type_ = "Bearer";
    std::string session_state_;
    std::string scope_;
    std::thread worker_;
    std::atomic<bool> running_{false};
    // Milliseconds since the epoch of the last accepted POSTs; 0 for none yet.
    std::atomic<long long> last_recognition_accepted_ms_{0};
    std::atomic<long long> last_alert_accepted_ms_{0};
    std::unordered_map<std::string, std::function<void(Utils::Models::Task&)>> task_handlers_;
    std::function<void()> reinit_;
    std::chrono::system_clock::time_point token_expiry_;
    std::mutex handler_mutex_;
    std::mutex token_mutex_;
    std::mutex loop_mutex_;
    std::condition_variable wake_;
    bool autosearch_done_ = false;
    std::string autosearch_state_;  // the search outcome last logged
    // Until when a throttling cloud asked the worker not to send (Retry-After).
    std::chrono::steady_clock::time_point sending_paused_until_{};
    std::chrono::seconds picture_upload_max_wait_{86400};
    // Raised by stop(); bound to the worker thread so module job polls give way.
    Utils::StopSignal stop_signal_;
    // The service client was built from the stored settings; until then start()
    // refuses, so a worker never runs on the placeholder client.
    bool client_configured_ = false;
    bool tls_verify_ = false;
    std::unordered_map<std::string, Poco::Dynamic::Var>& config_;
    std::mutex& config_mutex_;
};

}  // namespace velmora::Engine::Sync
