// The offline upgrade task: a package from object storage installed on the module.
#include "driver.h"
#include "errors.h"
#include "logger.h"
#include "s3client_provider.h"
#include "task_handler_provider.h"
#include "task_handler_provider_internal.h"
#include "wait_for_status.h"

namespace velmora::Engine::Sync {

using Engine::Logging::log;
using namespace TaskSupport;
using namespace Utils::Errors;
using Utils::Models::OfflineUpgradeStatusRes;

void TaskHandlerProvider::handleUploadUpdateFile(Utils::Models::Task& task) {
    if (task.data.empty()) {
        log().error("handleUploadUpdateFile: empty payload");
        throw std::runtime_error(kBadParameters);
    }
    const std::string exportType = stringParameter(task.data, "exportType");
    const std::string filePath = stringParameter(task.data, "filePath");
    // Required by the task's form; the module decides about downgrades itself.
    boolParameter(task.data, "isDowngrade");
    if (exportType != "s3") {
        log().error("Unable to handle upload update file with export type={}, so task will be canceled;",
                    exportType);
        throw std::logic_error(kUnsupportedStorage);
    }
    auto driver = lockDriver("driver_instance_ expired; cannot upload update file to camera;");
    auto storage = lockStorage("S3ClientProvider expired; cannot download update file from S3;");

    const std::vector<unsigned char> bytes = storage->downloadFile(filePath);
    if (bytes.empty()) {
        log().error("handleUploadUpdateFile: incoming data empty or file not found in S3: {}", filePath);
        throw std::runtime_error(
            "Файл не существует: неправильный путь к файлу или нет подключения к сети Интернет");
    }
    const int code = driver->offline_upgrade({bytes});
    if (code != 0) {
        log().error("Error to send offline_upgrade() command to camera, so make it failed, code={};", code);
        throw commandFailed(code);
    }
    const auto [done, last] = Utils::wait_for_status<UpgradeStatus, OfflineUpgradeStatusRes>(
        [&] { return driver->offline_upgrade_status(); }, UpgradeStatus::Completed, is_upgrade_failure,
        [](UpgradeStatus status) { return to_string(status); }, "offline upgrade", kJobStatusQueries,
        kJobStatusIntervalMs);
    if (!done) {
        throw std::runtime_error("Ошибка загрузки файла на устройство: " + last.msg);
    }
    log().info("Offline upgrade completed: {}", last.msg);
}

}  // namespace velmora::Engine::Sync
