// The module's long-running jobs (template export and import, offline upgrade),
// their status queries and the download of a prepared file.
#include <cerrno>
#include <ctime>

#include <Poco/Exception.h>
#include <fmt/format.h>
#include <fmt/ranges.h>

#include "agent-utils.h"
#include "driver.h"
#include "driver_exchange.h"
#include "errors.h"
#include "logger.h"
#include "stop_signal.h"
#include "wait_for_status.h"

namespace velmora::Engine::Driver {

using Engine::Logging::log;
using namespace Utils::Models;

int OrvixDriver::export_template(const ExportTemplateReq& request) {
    boost::json::array ids;
    for (const auto& id : request.ids) {
        ids.emplace_back(id);
    }
    const std::string message = request.ids.empty() ? std::string("export_template() called with no ids;")
                                                    : fmt::format("export_template() called with ids: [{}];",
                                                                  fmt::join(request.ids, ", "));
    return exchange(Command::post("export_template", {{"ids", std::move(ids)}}, message), nullptr);
}

std::pair<int, ExportTemplateStatusRes> OrvixDriver::export_template_status() {
    // The job commands report beside "code", not inside "data".
    return fetch<ExportTemplateStatusRes>(
        Command::get("export_template_status"), [](const Reply& reply, ExportTemplateStatusRes& status) {
            const auto& envelope = reply.envelope();
            status.msg = Json::string(envelope, "msg");
            status.filename = Json::string(envelope, "filename");
            status.status = Json::integer(envelope, "status");
            log().info("export_template_status() completed; msg={}, filename={}, status={};", status.msg,
                       status.filename, status.status);
        });
}

int OrvixDriver::import_template(const ImportTemplateReq& request) {
    return exchange(
        Command::upload("import_template", "import_template.evo", request.data,
                        fmt::format("import_template() called with file size: {};", request.data.size())),
        nullptr);
}

std::pair<int, ImportTemplateStatusRes> OrvixDriver::import_template_status() {
    return fetch<ImportTemplateStatusRes>(
        Command::get("import_template_status"), [](const Reply& reply, ImportTemplateStatusRes& status) {
            const auto& envelope = reply.envelope();
            status.msg = Json::string(envelope, "msg");
            status.status = Json::integer(envelope, "status");
            log().info("import_template_status() completed; msg={}, status={};", status.msg, status.status);
        });
}

int OrvixDriver::offline_upgrade(const OfflineUpgradeReq& request) {
    return exchange(
        Command::upload("offline_upgrade", "offline_upgrade.evo", request.data,
                        fmt::format("offline_upgrade() called with file size: {};", request.data.size())),
        nullptr);
}

std::pair<int, OfflineUpgradeStatusRes> OrvixDriver::offline_upgrade_status() {
    return fetch<OfflineUpgradeStatusRes>(
        Command::get("offline_upgrade_status"), [](const Reply& reply, OfflineUpgradeStatusRes& status) {
            const auto& envelope = reply.envelope();
            status.msg = Json::string(envelope, "msg");
            status.status = Json::integer(envelope, "status");
            log().info("offline_upgrade_status() completed; msg={}, status={};", status.msg, status.status);
        });
}

std::pair<int, REST::RawResponse> OrvixDriver::download_template(const std::string& file) {
    const int networkError = static_cast<int>(Utils::Errors::CameraError::NetworkError);
    log().info("download_template() called with file: {};", file);
    std::string failure;
    // The name is the module's own (the export status reports it) and may hold
    // blanks, "+" or non-ASCII letters: it is sent percent-encoded, as one path
    // segment. A name that would leave the module's download folder once decoded
    // (a dot segment, a separator, NUL) is never asked for.
    if (!Utils::isFolderLocalName(file)) {
        log().error("download_template() exception: {};", "not a file name of the download folder: " + file);
        return {networkError, REST::RawResponse{}};
    }
    try {
        REST::RawResponse response = download_client_.Get("/download/" + Utils::encodePathSegment(file));
        log().info("download_template() completed, response size: {};", response.body.size());
        const int code = response.status == 200 ? 0 : networkError;
        return {code, std::move(response)};
    } catch (const Poco::Exception& e) {
        failure = e.displayText();
    } catch (const std::exception& e) {
        failure = e.what();
    }
    log().error("download_template() exception: {};", failure);
    return {networkError, REST::RawResponse{}};
}

}  // namespace velmora::Engine::Driver

namespace velmora::Utils {

void sleepForInterval(int interval_ms) {
    sleepUnlessStopped(std::chrono::milliseconds(interval_ms));
}

}  // namespace velmora::Utils
