#include "local_listener.h"

#include <sys/socket.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include <Poco/Net/HTTPRequestHandlerFactory.h>
#include <Poco/Net/HTTPServerConnection.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/Net/TCPServer.h>
#include <Poco/Net/TCPServerConnectionFactory.h>
#include <Poco/ThreadPool.h>

#include "logger.h"

namespace velmora::Engine::Test {
namespace {

using Clock = std::chrono::steady_clock;
using Logging::log;

const std::string kRequestTimeout =
    "HTTP/1.1 408 Request Timeout\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
const std::string kBusy =
    "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nRetry-After: 1\r\nConnection: close\r\n\r\n";

// Every open connection, with the deadline of the request being read on it.
// Connections are keyed by their socket implementation, which lives as long as
// the connection's own socket object does.
class DeadlineWatch {
public:
    explicit DeadlineWatch(std::chrono::seconds deadline) : deadline_(deadline), thread_([this] { run(); }) {}

    ~DeadlineWatch() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            quit_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }

    void open(const Poco::Net::StreamSocket& socket) {
        std::lock_guard<std::mutex> lock(mutex_);
        const Clock::time_point now = Clock::now();
        entries_[socket.impl()] = Entry{socket, now + deadline_, now, true, false};
    }

    void close(const Poco::Net::StreamSocket& socket) {
        std::lock_guard<std::mutex> lock(mutex_);
        entries_.erase(socket.impl());
    }

    // Every connection waiting on its client is shut down, so its worker wakes at
    // once; a request being handled finishes and sends its answer, and its
    // connection ends right after.
    void cutAll() {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        for (auto& [impl, entry] : entries_) {
            if (entry.reading) {
                shutdownReceive(entry.socket);
            }
        }
    }

    bool beginHandling(const Poco::Net::StreamSocket& socket) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = entries_.find(socket.impl());
        if (found == entries_.end()) {
            return true;
        }
        found->second.reading = false;
        return !found->second.expired;
    }

    void endHandling(const Poco::Net::StreamSocket& socket) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = entries_.find(socket.impl());
        if (found != entries_.end() && !found->second.expired) {
            found->second.reading = true;
            found->second.readingSince = Clock::now();
            found->second.deadline = found->second.readingSince + deadline_;
            if (stopping_) {
                shutdownReceive(found->second.socket);
            }
        }
    }

    // Ends the connection that has waited longest for its client's next request,
    // if that is at least `minimum`: a client that has not delivered its request
    // headers by then (a trickler, or an idle keep-alive connection) gives its worker
    // to a client that is ready. False when every worker is busy with a request.
    bool cutSlowestReader(std::chrono::milliseconds minimum) {
        std::lock_guard<std::mutex> lock(mutex_);
        const Clock::time_point now = Clock::now();
        Entry* slowest = nullptr;
        for (auto& [impl, entry] : entries_) {
            if (entry.reading && !entry.expired && now - entry.readingSince >= minimum &&
                (slowest == nullptr || entry.readingSince < slowest->readingSince)) {
                slowest = &entry;
            }
        }
        if (slowest == nullptr) {
            return false;
        }
        slowest->expired = true;
        cut(slowest->socket);
        return true;
    }

private:
    struct Entry {
        Poco::Net::StreamSocket socket;
        Clock::time_point deadline;
        Clock::time_point readingSince;  // when it began to wait for the next request
        bool reading = true;
        bool expired = false;
    };

    // The answer already written still goes out; the next receive ends the connection.
    static void shutdownReceive(Poco::Net::StreamSocket& socket) {
        try {
            socket.shutdownReceive();
        } catch (const std::exception&) {
        }
    }

    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!quit_) {
            wake_.wait_for(lock, std::chrono::milliseconds(200));
            const Clock::time_point now = Clock::now();
            for (auto& [impl, entry] : entries_) {
                if (entry.reading && !entry.expired && now >= entry.deadline) {
                    entry.expired = true;
                    cut(entry.socket);
                }
            }
        }
    }

    // While a request is being read its worker only receives, so the answer can be
    // written from here. Shutting the socket down wakes the worker's receive.
    static void cut(Poco::Net::StreamSocket& socket) {
        try {
            log().warn("Request from {} not read within its deadline; answered 408;",
                       socket.peerAddress().toString());
            // Never waits on the client: this runs on the watch or the accepting thread.
            ::send(socket.impl()->sockfd(), kRequestTimeout.data(), kRequestTimeout.size(),
                   MSG_DONTWAIT | MSG_NOSIGNAL);
        } catch (const std::exception&) {
        }
        try {
            socket.shutdown();
        } catch (const std::exception&) {
        }
    }

    std::chrono::seconds deadline_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool quit_ = false;
    bool stopping_ = false;
    std::map<const void*, Entry> entries_;
    std::thread thread_;  // last: it starts once everything above exists
};

// The library's HTTP connection, known to the watch for as long as it lives.
class WatchedConnection : public Poco::Net::HTTPServerConnection {
public:
    WatchedConnection(const Poco::Net::StreamSocket& socket, Poco::Net::HTTPServerParams::Ptr params,
                      Poco::Net::HTTPRequestHandlerFactory::Ptr factory, DeadlineWatch& watch)
        : HTTPServerConnection(socket, params, factory), watch_(watch) {}

    void run() override {
        struct Registration {
            DeadlineWatch& watch;
            const Poco::Net::StreamSocket& socket;
            ~Registration() { watch.close(socket); }
        } registration{watch_, socket()};
        watch_.open(socket());
        HTTPServerConnection::run();
    }

private:
    DeadlineWatch& watch_;
};

class WatchedConnectionFactory : public Poco::Net::TCPServerConnectionFactory {
public:
    WatchedConnectionFactory(Poco::Net::HTTPServerParams::Ptr params,
                             Poco::Net::HTTPRequestHandlerFactory::Ptr factory, DeadlineWatch& watch)
        : params_(params), factory_(factory), watch_(watch) {}

    Poco::Net::TCPServerConnection* createConnection(const Poco::Net::StreamSocket& socket) override {
        return new WatchedConnection(socket, params_, factory_, watch_);  // the server takes ownership
    }

private:
    Poco::Net::HTTPServerParams::Ptr params_;
    Poco::Net::HTTPRequestHandlerFactory::Ptr factory_;
    DeadlineWatch& watch_;
};

}  // namespace

// Runs on the accepting thread, so it never waits on a client. With every worker
// taken, the one waiting longest for a slow client's request is cut (408) to make
// room, so 32 tricklers cannot keep a ready client out; a connection beyond that
// waits in the queue, since a request being handled ends within the module's
// deadline. Only a full queue is answered 503 at once.
class BusyGate : public Poco::Net::TCPServerConnectionFilter {
public:
    BusyGate(const Poco::Net::TCPServer*& server, DeadlineWatch& watch, int workers, int queued)
        : server_(server), watch_(watch), workers_(workers), queued_(queued) {}

    bool accept(const Poco::Net::StreamSocket& socket) override {
        const Poco::Net::TCPServer* server = server_;
        if (server == nullptr) {
            return true;
        }
        const int waiting = server->currentConnections() + server->queuedConnections();
        if (waiting < workers_) {
            return true;
        }
        if (watch_.cutSlowestReader(kSlowReader) || waiting < workers_ + queued_) {
            return true;
        }
        Poco::Net::StreamSocket refused(socket);
        try {
            // The request already received is read first: closing a socket with unread
            // data resets the connection, and the client could lose the answer.
            refused.setBlocking(false);
            char discard[4096];
            while (refused.available() > 0 &&
                   refused.receiveBytes(discard, static_cast<int>(sizeof(discard))) > 0) {
            }
            refused.setBlocking(true);
            refused.sendBytes(kBusy.data(), static_cast<int>(kBusy.size()));
            refused.shutdownSend();
        } catch (const std::exception&) {
        }
        log().warn("All {} workers busy and {} connections queued; connection from {} answered 503;",
                   workers_, queued_, socket.peerAddress().toString());
        return false;
    }

private:
    // A client on the local network sends its request headers in milliseconds.
    static constexpr std::chrono::milliseconds kSlowReader{250};

    const Poco::Net::TCPServer*& server_;
    DeadlineWatch& watch_;
    int workers_;
    int queued_;
};

namespace {

// Bound without SO_REUSEPORT, which the library's constructor sets: with it a
// second agent, or any program asking for the same, would share the port
// silently and take part of the tills' requests.
Poco::Net::ServerSocket listeningSocket(const ListenerSettings& settings) {
    Poco::Net::ServerSocket socket;
    socket.bind(Poco::Net::SocketAddress(settings.bindAddress, settings.port), true, false);
    socket.listen(settings.backlog);
    return socket;
}

}  // namespace

struct LocalListener::Impl {
    Impl(const ListenerSettings& settings, Poco::Net::HTTPRequestHandlerFactory* handlerFactory)
        : settings(settings),
          socket(listeningSocket(settings)),
          pool(1, settings.workers),
          factory(handlerFactory),
          watch(settings.requestDeadline) {
        Poco::Net::HTTPServerParams::Ptr params = new Poco::Net::HTTPServerParams;
        params->setMaxThreads(settings.workers);
        params->setMaxQueued(settings.queued);
        params->setTimeout(Poco::Timespan(settings.receiveTimeout.count(), 0));
        params->setKeepAlive(true);
        params->setKeepAliveTimeout(Poco::Timespan(settings.keepAliveTimeout.count(), 0));
        server = std::make_unique<Poco::Net::TCPServer>(new WatchedConnectionFactory(params, factory, watch),
                                                        pool, socket, params);
        server->setConnectionFilter(new BusyGate(serverView, watch, settings.workers, settings.queued));
        serverView = server.get();
    }

    ListenerSettings settings;
    Poco::Net::ServerSocket socket;
    Poco::ThreadPool pool;
    Poco::Net::HTTPRequestHandlerFactory::Ptr factory;
    DeadlineWatch watch;
    const Poco::Net::TCPServer* serverView = nullptr;  // what the gate counts
    std::unique_ptr<Poco::Net::TCPServer> server;
    std::mutex lifecycle;  // guards stopped, start and stop
    bool stopped = false;
};

LocalListener::LocalListener(const ListenerSettings& settings, Poco::Net::HTTPRequestHandlerFactory* factory)
    : impl_(std::make_unique<Impl>(settings, factory)) {}

LocalListener::~LocalListener() {
    stopAccepting();
    // The server goes before the pool (members end in reverse order), and the pool
    // ends its threads itself.
    waitIdle(std::chrono::seconds(10));
}

void LocalListener::start() {
    // Start and stop come from different threads at shutdown: once stopped, the
    // listener never starts again.
    std::lock_guard<std::mutex> lock(impl_->lifecycle);
    if (!impl_->stopped) {
        impl_->server->start();
    }
}

void LocalListener::stopAccepting() {
    std::lock_guard<std::mutex> lock(impl_->lifecycle);
    if (impl_->stopped) {
        return;
    }
    impl_->stopped = true;
    impl_->server->stop();
    impl_->watch.cutAll();
}

bool LocalListener::waitIdle(std::chrono::milliseconds grace) {
    const Clock::time_point until = Clock::now() + grace;
    while (impl_->server->currentConnections() > 0) {
        if (Clock::now() >= until) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

unsigned short LocalListener::port() const {
    return impl_->socket.address().port();
}

int LocalListener::workers() const {
    return impl_->pool.capacity();
}

bool LocalListener::beginHandling(const Poco::Net::StreamSocket& socket) {
    return impl_->watch.beginHandling(socket);
}

void LocalListener::endHandling(const Poco::Net::StreamSocket& socket) {
    impl_->watch.endHandling(socket);
}

}  // namespace velmora::Engine::Test
