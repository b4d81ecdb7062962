#pragma once

// One remote task as the monitoring service hands it out. It lives for one call of
// the dispatcher: built from the service's answer, run, answered and dropped.

#include <string>

#include <boost/json/object.hpp>

namespace velmora::Utils::Models {

struct Task {
    std::string id;              // the service's task id, used in the answer paths
    std::string type;            // selects the handler
    boost::json::object data;    // the task's parameters
    boost::json::object result;  // filled by the handler; the body of the confirmation
};

}  // namespace velmora::Utils::Models
