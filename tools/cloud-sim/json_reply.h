#pragma once

#include "sim_state.h"

#include <boost/json/value.hpp>

#include <string>

namespace orvix::cloudsim {

// Small JSON helpers shared by the agent-facing and the control interface.

Reply jsonReply(int status, const boost::json::value& body);
Reply errorReply(int status, const std::string& error);
// The body as JSON, or as a JSON string holding the text when it is not JSON.
boost::json::value parseBody(const std::string& body);
// A JSON value as text for comparisons and ids: strings as they are, the rest serialised.
std::string valueText(const boost::json::value& value);

}  // namespace orvix::cloudsim
