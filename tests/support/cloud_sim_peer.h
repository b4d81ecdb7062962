#pragma once

// The cloud simulator (build/orvix-cloud-sim) as a process on a free loopback port,
// with its control interface as methods: what the agent sent, tasks, faults, tokens.

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "test_support.h"

namespace boost::json {
class array;
class object;
}  // namespace boost::json

namespace orvix::test {

// The token endpoint path of the monitoring service (simulator and oidc-provider peer alike).
inline constexpr const char* kMonitoringTokenPath = "/auth/realms/Velmora/protocol/openid-connect/token";

class CloudSimPeer {
public:
    static constexpr const char* kClientSecret = "secret";        // the simulator's default
    static constexpr const char* kDeviceId = "42";                // the seeded registry device
    static constexpr const char* kDeviceSerial = "VLM2A0C1B7E4";  // its serial (the module sim's)

    // Starts the simulator with `extraArgs` (for example {"--tls"}, {"--short-token"},
    // {"--seed-duplicate"}) and waits until it listens. Throws std::runtime_error when
    // it does not start.
    explicit CloudSimPeer(const std::vector<std::string>& extraArgs = {});
    ~CloudSimPeer();
    CloudSimPeer(const CloudSimPeer&) = delete;
    CloudSimPeer& operator=(const CloudSimPeer&) = delete;

    unsigned short port() const { return port_; }
    bool tls() const { return tls_; }
    std::string baseUrl() const;  // "http://127.0.0.1:<port>" or "https://..."

    // One exchange with the simulator; over HTTPS without certificate checks under --tls.
    HttpAnswer call(const std::string& method, const std::string& target, const std::string& body = {},
                    const std::string& contentType = {},
                    const std::map<std::string, std::string>& headers = {}) const;
    // A fresh access token from the token endpoint for client "device"; throws unless 200.
    std::string accessToken(const std::string& secret = kClientSecret) const;
    // call() with "Authorization: Bearer <token>" and a JSON body when one is given.
    HttpAnswer apiCall(const std::string& method, const std::string& target, const std::string& token,
                       const std::string& body = {}) const;

    // GET /control/received: "token_requests", "attributes", "recognitions", "alerts",
    // "task_answers", "tasks_fetched", "requests" (see orvix-cloud-sim --help).
    boost::json::object received() const;
    // One list of it, e.g. received("recognitions").size().
    boost::json::array received(const std::string& list) const;
    // The "task_answers" entries of one task id, in order of arrival.
    boost::json::array taskAnswers(const std::string& taskId) const;

    // POST /control/tasks; an empty id lets the simulator make one. Returns the task id.
    std::string enqueueTask(const std::string& device, const std::string& id, const std::string& type,
                            const std::string& dataJson = "{}") const;
    // POST /control/tasks with a raw answer body (any JSON text) for the device's next GET task.
    void enqueueRawTask(const std::string& device, const std::string& rawJson) const;
    // POST /control/fault, e.g. {"target":"recognition","mode":"status","status":500,"count":1}.
    void fault(const std::string& json) const;
    // POST /control/token, e.g. {"lifetime":61,"short":true}.
    void token(const std::string& json) const;
    // POST /control/token/revoke: every access token becomes invalid.
    void revokeTokens() const;
    // POST /control/reset.
    void reset() const;

    std::string output() const;  // the simulator's request log so far
    // SIGTERM and wait; the port is closed afterwards.
    void stop();

private:
    std::string control(const std::string& method, const std::string& path,
                        const std::string& body = {}) const;

    unsigned short port_ = 0;
    bool tls_ = false;
    TempDir dir_;
    std::unique_ptr<ChildProcess> process_;
};

}  // namespace orvix::test
