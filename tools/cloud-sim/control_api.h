#pragma once

#include "sim_state.h"

namespace orvix::cloudsim {

// The control interface under /control/ for tests and people: what the agent sent,
// the task queue, faults, token behaviour, reset. No token needed; never faulted.
// Takes the state lock itself.
Reply serveControl(SimState& state, const Request& request);

}  // namespace orvix::cloudsim
