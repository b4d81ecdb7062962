// The task handlers' construction, the shared references they lock per call, object
// keys, and what the companion units share (task_handler_provider_internal.h).
#include "task_handler_provider.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <system_error>
#include <vector>

#include <boost/json/error.hpp>
#include <boost/system/system_error.hpp>

#include "driver.h"
#include "logger.h"
#include "s3client_provider.h"
#include "task_handler_provider_internal.h"

namespace velmora::Engine::Sync {

using Engine::Logging::log;

TaskHandlerProvider::TaskHandlerProvider(std::shared_ptr<S3ClientProvider> storage,
                                         std::unordered_map<std::string, Poco::Dynamic::Var>& config,
                                         std::shared_ptr<Driver::OrvixDriver> driver, std::mutex& mutex,
                                         DB::SQLiteDB& db)
    : storage_(storage), driver_(driver), config_(config), mutex_(mutex), db_(db) {}

TaskHandlerProvider::~TaskHandlerProvider() = default;

void TaskHandlerProvider::setMonitoringInstance(MonitoringDriver* monitoring) {
    monitoring_ = monitoring;
}

std::string TaskHandlerProvider::getDefaultObjkey(const std::string& deviceId, const std::string& name) {
    return "VelmoraMonitoring/RecognitionModules/" + deviceId + "/" + name;
}

// No task type reaches these two; they stay for the interface's sake.
void TaskHandlerProvider::handleDownloadBackupFile(Utils::Models::Task&) {}
void TaskHandlerProvider::handleUploadBackupFile(Utils::Models::Task&) {}

std::shared_ptr<S3ClientProvider> TaskHandlerProvider::lockStorage(const char* expiredLog) const {
    auto storage = storage_.lock();
    if (!storage) {
        log().error(expiredLog);
        throw std::runtime_error(TaskSupport::kStorageGone);
    }
    return storage;
}

std::shared_ptr<Driver::OrvixDriver> TaskHandlerProvider::lockDriver(const char* expiredLog) const {
    auto driver = driver_.lock();
    if (!driver) {
        log().error(expiredLog);
        throw std::runtime_error(TaskSupport::kModuleGone);
    }
    return driver;
}

std::string TaskHandlerProvider::deviceId() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return config_.at("velmora_monitoring_device_id").convert<std::string>();
}

}  // namespace velmora::Engine::Sync

namespace velmora::Engine::Sync::TaskSupport {

std::runtime_error uploadFailed(const std::string& key) {
    return std::runtime_error("Ошибка подключения к файловому хранилищу " + key + " и загрузки файла в него");
}

Utils::Errors::HardwareException commandFailed(int code) {
    return Utils::Errors::HardwareException(
        std::to_string(code), "Ошибка при выполнении команды: " +
                                  Utils::Errors::toString(static_cast<Utils::Errors::CameraError>(code)));
}

namespace {

const boost::json::value& parameter(const boost::json::object& data, const char* name) {
    const boost::json::value* value = data.if_contains(name);
    if (value == nullptr) {
        throw boost::system::system_error(boost::json::error::not_found, name);
    }
    return *value;
}

}  // namespace

std::string stringParameter(const boost::json::object& data, const char* name) {
    const boost::json::value& value = parameter(data, name);
    if (!value.is_string()) {
        throw boost::system::system_error(boost::json::error::not_string, name);
    }
    return std::string(value.get_string());
}

bool boolParameter(const boost::json::object& data, const char* name) {
    const boost::json::value& value = parameter(data, name);
    if (!value.is_bool()) {
        throw boost::system::system_error(boost::json::error::not_bool, name);
    }
    return value.get_bool();
}

const boost::json::object& objectParameter(const boost::json::object& data, const char* name) {
    const boost::json::value& value = parameter(data, name);
    if (!value.is_object()) {
        throw boost::system::system_error(boost::json::error::not_object, name);
    }
    return value.get_object();
}

long long unixSeconds() {
    return static_cast<long long>(std::time(nullptr));
}

std::string localTime(const char* pattern) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char text[64];
    const std::size_t length = std::strftime(text, sizeof text, pattern, &local);
    return std::string(text, length);
}

TempFile::TempFile(const std::string& prefix, const std::string& suffix) {
    std::error_code error;
    std::filesystem::path directory = std::filesystem::temp_directory_path(error);
    if (error) {
        // No usable temporary directory: created() tells the caller, and the path
        // names where the file was looked for.
        const char* configured = std::getenv("TMPDIR");
        directory = configured != nullptr && *configured != '\0' ? configured : "/tmp";
    }
    path_ = (directory / (prefix + "XXXXXX" + suffix)).string();
    if (error) {
        return;
    }
    std::vector<char> name(path_.begin(), path_.end());
    name.push_back('\0');
    // mkstemps creates the file exclusively with mode 0600: no other user reads the
    // secrets or packages in it, and no two tasks or processes share a name.
    fd_ = ::mkstemps(name.data(), static_cast<int>(suffix.size()));
    if (fd_ >= 0) {
        created_ = true;
        path_ = name.data();
    }
}

TempFile::~TempFile() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
    if (created_ && !removed_) {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }
}

bool TempFile::write(const void* data, std::size_t size) {
    if (fd_ < 0) {
        return false;
    }
    const char* next = static_cast<const char*>(data);
    bool complete = true;
    while (size > 0) {
        const ssize_t written = ::write(fd_, next, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            complete = false;
            break;
        }
        next += written;
        size -= static_cast<std::size_t>(written);
    }
    const bool closed = ::close(fd_) == 0;
    fd_ = -1;
    return complete && closed;
}

bool TempFile::remove(std::string& error) {
    if (!created_) {
        return true;
    }
    std::error_code failure;
    std::filesystem::remove(path_, failure);
    if (failure) {
        error = failure.message();
        return false;
    }
    removed_ = true;
    return true;
}

}  // namespace velmora::Engine::Sync::TaskSupport
