#pragma once

// An HTTPS peer on loopback with a self-signed certificate made for it in a
// temporary directory (CN=localhost, subjectAltName IP:127.0.0.1, one day). It
// answers every request with status 200 and the body kBody, and counts the
// requests that got through the handshake.

#include <memory>
#include <string>

#include "test_support.h"

namespace orvix::test {

class TlsPeer {
public:
    inline static const std::string kBody = "tls-peer";

    TlsPeer();
    ~TlsPeer();
    TlsPeer(const TlsPeer&) = delete;
    TlsPeer& operator=(const TlsPeer&) = delete;

    unsigned short port() const;
    std::string baseUrl() const;  // "https://127.0.0.1:<port>"
    // The peer's certificate (PEM): a trust store that makes the peer verifiable.
    std::string certificatePath() const { return dir_.file("cert.pem"); }
    int requests() const;

    struct Impl;

private:
    TempDir dir_;
    std::unique_ptr<Impl> impl_;
};

}  // namespace orvix::test
