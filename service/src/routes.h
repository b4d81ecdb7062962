#pragma once

#include <vector>

#include "server.h"

namespace velmora::Engine::Test {

// The module's commands under /api/{command}, result feedback, and /download/{name}.
std::vector<Route> moduleCommandRoutes();
// The agent's own commands under /api/agent/{command}.
std::vector<Route> agentRoutes();
// The cloud registry pass-through under /api/monitoring/.
std::vector<Route> monitoringRoutes();
// The status page at / and the recent sales it lists, /api/agent/get_recent_sales.
std::vector<Route> statusPageRoutes();

}  // namespace velmora::Engine::Test
