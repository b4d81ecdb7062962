#include "control_api.h"

#include "json_reply.h"

#include <algorithm>
#include <stdexcept>

namespace orvix::cloudsim {

namespace {

namespace json = boost::json;

// A control request refused for its parameters; becomes a 400 answer.
struct Refusal : std::runtime_error {
    using std::runtime_error::runtime_error;
};

json::object requireObject(const Request& request) {
    json::value body = request.body.empty() ? json::value(json::object()) : parseBody(request.body);
    if (!body.is_object()) {
        throw Refusal("body must be a JSON object");
    }
    return body.as_object();
}

// The member as an integer in [min, max], or nullopt when absent or null.
std::optional<long long> optionalInt(const json::object& object, const char* key, long long min,
                                     long long max) {
    auto found = object.find(key);
    if (found == object.end() || found->value().is_null()) {
        return std::nullopt;
    }
    const auto& value = found->value();
    if (!value.is_int64() && !value.is_uint64()) {
        throw Refusal(std::string("\"") + key + "\" must be an integer");
    }
    long long number = value.is_int64() ? value.get_int64() : static_cast<long long>(value.get_uint64());
    if (value.is_uint64() || number < min || number > max) {
        throw Refusal(std::string("\"") + key + "\" must be from " + std::to_string(min) + " to " +
                      std::to_string(max));
    }
    return number;
}

std::optional<std::string> optionalString(const json::object& object, const char* key) {
    auto found = object.find(key);
    if (found == object.end()) {
        return std::nullopt;
    }
    if (!found->value().is_string()) {
        throw Refusal(std::string("\"") + key + "\" must be a string");
    }
    return std::string(found->value().get_string());
}

Reply ok() {
    return jsonReply(200, json::object{{"ok", true}});
}

Reply reset(SimState& state, const Request&) {
    state.resetLocked();
    return ok();
}

Reply getReceived(SimState& state, const Request&) {
    return jsonReply(200, state.received);
}

// {"device", "id"?, "type", "data"?} queues a task; {"device", "id"?, "raw": any} queues an
// answer body as it is, for malformed task documents.
Reply postTask(SimState& state, const Request& request) {
    auto body = requireObject(request);
    auto device = optionalString(body, "device");
    if (!device) {
        throw Refusal("\"device\" (string, may be empty) is required");
    }
    std::string id;
    if (body.contains("id")) {
        id = valueText(body.at("id"));
    } else {
        id = std::to_string(state.nextTaskId++);
    }
    QueuedTask task{*device, id, json::value()};
    if (body.contains("raw")) {
        task.document = body.at("raw");
    } else {
        auto type = optionalString(body, "type");
        if (!type) {
            throw Refusal("\"type\" (string) is required unless \"raw\" is given");
        }
        json::value data = body.contains("data") ? body.at("data") : json::value(json::object());
        if (!data.is_object()) {
            throw Refusal("\"data\" must be an object");
        }
        task.document = json::object{{"id", id}, {"type", *type}, {"data", std::move(data)}};
    }
    state.tasks.push_back(std::move(task));
    return jsonReply(200, json::object{{"id", id}});
}

Reply getTasks(SimState& state, const Request&) {
    json::array tasks;
    for (const auto& task : state.tasks) {
        tasks.push_back(json::object{{"device", task.device}, {"id", task.id}, {"task", task.document}});
    }
    return jsonReply(200, json::object{{"tasks", std::move(tasks)}});
}

Reply faultsAnswer(SimState& state) {
    return jsonReply(200, json::object{{"faults", state.faultsJsonLocked()}});
}

Reply postFault(SimState& state, const Request& request) {
    auto body = requireObject(request);
    auto mode = optionalString(body, "mode");
    static const char* const kModes[] = {"status", "delay", "empty", "drop", "trickle", "none"};
    if (!mode ||
        std::none_of(std::begin(kModes), std::end(kModes), [&](const char* m) { return *mode == m; })) {
        throw Refusal("\"mode\" must be one of status, delay, empty, drop, trickle, none");
    }
    auto target = optionalString(body, "target");
    const auto& targets = SimState::faultTargets();
    if (target && std::find(targets.begin(), targets.end(), *target) == targets.end()) {
        throw Refusal(
            "\"target\" must be one of token, attributes, recognition, alert, task, answers, "
            "registry, all");
    }
    if (*mode == "none") {
        if (target) {
            state.faults.erase(*target);
        } else {
            state.faults.clear();
        }
        state.changed.notify_all();
        return faultsAnswer(state);
    }
    if (!target) {
        throw Refusal("\"target\" is required");
    }
    Fault fault;
    fault.mode = *mode;
    fault.status = static_cast<int>(optionalInt(body, "status", 100, 599).value_or(500));
    fault.delayMs = static_cast<int>(optionalInt(body, "delay_ms", 0, 600000).value_or(0));
    auto count = optionalInt(body, "count", -1, 1000000);
    if (count && *count == 0) {
        throw Refusal("\"count\" must be -1 (until cleared) or positive");
    }
    fault.remaining = static_cast<int>(count.value_or(-1));
    fault.retryAfter = optionalString(body, "retry_after").value_or("");
    fault.sid = optionalString(body, "sid").value_or("");
    if (fault.mode == "delay" && fault.delayMs == 0) {
        throw Refusal("mode \"delay\" needs a positive \"delay_ms\"");
    }
    state.faults[*target] = fault;
    state.changed.notify_all();
    return faultsAnswer(state);
}

Reply getFaults(SimState& state, const Request&) {
    return faultsAnswer(state);
}

Reply postToken(SimState& state, const Request& request) {
    auto body = requireObject(request);
    TokenSettings next = state.token;
    next.lifetime = optionalInt(body, "lifetime", 0, 100000000).value_or(next.lifetime);
    next.refreshLifetime = optionalInt(body, "refresh_lifetime", 0, 100000000).value_or(next.refreshLifetime);
    if (body.contains("short")) {
        if (!body.at("short").is_bool()) {
            throw Refusal("\"short\" must be true or false");
        }
        next.shortForm = body.at("short").get_bool();
    }
    state.token = next;
    return jsonReply(200, state.tokenSettingsJsonLocked());
}

Reply getToken(SimState& state, const Request&) {
    return jsonReply(200, state.tokenSettingsJsonLocked());
}

// Access tokens always; refresh tokens too with {"refresh": true}.
Reply revokeTokens(SimState& state, const Request& request) {
    auto body = requireObject(request);
    bool refresh = body.contains("refresh") && body.at("refresh").is_bool() && body.at("refresh").get_bool();
    json::object answer{{"revoked_access_tokens", state.accessTokens.size()}};
    state.accessTokens.clear();
    if (refresh) {
        answer["revoked_refresh_tokens"] = state.refreshTokens.size();
        state.refreshTokens.clear();
    }
    return jsonReply(200, answer);
}

Reply getRegistry(SimState& state, const Request&) {
    json::object answer = state.registry;
    json::object attributes;
    for (const auto& [device, list] : state.lastAttributes) {
        attributes[device] = list;
    }
    answer["attributes"] = std::move(attributes);
    return jsonReply(200, answer);
}

struct ControlRoute {
    const char* method;
    const char* path;
    Reply (*handler)(SimState&, const Request&);
};

const ControlRoute kControlRoutes[] = {
    {"POST", "/control/reset", reset},
    {"GET", "/control/received", getReceived},
    {"POST", "/control/tasks", postTask},
    {"GET", "/control/tasks", getTasks},
    {"POST", "/control/fault", postFault},
    {"GET", "/control/fault", getFaults},
    {"POST", "/control/token", postToken},
    {"GET", "/control/token", getToken},
    {"POST", "/control/token/revoke", revokeTokens},
    {"GET", "/control/registry", getRegistry},
};

}  // namespace

Reply serveControl(SimState& state, const Request& request) {
    bool pathKnown = false;
    for (const auto& route : kControlRoutes) {
        if (request.path != route.path) {
            continue;
        }
        pathKnown = true;
        if (request.method != route.method) {
            continue;
        }
        std::lock_guard<std::mutex> lock(state.mutex);
        try {
            return route.handler(state, request);
        } catch (const Refusal& refusal) {
            return errorReply(400, refusal.what());
        }
    }
    return pathKnown ? errorReply(405, "method not allowed")
                     : errorReply(404, "unknown control endpoint; see orvix-cloud-sim --help");
}

}  // namespace orvix::cloudsim
