#pragma once

// `orvix-agent --status`: asks the agent running on this computer for its status
// (GET /api/agent/get_status) and prints a short summary in the manner of
// `systemctl status`.

#include <iosfwd>

namespace velmora::Engine {

// Exit statuses of the command, as systemctl uses them where they mean the same.
inline constexpr int kStatusHealthy = 0;
inline constexpr int kStatusDegraded = 1;    // the module or the cloud cannot be reached
inline constexpr int kStatusNotRunning = 3;  // the agent did not answer in time, or not usably

// Prints the summary of the agent on 127.0.0.1:`port` to `out` and returns one of
// the statuses above. Waits at most a few seconds.
int printAgentStatus(unsigned short port, std::ostream& out);

}  // namespace velmora::Engine
