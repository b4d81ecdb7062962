// The agent's own commands: configuration, statistics, the cloud check and the status view.
#include <algorithm>
#include <ctime>

#include <Poco/Data/Session.h>
#include <Poco/Exception.h>
#include <Poco/JSON/Array.h>
#include <Poco/JSON/Object.h>

#include "agent_status.h"
#include "config_validation.h"
#include "db.h"
#include "driver_converter.h"
#include "errors.h"
#include "logger.h"
#include "queries.h"
#include "request_members.h"
#include "route_helpers.h"
#include "routes.h"
#include "service_context.h"

namespace velmora::Engine::Test {
namespace {

using Logging::log;
using Poco::JSON::Array;
using Poco::JSON::Object;

// {"code":-6210,"data":null,"msg":reason}: the envelope of a refused change, with
// what the caller must mend.
ApiReply refusedChange(const std::string& reason) {
    Object::Ptr answer =
        Utils::get_empty_response(static_cast<int>(Utils::Errors::CameraError::UnknownMistake));
    answer->set("msg", reason);
    return jsonReply(answer);
}

std::string joined(const std::vector<std::string>& names) {
    std::string text;
    for (const auto& name : names) {
        text += (text.empty() ? "" : ", ") + name;
    }
    return text;
}

ApiReply set_config(Server& server, const ApiRequest& request) {
    Object::Ptr object = parseBodyObject(request);
    // Who changed what, never the values: they include the cloud's secrets.
    std::vector<std::string> names = object->getNames();
    std::sort(names.begin(), names.end());
    log().info("set_config from {}: {};", request.client, joined(names));
    try {
        Utils::applyConfigUpdate(object, server.GetConfigMutex(), server.GetDatabase(), server.GetConfig());
        server.reinitRuntimeParameters();
    } catch (const Utils::InvalidConfigError& e) {
        // Refused before anything was stored: the running configuration stays as it was.
        log().warn("set_config refused: {};", e.what());
        return refusedChange(e.what());
    } catch (const Poco::NotFoundException& e) {
        log().warn("set_config failed: {};", e.displayText());
        return refusedChange(e.displayText());
    }
    return jsonReply(Utils::get_empty_response(0));
}

ApiReply get_config(Server& server, const ApiRequest& request) {
    Object::Ptr object = parseBodyObject(request);
    std::vector<std::string> names;
    bool selected = false;
    if (object->has("keys") && object->isArray("keys")) {
        selected = true;
        Array::Ptr keys = object->getArray("keys");
        for (size_t i = 0; i < keys->size(); ++i) {
            std::string name = keys->get(i).convert<std::string>();
            if (std::find(names.begin(), names.end(), name) == names.end()) {
                names.push_back(name);
            }
        }
    }
    Object::Ptr data = new Object;
    server.GetContext().withConfig([&](const ConfigMap& config) {
        if (selected && !names.empty()) {
            for (const auto& name : names) {
                auto found = config.find(name);
                if (found != config.end()) {
                    data->set(name, found->second);
                }
            }
        } else {
            for (const auto& [key, value] : config) {
                data->set(key, value);
            }
        }
    });
    Object::Ptr answer = new Object;
    answer->set("code", 0);
    answer->set("data", data);
    return jsonReply(answer);
}

Object::Ptr counters(const Utils::Queries::StatisticData& row) {
    Object::Ptr counts = new Object;
    counts->set("position1Count", row.top_1_count);
    counts->set("position2Count", row.top_2_count);
    counts->set("position3Count", row.top_3_count);
    counts->set("position4Count", row.top_4_count);
    counts->set("position5Count", row.top_5_count);
    counts->set("weightingsCount", row.weightings_count);
    counts->set("processedWithPredictionCount", row.processed_with_prediction_count);
    counts->set("processedWithoutPredictionCount", row.processed_without_prediction_count);
    counts->set("processedUnknownPredictionCount", row.processed_unknown_prediction_count);
    return counts;
}

std::string todayLocal() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[16];
    std::strftime(text, sizeof(text), "%d-%m-%y", &local);
    return text;
}

ApiReply get_statistic(Server& server, const ApiRequest& request) {
    Object::Ptr object = parseBodyObject(request);
    std::string requestType;
    try {
        if (!object->has("requestType")) {
            return jsonReply(Utils::get_empty_response(-6200));
        }
        requestType = object->get("requestType").convert<std::string>();
    } catch (const Poco::Exception&) {
        return jsonReply(Utils::get_empty_response(-6200));
    }
    std::string productCode = object->has("productCode") ? Utils::memberString(object, "productCode") : "";
    std::string startDate = object->has("startDate") ? Utils::memberString(object, "startDate") : "00-00-00";
    std::string endDate = object->has("endDate") ? Utils::memberString(object, "endDate") : todayLocal();
    int limit = object->has("limit") ? Utils::memberInt(object, "limit") : -1;
    int offset = object->has("offset") ? Utils::memberInt(object, "offset") : 0;

    std::vector<Utils::Queries::StatisticData> rows;
    server.GetContext().inTransaction([&](Poco::Data::Session& session) {
        rows = productCode.empty()
                   ? Utils::Queries::getStatistic(session, requestType, startDate, endDate, limit, offset)
                   : Utils::Queries::getStatistic(session, productCode, requestType, startDate, endDate,
                                                  limit, offset);
    });

    Array::Ptr data = new Array;
    if (!productCode.empty()) {
        Array::Ptr list = new Array;
        for (const auto& row : rows) {
            Object::Ptr entry = counters(row);
            entry->set("date", row.key);
            list->add(entry);
        }
        Object::Ptr product = new Object;
        product->set("code", productCode);
        product->set("name", "");
        product->set("predictionDataList", list);
        data->add(product);
    } else {
        for (const auto& row : rows) {
            Array::Ptr list = new Array;
            list->add(counters(row));
            Object::Ptr product = new Object;
            product->set("code", row.key);
            product->set("name", "");
            product->set("predictionDataList", list);
            data->add(product);
        }
    }
    Object::Ptr answer = new Object;
    answer->set("code", 0);
    answer->set("data", data);
    return jsonReply(answer);
}

ApiReply check_connect(Server& server, const ApiRequest&) {
    return jsonReply(Utils::get_empty_response(server.CheckCloudConnection()));
}

ApiReply get_status(Server& server, const ApiRequest&) {
    return jsonReply(agentStatusAnswer(server));
}

}  // namespace

std::vector<Route> agentRoutes() {
    // Segments after the command are ignored.
    return {
        Route{"POST", "/api/agent/set_config", set_config, true},
        Route{"POST", "/api/agent/get_config", get_config, true},
        Route{"POST", "/api/agent/get_statistic", get_statistic, true},
        Route{"GET", "/api/agent/check_connect", check_connect, true},
        Route{"GET", "/api/agent/get_status", get_status, true},
    };
}

}  // namespace velmora::Engine::Test
