#pragma once

// The TCP side of the local API: one event loop reads every request and writes
// every answer, and a pool of workers runs the handler on complete requests only.
//
// So no client can hold a worker, whatever it does on its connection:
// - A connection waiting for its next request (a new one, or keep-alive between
//   requests) is closed quietly after `idleTimeout` without a byte.
// - From its first byte a request, headers and body, has `requestDeadline` to
//   arrive whole; past it the client is answered 408 and the connection closed.
//   A request that arrives in time is never answered 408, however busy the
//   workers or the computer are.
// - An answer is written by the loop: each write must make progress within
//   `sendTimeout`, or the connection is closed. A client that never reads holds
//   a socket and its answer, never a worker.
// - A body beyond its route's limit is answered 413 without being read; bodies
//   in flight share a memory budget, and a request whose body does not fit in
//   what is left is answered 503 before its body is read.
// - Complete requests wait for a worker in a queue of `queued`; past it they are
//   answered 503 at once. A client that has not taken its previous answers (it
//   pipelines, or they are still in its socket) waits behind all the others, and
//   a quarter of the workers at most run such requests: clients that never read
//   cannot crowd out those that do. Past `maxConnections` open connections a new one is
//   answered 503 and closed.
// Closing after an answer reads away what the client still sends for a short
// while, so closing with unread data never resets the connection and loses the
// answer.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velmora::Engine::Test {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// One request as read off its connection: complete before a worker sees it.
struct LocalRequest {
    std::string method;
    std::string target;  // path and query as received
    HeaderList headers;  // as received, in order
    std::string body;
    std::string peer;  // the caller's address and port
    bool peerIsLoopback = false;
    bool keepAlive = true;

    // The first header of that name (names compare without case), or nullptr.
    const std::string* header(std::string_view name) const;
};

// One answer. `headers` includes the content type; the length is set by the
// listener.
struct LocalReply {
    int status = 200;
    std::string reason;  // "" means the standard phrase of the status
    HeaderList headers;
    std::string body;
    bool close = false;  // end the connection after this answer
    bool answer = true;  // false: close the connection without answering
};

// What a request's body may be, decided from its method, target and headers.
struct BodyRules {
    std::uint64_t limit = 0;   // larger: 413
    std::uint64_t budget = 0;  // all bodies being read or handled together; beyond: 503
};

using RequestHandler = std::function<LocalReply(LocalRequest&)>;
// Runs on the event loop, so it must not wait on anything but a short lock.
using BodyRulesFor = std::function<BodyRules(const LocalRequest& head)>;

struct ListenerSettings {
    std::string bindAddress = "0.0.0.0";
    unsigned short port = 0;
    int workers = 32;
    int queued = 100;
    int backlog = 256;
    int maxConnections = 4096;
    std::chrono::milliseconds idleTimeout{5000};
    std::chrono::milliseconds requestDeadline{30000};
    std::chrono::milliseconds sendTimeout{10000};
};

class LocalListener {
public:
    // Binds the socket and starts the event loop and the workers; throws when it
    // cannot bind. Connections are accepted from start() on.
    LocalListener(const ListenerSettings& settings, RequestHandler handler, BodyRulesFor rules);
    ~LocalListener();
    LocalListener(const LocalListener&) = delete;
    LocalListener& operator=(const LocalListener&) = delete;

    void start();
    // Stops accepting and closes every connection that is not waiting on a worker.
    // Requests queued for a worker are answered 503; a request being handled
    // sends its answer (it waits on the module for at most an exchange's deadline),
    // then its connection ends. Safe to call twice.
    void stopAccepting();
    // Waits up to `grace` for the requests in flight to end; true when none is left.
    bool waitIdle(std::chrono::milliseconds grace);

    unsigned short port() const;
    int workers() const;

    // The loop's and the workers' state, known to the connections in the source only.
    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace velmora::Engine::Test
