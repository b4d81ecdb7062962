#include "module_sim_peer.h"

#include <csignal>
#include <stdexcept>

namespace orvix::test {

ModuleSimPeer::ModuleSimPeer(const std::string& outputDir, const std::string& jobSeconds)
    : port_(freePort()) {
    process_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{std::string(ORVIX_BINARY_DIR) + "/orvix-module-sim", "--host", "127.0.0.1",
                                 "--port", std::to_string(port_), "--job-seconds", jobSeconds, "--seed", "7"},
        std::map<std::string, std::string>{}, outputDir);
    if (!waitForPort(port_, std::chrono::seconds(10))) {
        throw std::runtime_error("module simulator did not start: " + process_->stderrText());
    }
}

void ModuleSimPeer::fault(const std::string& json) const {
    auto answer = httpCall(port_, "POST", "/control/fault", json, "application/json");
    if (answer.status != 200) {
        throw std::runtime_error("fault not accepted: " + answer.body);
    }
}

std::string ModuleSimPeer::state() const {
    return httpCall(port_, "GET", "/control/state").body;
}

void ModuleSimPeer::stop() {
    process_->signal(SIGTERM);
    process_->wait(std::chrono::seconds(10));
}

}  // namespace orvix::test
