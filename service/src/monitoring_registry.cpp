// The cloud registry of stores, devices and device models: one request each on the
// service client, the answer handed back unchanged with a result code.
#include <boost/json.hpp>

#include "errors.h"
#include "logger.h"
#include "monitoring.h"
#include "request_members.h"

namespace velmora::Engine::Sync {

// How one registry operation is sent and logged.
struct MonitoringDriver::RegistryOperation {
    const char* name;        // prefix of the outcome lines
    const char* method;      // GET, DELETE, POST or PATCH
    const char* calledLine;  // logged when called (operations with a body log it themselves)
    bool logsOutcome;        // writes the "completed" and "exception" lines
};

namespace {

using Logging::log;

constexpr int kNetworkError = static_cast<int>(Utils::Errors::CameraError::NetworkError);

}  // namespace

RegistryResult MonitoringDriver::callRegistry(const RegistryOperation& operation, const std::string& path,
                                              const std::string* body, const Query& query) {
    if (operation.calledLine != nullptr) {
        log().info("{}", operation.calledLine);
    }
    // A body that is not a JSON object is the caller's error: it leaves before
    // anything is sent.
    boost::json::value parsed;
    if (body != nullptr) {
        boost::system::error_code error;
        parsed = boost::json::parse(*body, error);
        if (error || !parsed.is_object()) {
            throw Utils::BadRequestError("", "the body is not a JSON object");
        }
    }
    if (operation.calledLine == nullptr) {
        log().info("{}() called, request: {};", operation.name,
                   Logging::shortened(boost::json::serialize(parsed)));
    }
    try {
        const std::string method = operation.method;
        REST::RawResponse response;
        if (method == "GET") {
            response = client_->GetWithQuery(path, query);
        } else if (method == "DELETE") {
            response = client_->DeleteWithQuery(path, query);
        } else if (method == "POST") {
            response = client_->PostWithQuery(path, parsed, query);
        } else {
            response = client_->PatchWithQuery(path, parsed, query);
        }
        if (operation.logsOutcome) {
            log().info("{}() completed, response: {};", operation.name, Logging::shortened(response.body));
        }
        return {response.status == 200 ? 0 : kNetworkError, response};
    } catch (const std::exception& error) {
        const std::string text = describe(error);
        if (operation.logsOutcome) {
            log().error("{}() exception: {};", operation.name, text);
        }
        return {kNetworkError, generate_bad_answer(text.c_str())};
    }
}

REST::RawResponse MonitoringDriver::generate_bad_answer(const char* what) {
    REST::RawResponse answer;
    answer.status = 502;
    answer.reason = "Bad Gateway";
    boost::json::object body;
    body["error"] = what != nullptr ? what : "";
    answer.body = boost::json::serialize(body);
    return answer;
}

RegistryResult MonitoringDriver::get_stores_list(const Query& query) {
    static const RegistryOperation operation{"get_stores_list", "GET", "get_stores_list() called", true};
    return callRegistry(operation, "/api/v1/stores", nullptr, query);
}

RegistryResult MonitoringDriver::get_stores_types_list(const Query& query) {
    static const RegistryOperation operation{"get_stores_types_list", "GET",
                                             "get_stores_types_list() called;", true};
    return callRegistry(operation, "/api/v1/stores/types", nullptr, query);
}

RegistryResult MonitoringDriver::get_stores_departments_list(const Query& query) {
    static const RegistryOperation operation{"get_stores_departments_list", "GET",
                                             "get_stores_departments_list() called;", true};
    return callRegistry(operation, "/api/v1/stores/departments", nullptr, query);
}

RegistryResult MonitoringDriver::get_stores_regions_list(const Query& query) {
    static const RegistryOperation operation{"get_stores_regions_list", "GET",
                                             "get_stores_regions_list() called;", true};
    return callRegistry(operation, "/api/v1/stores/regions", nullptr, query);
}

RegistryResult MonitoringDriver::get_devices_models_list(const Query& query) {
    static const RegistryOperation operation{"get_devices_models_list", "GET",
                                             "get_devices_models_list() called;", true};
    return callRegistry(operation, "/api/v1/devices/models", nullptr, query);
}

RegistryResult MonitoringDriver::get_device_list(const Query& query) {
    static const RegistryOperation operation{"get_device_list", "GET", "get_device_list() called;", true};
    return callRegistry(operation, "/api/v1/devices", nullptr, query);
}

RegistryResult MonitoringDriver::get_device_info(std::string id, const Query& query) {
    static const RegistryOperation operation{"get_device_info", "GET", "get_device_info() called;", true};
    return callRegistry(operation, "/api/v1/devices/" + id, nullptr, query);
}

RegistryResult MonitoringDriver::delete_device(std::string id, const Query& query) {
    static const RegistryOperation operation{"delete_device", "DELETE", "delete_device() called;", true};
    return callRegistry(operation, "/api/v1/devices/" + id, nullptr, query);
}

RegistryResult MonitoringDriver::get_device_attributes(std::string id, const Query& query) {
    static const RegistryOperation operation{"get_device_attributes", "GET",
                                             "get_device_attributes() called;", true};
    return callRegistry(operation, "/api/v1/devices/" + id + "/attributes", nullptr, query);
}

RegistryResult MonitoringDriver::get_device_attributes_list(const std::string& body, const Query& query) {
    static const RegistryOperation operation{"get_device_attributes_list", "POST",
                                             "get_device_attributes_list() called;", true};
    return callRegistry(operation, "/api/v1/devices/data", &body, query);
}

RegistryResult MonitoringDriver::create_device(const std::string& body, const Query& query) {
    static const RegistryOperation operation{"create_device", "POST", "create_device() called;", false};
    return callRegistry(operation, "/api/v1/devices", &body, query);
}

RegistryResult MonitoringDriver::update_device_data(std::string id, const std::string& body,
                                                    const Query& query) {
    static const RegistryOperation operation{"update_device_data", "PATCH", "update_device_data() called;",
                                             true};
    return callRegistry(operation, "/api/v1/devices/" + id, &body, query);
}

RegistryResult MonitoringDriver::create_device_model(const std::string& body, const Query& query) {
    // Its "called" line carries the request, so it is written after the body was read.
    static const RegistryOperation operation{"create_device_model", "POST", nullptr, true};
    return callRegistry(operation, "/api/v1/devices/models", &body, query);
}

}  // namespace velmora::Engine::Sync
