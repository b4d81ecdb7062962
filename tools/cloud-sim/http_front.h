#pragma once

#include <memory>
#include <string>

namespace orvix::cloudsim {

struct SimState;
struct TlsOptions;

// The HTTP(S) side of the simulator: turns requests into `Request`s, applies the faults
// of their target, hands them to the agent-facing or the control interface, keeps the
// request history and writes one log line per request on standard output.
class HttpFront {
public:
    HttpFront(SimState& state, const std::string& host, unsigned short port, const TlsOptions& tls);
    ~HttpFront();
    HttpFront(const HttpFront&) = delete;
    HttpFront& operator=(const HttpFront&) = delete;

    unsigned short port() const;
    const char* scheme() const;  // "http" or "https"
    void start();
    // Ends delays in progress, stops listening and waits for requests in flight.
    void stop();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace orvix::cloudsim
