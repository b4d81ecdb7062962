// The cloud registry as the local API passes it through: /api/monitoring/...,
// each row one registry call on the current monitoring client. Method and the
// exact number of segments must both match.
#include <Poco/JSON/Object.h>
#include <Poco/JSON/Parser.h>

#include "monitoring.h"
#include "restclient.h"
#include "route_helpers.h"
#include "routes.h"

namespace velmora::Engine::Test {
namespace {

using Monitoring = Sync::MonitoringDriver;
using Call = std::function<Sync::RegistryResult(Monitoring&, const ApiRequest&)>;

// The segment after /api/monitoring/devices/.
const std::string& deviceId(const ApiRequest& request) {
    return request.segments.at(3);
}

// {"code": code, "data": the service's answer}. A refused call carries the
// service's status and reason (or the 502 substitute when it gave no answer). An
// answer that is not a JSON object throws before anything is sent.
ApiReply passThrough(const Sync::RegistryResult& result) {
    const auto& [code, response] = result;
    Poco::JSON::Parser parser;
    Poco::JSON::Object::Ptr data = parser.parse(response.body).extract<Poco::JSON::Object::Ptr>();
    Poco::JSON::Object::Ptr answer = new Poco::JSON::Object;
    answer->set("code", code);
    answer->set("data", data);
    ApiReply reply = jsonReply(answer);
    if (code != 0) {
        reply.status = response.status;
        reply.reason = response.reason;
    }
    return reply;
}

Route registry(const char* method, const char* path, Call call) {
    return Route{method, path, [call = std::move(call)](Server& server, const ApiRequest& request) {
                     std::shared_ptr<Monitoring> monitoring = server.GetMonitoring();
                     if (!monitoring) {
                         // The service is stopping: there is no client to ask.
                         return passThrough({-6207, Monitoring::generate_bad_answer("monitoring client stopped")});
                     }
                     return passThrough(call(*monitoring, request));
                 }};
}

}  // namespace

std::vector<Route> monitoringRoutes() {
    // Rows with a fixed last segment stand before the {id} rows they would
    // otherwise match.
    return {
        registry("GET", "/api/monitoring/stores",
                 [](Monitoring& m, const ApiRequest& r) { return m.get_stores_list(r.query); }),
        registry("GET", "/api/monitoring/stores/types",
                 [](Monitoring& m, const ApiRequest& r) { return m.get_stores_types_list(r.query); }),
        registry("GET", "/api/monitoring/stores/departments",
                 [](Monitoring& m, const ApiRequest& r) { return m.get_stores_departments_list(r.query); }),
        registry("GET", "/api/monitoring/stores/regions",
                 [](Monitoring& m, const ApiRequest& r) { return m.get_stores_regions_list(r.query); }),
        registry("GET", "/api/monitoring/devices",
                 [](Monitoring& m, const ApiRequest& r) { return m.get_device_list(r.query); }),
        registry("GET", "/api/monitoring/devices/models",
                 [](Monitoring& m, const ApiRequest& r) { return m.get_devices_models_list(r.query); }),
        registry("GET", "/api/monitoring/devices/{id}",
                 [](Monitoring& m, const ApiRequest& r) { return m.get_device_info(deviceId(r), r.query); }),
        registry("GET", "/api/monitoring/devices/{id}/attributes",
                 [](Monitoring& m, const ApiRequest& r) { return m.get_device_attributes(deviceId(r), r.query); }),
        registry("POST", "/api/monitoring/devices/data",
                 [](Monitoring& m, const ApiRequest& r) { return m.get_device_attributes_list(r.body, r.query); }),
        registry("POST", "/api/monitoring/devices/models",
                 [](Monitoring& m, const ApiRequest& r) { return m.create_device_model(r.body, r.query); }),
        registry("POST", "/api/monitoring/devices",
                 [](Monitoring& m, const ApiRequest& r) { return m.create_device(r.body, r.query); }),
        registry("PATCH", "/api/monitoring/devices/{id}",
                 [](Monitoring& m, const ApiRequest& r) {
                     return m.update_device_data(deviceId(r), r.body, r.query);
                 }),
        registry("DELETE", "/api/monitoring/devices/{id}",
                 [](Monitoring& m, const ApiRequest& r) { return m.delete_device(deviceId(r), r.query); }),
    };
}

}  // namespace velmora::Engine::Test
