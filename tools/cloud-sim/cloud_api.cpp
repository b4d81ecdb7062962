#include "cloud_api.h"

#include "json_reply.h"

#include <Poco/String.h>
#include <Poco/URI.h>

#include <boost/json/serialize.hpp>

#include <algorithm>
#include <sstream>

namespace orvix::cloudsim {

const char* const kTokenPath = "/auth/realms/Velmora/protocol/openid-connect/token";

namespace {

namespace json = boost::json;

using Captures = std::vector<std::string>;
using Handler = Reply (*)(SimState&, const Request&, const Captures&);

const char* const kClientId = "device";

// ---- token endpoint ----

json::object tokenAnswerLocked(SimState& state) {
    auto now = Clock::now();
    std::string access = SimState::randomText(24);
    state.accessTokens[access] = now + std::chrono::seconds(state.token.lifetime);
    json::object answer{{"access_token", access}, {"expires_in", state.token.lifetime}};
    if (state.token.shortForm) {
        answer["token_type"] = "Bearer";
        return answer;
    }
    std::string refresh = SimState::randomText(24);
    state.refreshTokens[refresh] = now + std::chrono::seconds(state.token.refreshLifetime);
    answer["refresh_expires_in"] = state.token.refreshLifetime;
    answer["refresh_token"] = refresh;
    answer["token_type"] = "Bearer";
    answer["session_state"] = SimState::randomText(8);
    answer["scope"] = "profile email";
    return answer;
}

void forgetExpired(std::map<std::string, Clock::time_point>& tokens, Clock::time_point now) {
    for (auto it = tokens.begin(); it != tokens.end();) {
        it = it->second <= now ? tokens.erase(it) : std::next(it);
    }
}

Reply token(SimState& state, const Request& request, const Captures&) {
    auto form = parseForm(request.body);
    if (form["client_id"] != kClientId || form["client_secret"] != state.options.clientSecret) {
        return jsonReply(401,
                         json::object{{"error", "invalid_client"},
                                      {"error_description", "Invalid client or Invalid client credentials"}});
    }
    const std::string& grant = form["grant_type"];
    if (grant != "client_credentials" && grant != "refresh_token") {
        return jsonReply(400, json::object{{"error", "unsupported_grant_type"}});
    }
    auto now = Clock::now();
    forgetExpired(state.accessTokens, now);
    forgetExpired(state.refreshTokens, now);
    auto refresh = form.find("refresh_token");
    if (refresh != form.end()) {
        // A refresh token is used once: the renewal hands out a new one.
        if (state.refreshTokens.erase(refresh->second) == 0) {
            return jsonReply(401, json::object{{"error", "invalid_grant"},
                                               {"error_description", "Refresh token unknown or expired"}});
        }
    } else if (grant == "refresh_token") {
        return jsonReply(400, json::object{{"error", "invalid_request"},
                                           {"error_description", "Missing parameter: refresh_token"}});
    }
    return jsonReply(200, tokenAnswerLocked(state));
}

bool bearerValidLocked(const SimState& state, const std::string& authorization) {
    const std::string scheme = "bearer ";
    if (authorization.size() <= scheme.size() ||
        Poco::icompare(authorization.substr(0, scheme.size()), scheme) != 0) {
        return false;
    }
    auto found = state.accessTokens.find(Poco::trim(authorization.substr(scheme.size())));
    return found != state.accessTokens.end() && Clock::now() < found->second;
}

// ---- per-device reports and the task protocol ----

Reply record(SimState& state, const char* list, const Request& request, const std::string& device) {
    state.recordLocked(list, json::object{{"device", device}, {"body", parseBody(request.body)}});
    return jsonReply(200, json::object{});
}

Reply postAttributes(SimState& state, const Request& request, const Captures& captures) {
    state.lastAttributes[captures[0]] = parseBody(request.body);
    return record(state, "attributes", request, captures[0]);
}

Reply postRecognition(SimState& state, const Request& request, const Captures& captures) {
    return record(state, "recognitions", request, captures[0]);
}

Reply postAlert(SimState& state, const Request& request, const Captures& captures) {
    return record(state, "alerts", request, captures[0]);
}

Reply getTask(SimState& state, const Request&, const Captures& captures) {
    auto queued = std::find_if(state.tasks.begin(), state.tasks.end(),
                               [&](const QueuedTask& task) { return task.device == captures[0]; });
    if (queued == state.tasks.end()) {
        Reply none;
        none.status = 204;
        none.body.clear();
        none.contentType.clear();
        return none;
    }
    // Handed out once: a task the agent loses is not offered again.
    QueuedTask task = std::move(*queued);
    state.tasks.erase(queued);
    state.recordLocked("tasks_fetched", json::object{{"device", task.device}, {"id", task.id}});
    Reply reply;
    reply.body = json::serialize(task.document);
    return reply;
}

Reply taskAnswer(SimState& state, const Request& request, const Captures& captures, const char* kind) {
    state.recordLocked("task_answers", json::object{{"device", captures[0]},
                                                    {"task_id", captures[1]},
                                                    {"kind", kind},
                                                    {"body", parseBody(request.body)}});
    return jsonReply(200, json::object{});
}

Reply confirmTask(SimState& state, const Request& request, const Captures& captures) {
    return taskAnswer(state, request, captures, "confirm");
}
Reply rejectTask(SimState& state, const Request& request, const Captures& captures) {
    return taskAnswer(state, request, captures, "reject");
}
Reply errorTask(SimState& state, const Request& request, const Captures& captures) {
    return taskAnswer(state, request, captures, "error");
}

// ---- registry ----

json::array& registryList(SimState& state, const char* name) {
    return state.registry.at(name).as_array();
}

json::object* findDevice(SimState& state, const std::string& id) {
    for (auto& device : registryList(state, "devices")) {
        auto& object = device.as_object();
        if (object.contains("id") && valueText(object.at("id")) == id) {
            return &object;
        }
    }
    return nullptr;
}

Reply listOf(SimState& state, const char* name) {
    return jsonReply(200, json::object{{"data", registryList(state, name)}});
}

Reply getStores(SimState& state, const Request&, const Captures&) {
    return listOf(state, "stores");
}
Reply getStoreTypes(SimState& state, const Request&, const Captures&) {
    return listOf(state, "types");
}
Reply getStoreDepartments(SimState& state, const Request&, const Captures&) {
    return listOf(state, "departments");
}
Reply getStoreRegions(SimState& state, const Request&, const Captures&) {
    return listOf(state, "regions");
}
Reply getDeviceModels(SimState& state, const Request&, const Captures&) {
    return listOf(state, "models");
}

// Every query parameter must equal the device's field of the same name.
Reply getDevices(SimState& state, const Request& request, const Captures&) {
    json::array matching;
    for (const auto& device : registryList(state, "devices")) {
        const auto& object = device.as_object();
        bool matches = std::all_of(request.query.begin(), request.query.end(), [&](const auto& parameter) {
            auto field = object.find(parameter.first);
            return field != object.end() && valueText(field->value()) == parameter.second;
        });
        if (matches) {
            matching.push_back(device);
        }
    }
    return jsonReply(200, json::object{{"data", std::move(matching)}});
}

Reply notFound() {
    return errorReply(404, "not found");
}

Reply getDevice(SimState& state, const Request&, const Captures& captures) {
    auto* device = findDevice(state, captures[0]);
    return device != nullptr ? jsonReply(200, *device) : notFound();
}

Reply deleteDevice(SimState& state, const Request&, const Captures& captures) {
    auto& devices = registryList(state, "devices");
    for (auto it = devices.begin(); it != devices.end(); ++it) {
        const auto& object = it->as_object();
        if (object.contains("id") && valueText(object.at("id")) == captures[0]) {
            json::value removed = *it;
            devices.erase(it);
            return jsonReply(200, removed);
        }
    }
    return notFound();
}

std::optional<json::object> bodyObject(const Request& request) {
    json::value body = parseBody(request.body);
    if (!body.is_object()) {
        return std::nullopt;
    }
    return body.as_object();
}

Reply patchDevice(SimState& state, const Request& request, const Captures& captures) {
    auto* device = findDevice(state, captures[0]);
    if (device == nullptr) {
        return notFound();
    }
    auto changes = bodyObject(request);
    if (!changes) {
        return errorReply(400, "body must be a JSON object");
    }
    for (const auto& [key, value] : *changes) {
        if (key != "id") {
            (*device)[key] = value;
        }
    }
    return jsonReply(200, *device);
}

Reply getDeviceAttributes(SimState& state, const Request&, const Captures& captures) {
    auto last = state.lastAttributes.find(captures[0]);
    if (last == state.lastAttributes.end() && findDevice(state, captures[0]) == nullptr) {
        return notFound();
    }
    return jsonReply(
        200, json::object{
                 {"data", last != state.lastAttributes.end() ? last->second : json::value(json::array())}});
}

// Attributes of the devices named in {"ids": [...]}, or of every registered device.
Reply getDevicesData(SimState& state, const Request& request, const Captures&) {
    std::vector<std::string> ids;
    auto body = bodyObject(request);
    if (body && body->contains("ids") && body->at("ids").is_array()) {
        for (const auto& id : body->at("ids").as_array()) {
            ids.push_back(valueText(id));
        }
    } else {
        for (const auto& device : registryList(state, "devices")) {
            ids.push_back(valueText(device.as_object().at("id")));
        }
    }
    json::array data;
    for (const auto& id : ids) {
        auto last = state.lastAttributes.find(id);
        data.push_back(json::object{
            {"id", id},
            {"attributes", last != state.lastAttributes.end() ? last->second : json::value(json::array())}});
    }
    return jsonReply(200, json::object{{"data", std::move(data)}});
}

Reply createIn(SimState& state, const Request& request, const char* list) {
    auto created = bodyObject(request);
    if (!created) {
        return errorReply(400, "body must be a JSON object");
    }
    (*created)["id"] = std::to_string(state.nextRegistryId++);
    registryList(state, list).push_back(*created);
    return jsonReply(200, *created);
}

Reply createDevice(SimState& state, const Request& request, const Captures&) {
    return createIn(state, request, "devices");
}
Reply createDeviceModel(SimState& state, const Request& request, const Captures&) {
    return createIn(state, request, "models");
}

// ---- the route table ----

struct Route {
    const char* method;
    const char* pattern;  // path segments; "*" stands for any one segment, empty included
    const char* target;   // fault target
    Handler handler;
};

// Literal segments come before "*" where both could match ("devices/models" before "devices/*").
const Route kRoutes[] = {
    {"POST", "auth/realms/Velmora/protocol/openid-connect/token", "token", token},
    {"POST", "api/v1/devices/*/attributes", "attributes", postAttributes},
    {"POST", "api/v1/devices/*/recognition", "recognition", postRecognition},
    {"POST", "api/v1/devices/*/alert", "alert", postAlert},
    {"GET", "api/v1/devices/*/task", "task", getTask},
    {"POST", "api/v1/devices/*/tasks/*/confirm", "answers", confirmTask},
    {"POST", "api/v1/devices/*/tasks/*/reject", "answers", rejectTask},
    {"POST", "api/v1/devices/*/tasks/*/error", "answers", errorTask},
    {"GET", "api/v1/stores", "registry", getStores},
    {"GET", "api/v1/stores/types", "registry", getStoreTypes},
    {"GET", "api/v1/stores/departments", "registry", getStoreDepartments},
    {"GET", "api/v1/stores/regions", "registry", getStoreRegions},
    {"GET", "api/v1/devices/models", "registry", getDeviceModels},
    {"POST", "api/v1/devices/models", "registry", createDeviceModel},
    {"POST", "api/v1/devices/data", "registry", getDevicesData},
    {"GET", "api/v1/devices", "registry", getDevices},
    {"POST", "api/v1/devices", "registry", createDevice},
    {"GET", "api/v1/devices/*/attributes", "registry", getDeviceAttributes},
    {"GET", "api/v1/devices/*", "registry", getDevice},
    {"DELETE", "api/v1/devices/*", "registry", deleteDevice},
    {"PATCH", "api/v1/devices/*", "registry", patchDevice},
};

std::vector<std::string> splitPattern(const char* pattern) {
    std::vector<std::string> parts;
    std::istringstream in(pattern);
    for (std::string part; std::getline(in, part, '/');) {
        parts.push_back(part);
    }
    return parts;
}

bool matches(const Route& route, const std::vector<std::string>& segments, Captures& captures) {
    auto parts = splitPattern(route.pattern);
    if (parts.size() != segments.size()) {
        return false;
    }
    captures.clear();
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (parts[i] == "*") {
            captures.push_back(segments[i]);
        } else if (parts[i] != segments[i]) {
            return false;
        }
    }
    return true;
}

// The route for the request's method and path; `pathKnown` tells whether some route has the path.
const Route* findRoute(const Request& request, Captures& captures, bool& pathKnown) {
    pathKnown = false;
    for (const auto& route : kRoutes) {
        Captures found;
        if (!matches(route, request.segments, found)) {
            continue;
        }
        pathKnown = true;
        if (request.method == route.method) {
            captures = std::move(found);
            return &route;
        }
    }
    return nullptr;
}

bool needsBearer(const Request& request) {
    return request.segments.size() >= 2 && request.segments[0] == "api" && request.segments[1] == "v1";
}

}  // namespace

std::string faultTarget(const Request& request) {
    Captures captures;
    bool pathKnown = false;
    if (const Route* route = findRoute(request, captures, pathKnown)) {
        return route->target;
    }
    return !request.segments.empty() && request.segments[0] == "auth" ? "token" : "registry";
}

Reply serveCloud(SimState& state, const Request& request) {
    std::lock_guard<std::mutex> lock(state.mutex);
    if (needsBearer(request) && !bearerValidLocked(state, request.authorization)) {
        Reply refused =
            jsonReply(401, json::object{{"error", "invalid_token"},
                                        {"error_description", "Bearer token missing, unknown or expired"}});
        refused.headers.emplace_back("WWW-Authenticate", "Bearer error=\"invalid_token\"");
        return refused;
    }
    Captures captures;
    bool pathKnown = false;
    const Route* route = findRoute(request, captures, pathKnown);
    if (route != nullptr) {
        return route->handler(state, request, captures);
    }
    return pathKnown ? errorReply(405, "method not allowed") : notFound();
}

std::map<std::string, std::string> parseForm(const std::string& body) {
    std::map<std::string, std::string> fields;
    std::istringstream in(body);
    for (std::string pair; std::getline(in, pair, '&');) {
        if (pair.empty()) {
            continue;
        }
        auto equals = pair.find('=');
        std::string name;
        std::string value;
        Poco::URI::decode(pair.substr(0, equals), name, true);
        if (equals != std::string::npos) {
            Poco::URI::decode(pair.substr(equals + 1), value, true);
        }
        fields.emplace(std::move(name), std::move(value));
    }
    return fields;
}

}  // namespace orvix::cloudsim
