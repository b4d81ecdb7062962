#pragma once

// The handlers of the remote tasks. Each reads its parameters from the task's
// `data`, may fill its `result`, and either returns (the task is confirmed) or
// throws (std::runtime_error / std::logic_error with an operator message,
// HardwareException with a code text, the JSON library's system_error for a
// missing or mistyped parameter), which the task protocol turns into a reject or
// an error report. Handlers run on the monitoring worker, one task at a time.
//
// Companion units: task_handler_provider_files.cpp (log and configuration),
// task_handler_provider_update.cpp (module upgrade), task_handler_provider_backup.cpp
// (recognition templates out and in), task_handler_provider_hardware.cpp (module
// commands and camera pictures).

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include <Poco/Dynamic/Var.h>

#include "task.h"

namespace velmora::Engine::DB {
class SQLiteDB;
}
namespace velmora::Engine::Driver {
class OrvixDriver;
}

namespace velmora::Engine::Sync {

class S3ClientProvider;
class MonitoringDriver;

// The monitoring client reaches the handlers only through this interface, so it
// can be built and run without them (a task then gets an error answer).
class ITaskHandlerProvider {
public:
    virtual ~ITaskHandlerProvider() = default;
    virtual void handleDownloadLogFile(Utils::Models::Task& task) = 0;
    virtual void handleDownloadBackupFile(Utils::Models::Task& task) = 0;
    virtual void handleUploadBackupFile(Utils::Models::Task& task) = 0;
    virtual void handleDownloadConfigFile(Utils::Models::Task& task) = 0;
    virtual void handleUploadConfigFile(Utils::Models::Task& task) = 0;
    virtual void handleUploadUpdateFile(Utils::Models::Task& task) = 0;
    virtual void handleDownloadRecognitionBackupFile(Utils::Models::Task& task) = 0;
    virtual void handleUploadRecognitionBackupFile(Utils::Models::Task& task) = 0;
    virtual void handleHardware(Utils::Models::Task& task) = 0;
    virtual void setMonitoringInstance(MonitoringDriver* monitoring) = 0;
};

class TaskHandlerProvider : public ITaskHandlerProvider {
public:
    TaskHandlerProvider(std::shared_ptr<S3ClientProvider> storage,
                        std::unordered_map<std::string, Poco::Dynamic::Var>& config,
                        std::shared_ptr<Driver::OrvixDriver> driver, std::mutex& mutex, DB::SQLiteDB& db);
    ~TaskHandlerProvider() override;

    // The monitoring client whose attributes are re-sent after a setting command.
    void setMonitoringInstance(MonitoringDriver* monitoring) override;

    void handleDownloadLogFile(Utils::Models::Task& task) override;
    void handleDownloadBackupFile(Utils::Models::Task& task) override;
    void handleUploadBackupFile(Utils::Models::Task& task) override;
    void handleDownloadConfigFile(Utils::Models::Task& task) override;
    void handleUploadConfigFile(Utils::Models::Task& task) override;
    void handleUploadUpdateFile(Utils::Models::Task& task) override;
    void handleDownloadRecognitionBackupFile(Utils::Models::Task& task) override;
    void handleUploadRecognitionBackupFile(Utils::Models::Task& task) override;

    // "exec_command": one module command by name, through the command catalogue.
    void handleHardware(Utils::Models::Task& task) override;
    // Stores a picture in object storage and returns its URL; throws
    // HardwareException with the image error codes.
    std::string saveImageToS3(const std::string& data, const bool& isBase64);
    // "VelmoraMonitoring/RecognitionModules/" + deviceId + "/" + name
    static std::string getDefaultObjkey(const std::string& deviceId, const std::string& name);

private:
    // The object behind a weak reference. When it is gone, logs `expiredLog` at
    // error level and throws std::runtime_error with the operator's failure text.
    std::shared_ptr<S3ClientProvider> lockStorage(const char* expiredLog) const;
    std::shared_ptr<Driver::OrvixDriver> lockDriver(const char* expiredLog) const;
    // The configuration entry velmora_monitoring_device_id as text, read under the
    // configuration lock; std::out_of_range when there is none.
    std::string deviceId() const;

    std::weak_ptr<S3ClientProvider> storage_;
    std::weak_ptr<Driver::OrvixDriver> driver_;
    MonitoringDriver* monitoring_ = nullptr;
    std::unordered_map<std::string, Poco::Dynamic::Var>& config_;
    std::mutex& mutex_;
    DB::SQLiteDB& db_;
};

}  // namespace velmora::Engine::Sync
