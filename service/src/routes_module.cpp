// The module's commands as the local API offers them: method, command, converter.
#include <Poco/JSON/Object.h>

#include "agent-utils.h"
#include "driver.h"
#include "driver_converter.h"
#include "logger.h"
#include "restclient.h"
#include "result_feedback.h"
#include "route_helpers.h"
#include "routes.h"

namespace velmora::Engine::Test {
namespace {

using Logging::log;
using Poco::JSON::Object;
using Driver = std::shared_ptr<Engine::Driver::OrvixDriver>;

// Converters that need only the driver.
Route plain(const char* method, const char* command, Object::Ptr (*convert)(Driver)) {
    return Route{method, std::string("/api/") + command, [convert](Server& server, const ApiRequest&) {
                     return jsonReply(convert(server.GetDriver()));
                 }};
}

// Converters that read the request body.
Route withBody(const char* method, const char* command, Object::Ptr (*convert)(Object::Ptr, Driver)) {
    return Route{method, std::string("/api/") + command,
                 [convert](Server& server, const ApiRequest& request) {
                     Object::Ptr body = parseBodyObject(request);
                     return jsonReply(convert(body, server.GetDriver()));
                 }};
}

// Setting converters: after the module accepted the change the cloud is told.
Route setting(const char* command, Object::Ptr (*convert)(Object::Ptr, Driver, std::function<void()>)) {
    return Route{"POST", std::string("/api/") + command,
                 [convert](Server& server, const ApiRequest& request) {
                     Object::Ptr body = parseBodyObject(request);
                     return jsonReply(convert(body, server.GetDriver(), server.AttributesChangedAction()));
                 }};
}

// Uploads arrive as multipart forms; the file is the first part.
Route upload(const char* command, Object::Ptr (*convert)(const std::string&, const std::string&, Driver)) {
    return Route{"POST", std::string("/api/") + command,
                 [convert](Server& server, const ApiRequest& request) {
                     auto at = request.contentType.find("boundary=");
                     if (at == std::string::npos) {
                         log().error("Boundary not found in Content-Type");
                         return jsonReply(Utils::get_empty_response(-6210));
                     }
                     std::string delimiter = "--" + request.contentType.substr(at + 9);
                     return jsonReply(convert(request.body, delimiter, server.GetDriver()));
                 }};
}

ApiReply get_result(Server& server, const ApiRequest&) {
    return jsonReply(
        Utils::process_get_result(server.GetDriver(), server.GetConfigMutex(), server.GetDatabase()));
}

ApiReply result_feedback(Server& server, const ApiRequest& request) {
    log().info("HandleSession() enter in: /api/result_feedback");
    Object::Ptr body = parseBodyObject(request);
    return jsonReply(Utils::process_result_feedback(body, server.GetDriver(), server.GetConfigMutex(),
                                                    server.GetConfigCopy(), server.GetDatabase()));
}

ApiReply get_image(Server& server, const ApiRequest&) {
    std::pair<int, std::string> image = Utils::process_get_image(server.GetDriver());
    log().info("img size:{}", image.second.size());
    if (!image.second.empty()) {
        // The module's picture, bytes unchanged; the type stays as the API always answered.
        return ApiReply{200, "", "application/json", std::move(image.second), {}};
    }
    return ApiReply{500, "", "application/json", R"({"code":-6103,"msg":"Camera lost"})", {}};
}

// /download/{name}, any method: the module's exported package passed through, or
// the module's own status and reason when it has none.
ApiReply download(Server& server, const ApiRequest& request) {
    const std::string& name = request.segments.at(1);
    // Package names are plain file names. Anything else (a climbing name, a slash,
    // or text that decodes once more into either) could reach other paths on the
    // module, so it is refused outright.
    if (!Utils::isPlainFileName(name)) {
        return ApiReply{400, "Bad Request", "application/octet-stream", {}, {}};
    }
    auto [code, response] = server.GetDriver()->download_template(name);
    if (code == 0) {
        return ApiReply{200, "", "application/octet-stream", std::move(response.body), {}};
    }
    if (response.status == 0) {
        // The module did not answer at all; there is no status of its own to pass on.
        return ApiReply{502, "Bad Gateway", "application/octet-stream", {}, {}};
    }
    return ApiReply{
        response.status, response.reason, "application/octet-stream", std::move(response.body), {}};
}

}  // namespace

std::vector<Route> moduleCommandRoutes() {
    using namespace Utils;
    return {
        withBody("POST", "add_item_template", process_add_item_template),
        withBody("POST", "get_item_template_list", process_get_item_template_list),
        withBody("POST", "delete_item_template", process_delete_item_template),
        plain("GET", "get_item_list", process_get_item_list),
        withBody("POST", "delete_item", process_delete_item),
        plain("POST", "clear_all_template", process_clear_all_template),
        withBody("POST", "export_template", process_export_template),
        plain("GET", "export_template_status", process_export_template_status),
        upload("import_template", process_import_template),
        plain("GET", "import_template_status", process_import_template_status),
        setting("set_sync_normal", process_set_sync_normal),
        setting("set_sync_master", process_set_sync_master),
        setting("set_sync_slave", process_set_sync_slave),
        plain("POST", "manual_sync", process_manual_sync),
        plain("GET", "get_sync_status", process_get_sync_status),
        plain("POST", "get_sync_limit", process_get_sync_limit),
        setting("set_sync_limit", process_set_sync_limit),
        setting("set_sold_out_limit", process_set_sold_out_limit),
        setting("set_predict_speed", process_set_predict_speed),
        Route{"GET", "/api/get_result", get_result},
        setting("set_max_result", process_set_max_result),
        Route{"POST", "/api/result_feedback", result_feedback},
        Route{"GET", "/api/get_image", get_image},
        withBody("POST", "set_time", process_set_time),
        plain("GET", "get_device_info", process_get_device_info),
        setting("set_extra_info", process_set_extra_info),
        plain("GET", "get_extra_info", process_get_extra_info),
        withBody("POST", "set_calib", process_set_calib),
        plain("GET", "get_calib", process_get_calib),
        plain("POST", "reset_device", process_reset_device),
        plain("POST", "reboot", process_reboot),
        upload("offline_upgrade", process_offline_upgrade),
        plain("GET", "offline_upgrade_status", process_offline_upgrade_status),
        plain("POST", "enable_internet_once", process_enable_internet_once),
        setting("set_learnmode", process_set_learnmode),
        plain("GET", "get_learnmode", process_get_learnmode),
        plain("GET", "get_board_info", process_get_board_info),
        Route{"*", "/download/{name}", download},
    };
}

}  // namespace velmora::Engine::Test
