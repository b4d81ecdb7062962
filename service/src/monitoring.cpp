#include "monitoring.h"

#include <chrono>
#include <string>

#include <Poco/Exception.h>

#include "device_data_provider.h"
#include "logger.h"
#include "s3client_provider.h"
#include "task_handler_provider.h"

namespace velmora::Engine::Sync {
namespace {

using Logging::log;
using Utils::Models::Task;

// What a stop leaves a cloud exchange started after it (a task's last answer).
constexpr std::chrono::milliseconds kStopGrace{1000};
// Every exchange with the service connects, and is answered whole, within these.
constexpr int kServiceTimeoutSeconds = 10;
constexpr int kServiceDeadlineSeconds = 30;

// The remote tasks every driver knows, and the handler of each on the task
// handler provider.
struct BuiltInHandler {
    const char* type;
    void (ITaskHandlerProvider::*handle)(Task&);
    bool announced;  // logs "-->Calling handler for <type>" before the call
};

const BuiltInHandler kBuiltInHandlers[] = {
    {"download_log_file", &ITaskHandlerProvider::handleDownloadLogFile, false},
    {"download_config_file", &ITaskHandlerProvider::handleDownloadConfigFile, true},
    {"upload_config_file", &ITaskHandlerProvider::handleUploadConfigFile, true},
    {"upload_update_file", &ITaskHandlerProvider::handleUploadUpdateFile, true},
    {"download_recognition_backup_file", &ITaskHandlerProvider::handleDownloadRecognitionBackupFile, true},
    {"upload_recognition_backup_file", &ITaskHandlerProvider::handleUploadRecognitionBackupFile, true},
    {"exec_command", &ITaskHandlerProvider::handleHardware, true},
};

}  // namespace

MonitoringDriver::MonitoringDriver(Poco::Data::Session& session,
                                   std::unordered_map<std::string, Poco::Dynamic::Var>& config,
                                   std::mutex& configMutex)
    : client_(std::make_unique<REST::RestClient>("192", 8080)),  // placeholder until the settings arrive
      session_(session),
      config_(config),
      config_mutex_(configMutex) {
    initTaskHandlers();
}

MonitoringDriver::~MonitoringDriver() {
    stop();
}

void MonitoringDriver::setMonitoringSettings(
    const std::string& serviceType, const std::string& address, const std::string& port,
    const bool& gettingTasks, const bool& imageSendingEnable, const long long& requestFrequency,
    const std::string& clientSecret, const std::string& deviceId, const std::string& imagesFolder,
    std::shared_ptr<S3ClientProvider> s3, std::shared_ptr<ITaskHandlerProvider> taskHandlers,
    std::shared_ptr<DeviceDataProvider> deviceData, std::function<void()> reinit) {
    stop();
    std::lock_guard<std::mutex> loopLock(loop_mutex_);
    client_configured_ = false;
    service_type_ = serviceType;
    address_ = address;
    port_ = port;
    getting_tasks_ = gettingTasks;
    image_sending_enable_ = imageSendingEnable;
    request_frequency_ = requestFrequency;
    client_secret_ = clientSecret;
    device_id_ = deviceId;
    images_folder_ = imagesFolder;

    s3_ = s3;
    task_handler_provider_ = taskHandlers;
    device_data_provider_ = deviceData;
    if (taskHandlers) {
        taskHandlers->setMonitoringInstance(this);
    }
    reinit_ = std::move(reinit);

    log().info("developer_mode={} with service adress={}, so using one rest client instance, ignoring port;",
               false, address_);
    const int portNumber = std::stoi(port_);
    auto client = std::make_unique<REST::RestClient>(
        address_, portNumber,
        tls_verify_ ? REST::TlsVerification::SystemCAs : REST::TlsVerification::AcceptAny);
    client->setTimeout(kServiceTimeoutSeconds);
    client->setExchangeDeadline(kServiceDeadlineSeconds);
    client_ = std::move(client);
    client_configured_ = true;
    // A token belongs to the service it came from: the new client starts without one
    // and the worker authenticates afresh.
    {
        std::lock_guard<std::mutex> tokenLock(token_mutex_);
        access_token_.clear();
        has_token_ = false;
        token_expiry_ = {};
    }
    start();
}

void MonitoringDriver::setTlsVerification(bool verify) {
    tls_verify_ = verify;
}

void MonitoringDriver::setPictureUploadMaxWait(std::chrono::seconds wait) {
    std::lock_guard<std::mutex> loopLock(loop_mutex_);
    picture_upload_max_wait_ = wait;
}

void MonitoringDriver::start() {
    if (running_) {
        return;
    }
    if (address_.empty() || !client_configured_) {
        log().warn("Can't start monitoring event loop, necessary settings not valid;");
        return;
    }
    if (worker_.joinable()) {
        worker_.join();  // a worker that has already left its loop
    }
    stop_signal_.reset();
    client_->resume();
    if (auto storage = s3_.lock()) {
        storage->resume();
    }
    running_ = true;
    worker_ = std::thread(&MonitoringDriver::loop, this);
}

void MonitoringDriver::stop() noexcept {
    running_ = false;
    log().info("Waiting  for the end of the current loop()...;");
    // The worker holds the loop lock while it works: whatever it waits on is cut
    // short first, so the lock below is had within a moment.
    stop_signal_.request();
    if (client_) {
        client_->interrupt(kStopGrace);
    }
    // A picture or file upload in flight ends too, and makes no further attempts.
    if (auto storage = s3_.lock()) {
        storage->interrupt(kStopGrace);
    }
    {
        // Taking the loop lock once orders the cleared flag before the worker's next
        // check inside its wait, so the notification cannot fall between the two.
        std::lock_guard<std::mutex> loopLock(loop_mutex_);
    }
    wake_.notify_all();
    if (worker_.joinable()) {
        worker_.join();
        log().info("worker_ with loop() destroyed success;");
    } else {
        log().warn("loop() can't be joinable, some operations in loop can't be interrupted");
    }
    // The worker is gone: the registry calls of the server's threads get their whole
    // time again.
    if (client_) {
        client_->resume();
    }
    if (auto storage = s3_.lock()) {
        storage->resume();
    }
}

void MonitoringDriver::registerTaskHandler(const std::string& type, std::function<void(Task&)> handler) {
    std::lock_guard<std::mutex> lock(handler_mutex_);
    task_handlers_[type] = std::move(handler);
}

void MonitoringDriver::initTaskHandlers() {
    for (const BuiltInHandler& builtIn : kBuiltInHandlers) {
        registerTaskHandler(builtIn.type, [this, builtIn](Task& task) {
            auto provider = task_handler_provider_.lock();
            if (!provider) {
                log().error("task_handler_provider_ expired, can't execute handler");
                throw HandlerUnavailable(builtIn.type);
            }
            if (builtIn.announced) {
                log().info("-->Calling handler for {}", builtIn.type);
            }
            ((*provider).*builtIn.handle)(task);
        });
    }
}

std::string MonitoringDriver::describe(const std::exception& error) {
    return Logging::reasonOf(error);
}

void MonitoringDriver::attributes_update() {
    if (auto deviceData = device_data_provider_.lock()) {
        deviceData->attributes_update();
    } else {
        log().error("device_data_provider_ expired, can't exec attributes_update();");
    }
}

}  // namespace velmora::Engine::Sync
