#pragma once

#include <Poco/Net/Context.h>

#include <string>

namespace orvix::cloudsim {

struct TlsOptions {
    bool enabled = false;
    std::string certFile;  // PEM certificate; with keyFile, used instead of a generated one
    std::string keyFile;   // PEM private key
    std::string certOut;   // where to write the generated certificate (PEM), if anywhere
};

// The HTTPS server context: the given certificate and key, or a self-signed certificate
// made now for CN=localhost with the alternative names localhost and 127.0.0.1.
// Client certificates are not asked for. Throws std::runtime_error on failure.
Poco::Net::Context::Ptr serverContext(const TlsOptions& options);

}  // namespace orvix::cloudsim
