#pragma once

// The agent's health at a glance, for the people who look after a till: what runs,
// whether the module and the cloud can be reached, what waits to be sent and how
// much disk is left. Answered by GET /api/agent/get_status and printed by
// `orvix-agent --status` (status_command.h).
//
// Assembled from copies: the configuration is read under the configuration lock,
// the queues in one session use under it, and the module is probed after the lock
// was released (a TCP connect with a short timeout, so a request never waits long
// and the driver's own connection state and alerts stay untouched).

#include <Poco/JSON/Object.h>

namespace velmora::Engine::Test {

class Server;

// {"code":0,"data":{...}}; the members of data are described in docs/openapi.yaml
// (AgentStatus).
Poco::JSON::Object::Ptr agentStatusAnswer(Server& server);

}  // namespace velmora::Engine::Test
