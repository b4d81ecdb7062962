// The file tasks: today's log out, the configuration out and in.
#include <filesystem>
#include <sstream>

#include <Poco/Exception.h>
#include <Poco/JSON/Object.h>
#include <Poco/JSON/Parser.h>
#include <Poco/JSON/Stringifier.h>

#include "config_store.h"
#include "config_validation.h"
#include "logger.h"
#include "s3client_provider.h"
#include "task_handler_provider.h"
#include "task_handler_provider_internal.h"

namespace velmora::Engine::Sync {

using Engine::Logging::log;
using namespace TaskSupport;

namespace {

// The configuration as compact JSON text, secrets included in plain text: the
// monitoring service asked for the whole configuration.
std::string configurationText(Utils::ConfigMap& config) {
    std::ostringstream text;
    Poco::JSON::Stringifier::condense(Utils::configToJson(config), text);
    return text.str();
}

// The same text with the secrets' values hidden, for the log: the log file itself
// can be sent to the service and stays on the point-of-sale computer.
std::string loggableConfigurationText(const Utils::ConfigMap& config) {
    Utils::ConfigMap shown = config;
    for (auto& [key, value] : shown) {
        if (Utils::isEncryptedKey(key)) {
            value = std::string("***");
        }
    }
    return configurationText(shown);
}

// The one place where a configuration that arrived by task is applied: checked as
// set_config checks it (a value the agent cannot run with is refused and nothing is
// stored), then stored. Takes the configuration lock itself; the caller must not hold it.
void importUploadedConfiguration(Poco::JSON::Object::Ptr& object, std::mutex& mutex, DB::SQLiteDB& db,
                                 Utils::ConfigMap& config) {
    Utils::applyConfigUpdate(object, mutex, db, config);
}

// The JSON library's and the configuration store's failures carry their text in
// the message (what() of that library is only the exception's name); the service
// is to see the text.
[[noreturn]] void rethrowWithMessage(const Poco::Exception& e) {
    throw std::runtime_error(e.message().empty() ? e.displayText() : e.message());
}

}  // namespace

void TaskHandlerProvider::handleDownloadLogFile(Utils::Models::Task& task) {
    auto storage = lockStorage("S3ClientProvider expired; cannot upload log file to S3;");
    const std::string id = deviceId();
    const std::string path = (std::filesystem::path(Logging::Logger::GetInstance().GetLogDirectory()) /
                              ("orvix_" + localTime("%Y-%m-%d") + ".log"))
                                 .string();
    std::error_code missing;
    if (!std::filesystem::is_regular_file(path, missing)) {
        log().error("Log file not found: {}", path);
        throw std::runtime_error("Файл не найден");
    }
    // The daily file grows with every line any thread logs, also while it is being
    // sent; the upload sends a copy of what was there when the task ran.
    TempFile snapshot("orvix_log_", ".log");
    std::error_code copyError;
    if (!snapshot.created() ||
        !std::filesystem::copy_file(path, snapshot.path(), std::filesystem::copy_options::overwrite_existing,
                                    copyError)) {
        log().error("Unable to copy log file to tmp directory: {}", snapshot.path());
        throw std::runtime_error(kFileProblem);
    }
    const std::string key = getDefaultObjkey(id, "Logs/" + std::to_string(unixSeconds()) + ".log");
    std::string url;
    if (!storage->uploadFile(snapshot.path(), key, url, true)) {
        log().error("Failed to upload log file to S3: {}", key);
        throw uploadFailed(key);
    }
    task.result["url"] = url;
    log().info("Log file was uploaded to S3: {};", url);
}

void TaskHandlerProvider::handleDownloadConfigFile(Utils::Models::Task& task) {
    if (task.data.empty()) {
        log().error("handleDownloadConfigFile: empty payload");
        throw std::runtime_error(kBadParameters);
    }
    auto storage = lockStorage("S3ClientProvider expired; cannot upload config file to S3;");
    const std::string id = deviceId();
    std::string text;
    std::string shown;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        text = configurationText(config_);
        shown = loggableConfigurationText(config_);
    }
    log().info("Created json string from global config: {};", shown);

    TempFile file("orvix_config_", ".json");
    if (!file.created()) {
        log().error("Unable to open file to write: {}", file.path());
        throw std::runtime_error(kFileProblem);
    }
    log().info("Config json was saved to tmp directory: {};", file.path());
    if (!file.write(text.data(), text.size())) {
        log().error("Unable to open file to write: {}", file.path());
        throw std::runtime_error(kFileProblem);
    }
    const std::string key = getDefaultObjkey(id, id + "_" + localTime("%Y-%m-%d") + ".json");
    std::string url;
    if (!storage->uploadFile(file.path(), key, url, true)) {
        log().error("Failed to upload config file to S3: {}", key);
        throw uploadFailed(key);
    }
    log().info("Config was uploaded to S3: {};", url);
    task.result["url"] = url;
}

void TaskHandlerProvider::handleUploadConfigFile(Utils::Models::Task& task) {
    if (task.data.empty()) {
        log().error("handleUploadConfigFile: empty payload");
        throw std::runtime_error(kBadParameters);
    }
    const std::string exportType = stringParameter(task.data, "exportType");
    const std::string filePath = stringParameter(task.data, "filePath");
    if (exportType != "s3") {
        log().error("Unable to handle upload config file with export type={}, so task will be canceled;",
                    exportType);
        throw std::logic_error(kUnsupportedStorage);
    }
    auto storage = lockStorage("S3ClientProvider expired; cannot download config file from S3;");
    const std::vector<unsigned char> bytes = storage->downloadFile(filePath);
    if (bytes.empty()) {
        log().error("handleUploadConfigFile: incoming data empty or file not found in S3: {}", filePath);
        throw std::runtime_error(kFileProblem);
    }
    Poco::JSON::Object::Ptr object;
    try {
        Poco::JSON::Parser parser;
        const Poco::Dynamic::Var parsed = parser.parse(std::string(bytes.begin(), bytes.end()));
        if (parsed.type() == typeid(Poco::JSON::Object::Ptr)) {
            object = parsed.extract<Poco::JSON::Object::Ptr>();
        }
    } catch (const Poco::Exception& e) {
        rethrowWithMessage(e);
    }
    if (object.isNull()) {
        log().error("handleUploadConfigFile: can't parse uploaded json");
        throw std::runtime_error("Ошибка обработки конфигурационных данных");
    }
    try {
        importUploadedConfiguration(object, mutex_, db_, config_);
    } catch (const Poco::Exception& e) {
        rethrowWithMessage(e);
    }
    log().info("handleUploadConfigFile: global config update from {}", filePath);
}

}  // namespace velmora::Engine::Sync
