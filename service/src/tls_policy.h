#pragma once

// Certificate policy of the agent's TLS clients. The TLS library keeps one
// process-wide invalid-certificate handler that every context consults when a
// chain fails to verify; if a client installed an accepting one there, every
// other client (object storage among them) would stop verifying. So the library
// is set up once per process with a rejecting handler, and each client carries
// its policy in its own context.

#include <Poco/AutoPtr.h>

namespace Poco::Net {
class Context;
}

namespace velmora::Engine::REST {

enum class TlsVerification {
    AcceptAny,  // no verification at all: the module and the cloud service as deployed
    SystemCAs,  // chain checked against the system's trust store; a failure refuses the peer
};

// Initialises the TLS library once per process; safe from any thread.
void initTls();

// A new client context with the given policy (initialises the library first).
Poco::AutoPtr<Poco::Net::Context> makeClientContext(TlsVerification verification);

}  // namespace velmora::Engine::REST
