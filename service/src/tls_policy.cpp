#include "tls_policy.h"

#include <mutex>

#include <Poco/Net/Context.h>
#include <Poco/Net/RejectCertificateHandler.h>
#include <Poco/Net/SSLManager.h>

namespace velmora::Engine::REST {
namespace {

const char* const kCipherList = "ALL:!ADH:!LOW:!EXP:!MD5:@STRENGTH";

// Verifies against an empty trust store. No connection of the agent uses it; it
// is what a session opened without a context of its own would get, and it costs
// no copy of the system's trust store.
Poco::Net::Context::Ptr trustingNothing() {
    return new Poco::Net::Context(Poco::Net::Context::TLS_CLIENT_USE, "", "", "",
                                  Poco::Net::Context::VERIFY_RELAXED, 9, false, kCipherList);
}

Poco::Net::Context::Ptr newContext(TlsVerification verification) {
    if (verification == TlsVerification::AcceptAny) {
        // VERIFY_NONE: the handshake never fails on the peer's certificate, so the
        // process-wide handler is never asked to overrule a failure.
        Poco::Net::Context::Ptr context =
            new Poco::Net::Context(Poco::Net::Context::CLIENT_USE, "", "", "",
                                   Poco::Net::Context::VERIFY_NONE, 9, false, kCipherList);
        context->enableExtendedCertificateVerification(false);
        return context;
    }
    // Peer verification requested, against the system's default CA locations.
    return new Poco::Net::Context(Poco::Net::Context::TLS_CLIENT_USE, "", "", "",
                                  Poco::Net::Context::VERIFY_RELAXED, 9, true, kCipherList);
}

}  // namespace

void initTls() {
    static std::once_flag once;
    std::call_once(once, [] {
        Poco::Net::initializeSSL();
        // A verification failure stays a failure for every context of the process,
        // and a session opened without a context of its own trusts no certificate.
        Poco::SharedPtr<Poco::Net::InvalidCertificateHandler> reject =
            new Poco::Net::RejectCertificateHandler(false);
        Poco::Net::SSLManager::instance().initializeClient(nullptr, reject, trustingNothing());
    });
}

Poco::AutoPtr<Poco::Net::Context> makeClientContext(TlsVerification verification) {
    initTls();
    return newContext(verification);
}

}  // namespace velmora::Engine::REST
