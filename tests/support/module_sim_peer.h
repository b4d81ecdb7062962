#pragma once

#include <memory>
#include <string>

#include "test_support.h"

namespace orvix::test {

// The module simulator as a process on a free loopback port.
class ModuleSimPeer {
public:
    explicit ModuleSimPeer(const std::string& outputDir, const std::string& jobSeconds = "0.3");
    unsigned short port() const { return port_; }
    // POST /control/fault with the given JSON object.
    void fault(const std::string& json) const;
    // GET /control/state, parsed by the caller.
    std::string state() const;
    void stop();

private:
    unsigned short port_;
    std::unique_ptr<ChildProcess> process_;
};

}  // namespace orvix::test
