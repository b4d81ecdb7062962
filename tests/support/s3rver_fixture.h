#pragma once

// S3-compatible storage on loopback for the tests: the s3rver package from
// tests/peers (installed by scripts/setup.sh), one bucket, data in a temporary
// directory. It checks the access key id, not the signature.

#include <memory>
#include <string>

#include "test_support.h"

namespace orvix::test {

class S3rverPeer {
public:
    static constexpr const char* kAccessKey = "S3RVER";
    static constexpr const char* kSecretKey = "S3RVER";

    // Starts the server on a free port with `bucket` created and waits until it
    // listens. Throws std::runtime_error when it cannot be started.
    explicit S3rverPeer(const std::string& bucket = "develop");
    ~S3rverPeer();
    S3rverPeer(const S3rverPeer&) = delete;
    S3rverPeer& operator=(const S3rverPeer&) = delete;

    unsigned short port() const { return port_; }
    const std::string& bucket() const { return bucket_; }
    std::string endpoint() const;  // "http://127.0.0.1:<port>"
    // Stops the server (SIGTERM, then waits); the port stays closed afterwards.
    void stop();
    // Starts it again on the same port with what it stored.
    void restart();

    // The s3rver launcher of the source tree, or "" when tests/peers is not installed.
    static std::string executable();

private:
    bool launch();  // on port_; false when it did not come up
    std::string bucket_;
    unsigned short port_ = 0;
    TempDir dir_;
    std::unique_ptr<ChildProcess> process_;
};

}  // namespace orvix::test
