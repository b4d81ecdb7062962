#pragma once

// The TCP side of the local API: the bound socket, the worker pool and the
// connections, guarded so that no client can hold the workers.
//
// How slow or hostile clients are kept from taking the API away:
// - Each receive waits a few seconds at most, and an idle keep-alive connection is
//   closed after a few seconds, so a silent client frees its worker soon.
// - Reading one request (its headers and its body) has an overall deadline. A
//   client that trickles bytes never trips the receive timeout, so a watch thread
//   answers 408 and closes each connection whose request is still being read when
//   its deadline passes. Once the request is read the deadline stops; what the
//   module does next has deadlines of its own.
// - A connection that arrives while every worker is busy takes the worker of the
//   connection that has waited longest for a request it has not yet delivered
//   (at least a quarter of a second: a trickler or an idle keep-alive connection),
//   which is answered 408 and closed. Without such a connection it waits in the
//   queue, since every busy worker is handling a request that ends within the
//   module's deadline; only when the queue is full is it answered 503 at once on
//   the accepting thread. A till retries; it never hangs.

#include <chrono>
#include <memory>
#include <string>

namespace Poco::Net {
class HTTPRequestHandlerFactory;
class StreamSocket;
}  // namespace Poco::Net

namespace velmora::Engine::Test {

struct ListenerSettings {
    std::string bindAddress = "0.0.0.0";
    unsigned short port = 0;
    int workers = 32;
    int queued = 100;
    int backlog = 64;
    std::chrono::seconds receiveTimeout{5};
    std::chrono::seconds keepAliveTimeout{5};
    std::chrono::seconds requestDeadline{30};
};

class LocalListener {
public:
    // Binds the socket; throws when it cannot. Takes ownership of `factory`.
    LocalListener(const ListenerSettings& settings, Poco::Net::HTTPRequestHandlerFactory* factory);
    ~LocalListener();
    LocalListener(const LocalListener&) = delete;
    LocalListener& operator=(const LocalListener&) = delete;

    void start();
    // Stops accepting and cuts every connection waiting on its client at once, as
    // HTTPServer::stopAll(true) does: such a worker wakes. A request being handled
    // sends its answer (it waits on the module for at most an exchange's deadline),
    // then its connection ends. Safe to call twice.
    void stopAccepting();
    // Waits up to `grace` for the requests in flight to end; true when none is left.
    bool waitIdle(std::chrono::milliseconds grace);

    unsigned short port() const;
    int workers() const;

    // The request on `socket` has been read: its deadline no longer applies. False
    // when the deadline passed first (the client was answered 408 and cut off): the
    // caller then sends nothing.
    bool beginHandling(const Poco::Net::StreamSocket& socket);
    // The answer is sent: the next request on the connection gets a fresh deadline.
    void endHandling(const Poco::Net::StreamSocket& socket);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace velmora::Engine::Test
