#pragma once

// An independent OAuth 2.0 token endpoint on loopback: tests/peers/oidc.js (the
// oidc-provider package, installed by scripts/setup.sh) with the client-credentials
// grant for client "device" on kMonitoringTokenPath. It answers the standard short form
// {"access_token","expires_in","token_type"}: no refresh token, scope or session state.

#include <memory>
#include <string>

#include "cloud_sim_peer.h"
#include "test_support.h"

namespace orvix::test {

class OidcPeer {
public:
    // Starts node with oidc.js on a free port and waits until it listens. A ttl of 0
    // keeps the package's access token lifetime (600 s). Throws std::runtime_error when
    // node or the package is missing or the server does not start.
    explicit OidcPeer(const std::string& clientSecret = "secret", int accessTokenTtlSeconds = 0);
    ~OidcPeer();
    OidcPeer(const OidcPeer&) = delete;
    OidcPeer& operator=(const OidcPeer&) = delete;

    unsigned short port() const { return port_; }
    std::string baseUrl() const;  // "http://127.0.0.1:<port>", also its issuer
    // SIGTERM and wait; the port is closed afterwards.
    void stop();

private:
    unsigned short port_ = 0;
    TempDir dir_;
    std::unique_ptr<ChildProcess> process_;
};

}  // namespace orvix::test
