// The module's commands as the local API offers them: one route per row of the
// command catalogue, plus the two routes that answer bytes (the camera picture
// and the exported package).
#include <Poco/JSON/Object.h>

#include "agent-utils.h"
#include "driver.h"
#include "driver_converter.h"
#include "logger.h"
#include "module_commands.h"
#include "restclient.h"
#include "route_helpers.h"
#include "routes.h"

namespace velmora::Engine::Test {
namespace {

using Logging::log;
using Utils::CommandInput;
using Utils::ModuleCommand;

// Commands whose arrival the local API logs before anything else.
const char* const kAnnouncedOnEntry[] = {"result_feedback"};

bool announcedOnEntry(const ModuleCommand& command) {
    for (const char* name : kAnnouncedOnEntry) {
        if (std::string(name) == command.name) {
            return true;
        }
    }
    return false;
}

// The catalogue lives as long as the process, so the route may keep a reference to its row.
Route commandRoute(const ModuleCommand& command) {
    const bool announced = announcedOnEntry(command);
    Route route{command.method, std::string("/api/") + command.name,
                [&command, announced](Server& server, const ApiRequest& request) {
                    if (announced) {
                        log().info("HandleSession() enter in: /api/{}", command.name);
                    }
                    Poco::JSON::Object::Ptr body;
                    std::string delimiter;
                    if (command.input == CommandInput::JsonBody) {
                        body = parseBodyObject(request);
                    } else if (command.input == CommandInput::Upload) {
                        std::optional<std::string> found = multipartDelimiter(request.contentType);
                        if (!found) {
                            log().error("Boundary not found in Content-Type");
                            return jsonReply(Utils::get_empty_response(-6210));
                        }
                        delimiter = std::move(*found);
                    }
                    std::function<void()> attributesChanged;
                    if (command.changesAttributes) {
                        attributesChanged = server.AttributesChangedAction();
                    }
                    Utils::CommandCall call{
                        server.GetDriver(), server.GetContext(),  body,
                        &request.body,      std::move(delimiter), std::move(attributesChanged)};
                    return jsonReply(command.run(call));
                }};
    route.upload = command.input == CommandInput::Upload;
    return route;
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
    std::vector<Route> routes;
    for (const ModuleCommand& command : Utils::moduleCommands()) {
        routes.push_back(commandRoute(command));
    }
    routes.push_back(Route{"GET", "/api/get_image", get_image});
    routes.push_back(Route{"*", "/download/{name}", download});
    return routes;
}

}  // namespace velmora::Engine::Test
