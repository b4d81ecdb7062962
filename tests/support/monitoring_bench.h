#pragma once

// The monitoring client over a migrated database in a temporary directory, pointed
// at a recording peer that stands in for the monitoring service.

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include <Poco/Dynamic/Var.h>

#include "storage_fixture.h"
#include "task_handler_provider.h"
#include "test_support.h"

namespace velmora::Engine::Sync {
class MonitoringDriver;
class S3ClientProvider;
class DeviceDataProvider;
}  // namespace velmora::Engine::Sync

namespace orvix::test {

// What setMonitoringSettings receives; the address and port name the peer.
struct MonitoringSetup {
    bool gettingTasks = false;
    bool imageSending = false;
    long long periodMs = 20000;
    std::string secret = "s3cret";
    std::string deviceId = "D";
    std::string imagesFolder;
    std::shared_ptr<velmora::Engine::Sync::S3ClientProvider> storage;
    std::shared_ptr<velmora::Engine::Sync::ITaskHandlerProvider> tasks;
    std::shared_ptr<velmora::Engine::Sync::DeviceDataProvider> deviceData;
    std::function<void()> reinit;
};

// A JSON answer with the standard reason phrase of its status.
CannedReply jsonReply(int status, const std::string& body = "{}");

// The token answer of a client-credentials endpoint: three fields, no refresh token.
std::string standardTokenAnswer(const std::string& accessToken, long long expiresIn);
// An answer carrying all seven fields an OpenID Connect server may send.
std::string fullTokenAnswer(const std::string& accessToken, long long expiresIn,
                            const std::string& refreshToken);

bool isTokenRequest(const RecordedRequest& request);

// Stands in for the task handlers, which live in their own unit: records which
// handler the monitoring client reached and runs `action` there.
class RecordingTaskHandlers : public velmora::Engine::Sync::ITaskHandlerProvider {
public:
    using Task = velmora::Utils::Models::Task;
    std::function<void(const std::string& handler, Task& task)> action;

    std::vector<std::string> calls() const;
    velmora::Engine::Sync::MonitoringDriver* monitoring() const;

    void handleDownloadLogFile(Task& task) override { record("handleDownloadLogFile", task); }
    void handleDownloadBackupFile(Task& task) override { record("handleDownloadBackupFile", task); }
    void handleUploadBackupFile(Task& task) override { record("handleUploadBackupFile", task); }
    void handleDownloadConfigFile(Task& task) override { record("handleDownloadConfigFile", task); }
    void handleUploadConfigFile(Task& task) override { record("handleUploadConfigFile", task); }
    void handleUploadUpdateFile(Task& task) override { record("handleUploadUpdateFile", task); }
    void handleDownloadRecognitionBackupFile(Task& task) override {
        record("handleDownloadRecognitionBackupFile", task);
    }
    void handleUploadRecognitionBackupFile(Task& task) override {
        record("handleUploadRecognitionBackupFile", task);
    }
    void handleHardware(Task& task) override { record("handleHardware", task); }
    void setMonitoringInstance(velmora::Engine::Sync::MonitoringDriver* monitoring) override;

private:
    void record(const std::string& handler, Task& task);

    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
    velmora::Engine::Sync::MonitoringDriver* monitoring_ = nullptr;
};

class MonitoringBench {
public:
    MonitoringBench();
    ~MonitoringBench();
    MonitoringBench(const MonitoringBench&) = delete;
    MonitoringBench& operator=(const MonitoringBench&) = delete;

    MigratedDatabase& database() { return database_; }
    std::unordered_map<std::string, Poco::Dynamic::Var>& config() { return config_; }
    std::mutex& lock() { return lock_; }
    velmora::Engine::Sync::MonitoringDriver& driver() { return *driver_; }

    // Applies the settings towards `service`; the worker runs.
    void start(RecordingServer& service, const MonitoringSetup& setup);
    // Applies the settings towards `service` and stops the worker again, so the test
    // thread drives the client itself. The short-lived worker is answered 503 and
    // what it sent is left out of requests(); then `responder` answers.
    void configureStopped(RecordingServer& service, const MonitoringSetup& setup,
                          RecordingServer::Responder responder);
    // What `service` received since configureStopped (everything after start).
    std::vector<RecordedRequest> requests(const RecordingServer& service) const;

private:
    MigratedDatabase database_;
    std::unordered_map<std::string, Poco::Dynamic::Var> config_;
    std::mutex lock_;
    std::unique_ptr<velmora::Engine::Sync::MonitoringDriver> driver_;
    size_t skipped_ = 0;
};

}  // namespace orvix::test
