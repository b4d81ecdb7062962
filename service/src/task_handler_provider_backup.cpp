// The recognition backup tasks: the module's templates exported into object
// storage, and a backup from object storage imported into the module.
#include "driver.h"
#include "errors.h"
#include "evom.h"
#include "logger.h"
#include "s3client_provider.h"
#include "task_handler_provider.h"
#include "task_handler_provider_internal.h"
#include "wait_for_status.h"

namespace velmora::Engine::Sync {

using Engine::Logging::log;
using namespace TaskSupport;
using namespace Utils::Errors;
using Utils::Models::ExportTemplateStatusRes;
using Utils::Models::ImportTemplateStatusRes;

namespace {

// The optional "productCodes": every string of the array, in order; anything else
// selects no codes (the module then exports all templates).
std::vector<std::string> productCodes(const boost::json::object& data) {
    std::vector<std::string> codes;
    const boost::json::value* list = data.if_contains("productCodes");
    if (list != nullptr && list->is_array()) {
        for (const auto& element : list->get_array()) {
            if (element.is_string()) {
                codes.emplace_back(element.get_string());
            }
        }
    }
    return codes;
}

// The optional "cleanBeforeInstallation": false when absent or not a boolean.
bool cleanBeforeInstallation(const boost::json::object& data) {
    if (!data.contains("cleanBeforeInstallation")) {
        return false;
    }
    try {
        return boolParameter(data, "cleanBeforeInstallation");
    } catch (const std::exception& e) {
        log().info("error when get \"cleanBeforeInstallation\", so make it false, exception: {};",
                   Logging::reasonOf(e));
        return false;
    }
}

}  // namespace

void TaskHandlerProvider::handleDownloadRecognitionBackupFile(Utils::Models::Task& task) {
    if (task.data.empty()) {
        log().error("handleDownloadRecognitionBackupFile: empty payload");
        throw std::runtime_error(kBadParameters);
    }
    // Required by the task's form; the module exports its own package format.
    stringParameter(task.data, "recognitionType");
    stringParameter(task.data, "extension");
    const std::vector<std::string> codes = productCodes(task.data);
    auto driver = lockDriver("driver_instance_ expired; cannot download recognition file from camera;");

    const int code = driver->export_template({codes});
    if (code != 0) {
        log().error("Error to send export_template command to camera, so make it failed, code={};", code);
        throw commandFailed(code);
    }
    const auto [done, last] = Utils::wait_for_status<ExportStatus, ExportTemplateStatusRes>(
        [&] { return driver->export_template_status(); }, ExportStatus::Completed, is_export_failure,
        [](ExportStatus status) { return to_string(status); }, "export template", kJobStatusQueries,
        kJobStatusIntervalMs);
    if (!done) {
        throw std::runtime_error("Ошибка создания файла на устройстве: " + last.msg);
    }
    auto [downloadCode, reply] = driver->download_template(last.filename);
    if (downloadCode != 0) {
        log().error("Error to send download_template() to camera, or it have error, so make it failed;");
        throw commandFailed(downloadCode);
    }
    if (reply.body.empty()) {
        log().error("Error to send download file after export command to camera, so make it failed;");
        throw std::runtime_error("Полученный .evo файл пуст");
    }

    const std::string id = deviceId();
    TempFile file("orvix_backup_", ".evo");
    log().info("Writing temporary evo-file to: {}", file.path());
    if (!file.created() || !file.write(reply.body.data(), reply.body.size())) {
        log().error("Unable to open evo-file to write: {}", file.path());
        throw std::runtime_error("Полученный .evo файл пуст");
    }
    reply.body.clear();
    auto storage = lockStorage("S3ClientProvider expired; cannot upload evo-file to S3;");
    const std::string key = getDefaultObjkey(id, "Backups/" + id + ".evo");
    std::string url;
    if (!storage->uploadFile(file.path(), key, url, true)) {
        log().error("Failed to upload evo-file to S3: {}", key);
        throw uploadFailed(key);
    }
    log().info("evo-file was uploaded to S3: {};", url);
    std::string error;
    if (!file.remove(error)) {
        log().warn("Failed to delete temporary evo-file {}: {}", file.path(), error);
        throw std::runtime_error("Ошибка удаления временного файла");
    }
    log().info("Temporary evo-file removed: {}", file.path());
    task.result["url"] = url;
}

void TaskHandlerProvider::handleUploadRecognitionBackupFile(Utils::Models::Task& task) {
    log().info("handleUploadRecognitionBackupFile()");
    if (task.data.empty()) {
        log().error("handleUploadRecognitionBackupFile: empty payload");
        throw std::runtime_error(kBadParameters);
    }
    auto driver = lockDriver("driver_instance_ expired; cannot upload recognition file from camera;");
    const std::string exportType = stringParameter(task.data, "exportType");
    stringParameter(task.data, "recognitionType");
    const std::string filePath = stringParameter(task.data, "filePath");
    if (exportType != "s3") {
        log().error(
            "Unable to handle upload recognition backup file with export type={}, so task will be canceled;",
            exportType);
        throw std::logic_error(kUnsupportedStorage);
    }
    // The package is downloaded and checked before anything on the module changes:
    // a storage or archive failure must never leave the module without its templates.
    auto storage = lockStorage("S3ClientProvider expired; cannot download recognition file from S3;");
    std::vector<unsigned char> package = storage->downloadFile(filePath);
    if (package.empty()) {
        log().error("handleUploadRecognitionBackupFile: incoming data empty or file not found in S3: {}",
                    filePath);
        throw std::runtime_error(
            "Файл не существует: неправильный путь к файлу или нет подключения к Интернету");
    }
    if (filePath.find(".evom") != std::string::npos) {
        // The archive's members stay in memory; their names only pick the package.
        auto members = Utils::decompressEVOM(package);
        bool found = false;
        for (auto& [name, bytes] : members) {
            if (name.find(".evo") != std::string::npos) {
                log().info("Importing {} from evom archive (size={})", name, bytes.size());
                package = std::move(bytes);
                found = true;
            }
        }
        if (!found) {
            log().error("handleUploadRecognitionBackupFile: no .evo package in {}", filePath);
            throw std::runtime_error("Архив не содержит пакета шаблонов (.evo)");
        }
    }
    // The driver is held from here on, so it cannot go away before the import.
    if (cleanBeforeInstallation(task.data)) {
        const int cleaned = driver->clear_all_template();
        if (cleaned != 0) {
            log().error("Error calling clear_all_template(): code={}", cleaned);
            throw HardwareException(std::to_string(cleaned),
                                    "Ошибка при выполнении команды форматирования : " +
                                        toString(static_cast<CameraError>(cleaned)));
        }
    }
    const int code = driver->import_template({package});
    if (code != 0) {
        log().error("Error to send import_template() command to camera, so make it failed, code={};", code);
        throw commandFailed(code);
    }
    const auto [done, last] = Utils::wait_for_status<ImportStatus, ImportTemplateStatusRes>(
        [&] { return driver->import_template_status(); }, ImportStatus::Completed, is_terminal_failure,
        [](ImportStatus status) { return to_string(status); }, "import template", kJobStatusQueries,
        kJobStatusIntervalMs);
    if (!done) {
        throw std::runtime_error("Ошибка загрузки файла на устройство: " + last.msg);
    }
    log().info("Import recognition backup success, received msg: {};", last.msg);
}

}  // namespace velmora::Engine::Sync
