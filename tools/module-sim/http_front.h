#pragma once

#include <memory>
#include <string>

namespace orvix::modsim {

class ModuleState;

// The HTTP side of the simulator: the module API under /api/ and /download/, the fault
// injection that can spoil those answers, the control endpoint under /control/, and one
// log line per request on standard output.
class HttpFront {
public:
    HttpFront(ModuleState& module, const std::string& host, unsigned short port);
    ~HttpFront();
    HttpFront(const HttpFront&) = delete;
    HttpFront& operator=(const HttpFront&) = delete;

    unsigned short port() const;
    void start();
    // Releases held connections, stops listening and waits for requests in flight.
    void stop();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace orvix::modsim
