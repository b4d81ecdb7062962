#pragma once

#include "sim_state.h"

#include <map>
#include <string>

namespace orvix::cloudsim {

// The agent-facing interface: the token endpoint under /auth/ and the monitoring
// service under /api/v1/ (per-device reports, task protocol, registry), as one route table.

extern const char* const kTokenPath;

// The fault target a request belongs to: the target of its route, else "token" for
// anything under /auth/ and "registry" for the rest.
std::string faultTarget(const Request& request);

// Answers one request that is not for /control/. Checks the bearer token of /api/v1/
// requests, records what the agent sent, and takes the state lock itself.
Reply serveCloud(SimState& state, const Request& request);

// The fields of an application/x-www-form-urlencoded body ("+" and %XX decoded).
std::map<std::string, std::string> parseForm(const std::string& body);

}  // namespace orvix::cloudsim
