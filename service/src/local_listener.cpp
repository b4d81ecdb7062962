#include "local_listener.h"

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/serializer.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>

#include "logger.h"

namespace velmora::Engine::Test {
namespace {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;
using boost::system::error_code;
using Logging::log;

// Request headers of a till fit in a few hundred bytes.
constexpr std::uint32_t kHeaderLimit = 64 * 1024;
// How long a closing connection reads away what its client still sends.
constexpr std::chrono::milliseconds kLinger{2000};
// The write deadline once the service is stopping: a client that does not take
// its answer must not hold the stop.
constexpr std::chrono::milliseconds kSendTimeoutAtStop{2000};
// A chunked body is counted against the budget in steps of this much.
constexpr std::uint64_t kBudgetStep = 64 * 1024;

const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
const char kOverConnections[] =
    "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nRetry-After: 1\r\nConnection: close\r\n\r\n";

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// A thousand clients at once need more descriptors than the usual soft limit of 1024.
void raiseDescriptorLimit(int wanted) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= static_cast<rlim_t>(wanted)) {
        return;
    }
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, static_cast<rlim_t>(wanted));
    setrlimit(RLIMIT_NOFILE, &limit);
}

LocalReply emptyReply(int status, const char* reason) {
    LocalReply reply;
    reply.status = status;
    reply.reason = reason;
    reply.close = true;
    return reply;
}

class Connection;

}  // namespace

const std::string* LocalRequest::header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (equalsIgnoringCase(key, name)) {
            return &value;
        }
    }
    return nullptr;
}

struct LocalListener::Impl {
    Impl(const ListenerSettings& settings, RequestHandler handler, BodyRulesFor rules);

    void accept();
    void onAccepted(const error_code& error, tcp::socket socket);
    // Runs on the loop: a complete request goes to a worker, or is answered 503.
    // A request `later` waits behind every other, and only some workers take such.
    void dispatch(const std::shared_ptr<Connection>& connection, LocalRequest request, bool later);
    void work();
    bool reserve(std::uint64_t bytes);
    void release(std::uint64_t bytes) { reserved.fetch_sub(bytes); }
    void busyBegins() {
        std::lock_guard<std::mutex> lock(busyMutex);
        ++busy;
    }
    void busyEnds() {
        std::lock_guard<std::mutex> lock(busyMutex);
        --busy;
        idle.notify_all();
    }

    const ListenerSettings settings;
    const RequestHandler handler;
    const BodyRulesFor rules;

    // Touched by connections as they end, which may be while the loop below is
    // destroyed: declared first, so they outlive it.
    std::atomic<std::uint64_t> reserved{0};  // bytes of bodies in flight
    std::uint64_t budget = 0;                // the last budget the rules gave
    std::mutex busyMutex;
    std::condition_variable idle;
    int busy = 0;  // requests queued, handled or being answered

    asio::io_context loop;
    tcp::acceptor acceptor{loop};
    unsigned short port = 0;  // the one bound (differs from the settings' when that is 0)
    asio::steady_timer acceptRetry{loop};

    // Loop thread only.
    bool stopping = false;
    std::uint64_t nextId = 0;
    std::unordered_map<std::uint64_t, std::weak_ptr<Connection>> connections;

    struct Job {
        std::shared_ptr<Connection> connection;
        LocalRequest request;
    };
    std::mutex jobsMutex;  // guards jobs, laterJobs, runningLater, quit
    std::condition_variable jobsReady;
    std::deque<Job> jobs;
    // Requests of clients that have not taken their previous answers (they pipeline,
    // or their answers are still in the socket): however many such clients there
    // are, they keep most workers free for the others.
    std::deque<Job> laterJobs;
    int runningLater = 0;
    bool quit = false;

    std::mutex lifecycle;  // guards started, stopped
    bool started = false;
    bool stopped = false;

    std::thread loopThread;
    std::vector<std::thread> workerThreads;
};

namespace {

class Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(LocalListener::Impl& owner, tcp::socket socket, std::uint64_t id)
        : owner_(owner), socket_(std::move(socket)), timer_(owner.loop), id_(id) {
        error_code error;
        const tcp::endpoint remote = socket_.remote_endpoint(error);
        if (!error) {
            peer_ = remote.address().to_string() + ":" + std::to_string(remote.port());
            loopback_ = remote.address().is_loopback() ||
                        (remote.address().is_v6() && remote.address().to_v6().is_v4_mapped() &&
                         remote.address().to_v6().to_v4().is_loopback());
        }
        socket_.set_option(tcp::no_delay(true), error);
    }

    ~Connection() {
        owner_.release(reserved_);
        if (counted_) {
            owner_.busyEnds();
        }
    }

    void start() { readNext(); }

    // The service is stopping: a connection no worker has its request of ends now.
    void onStop() {
        switch (phase_) {
            case Phase::Idle:
            case Phase::Reading:
                close();
                break;
            case Phase::Writing:
                arm(kSendTimeoutAtStop);
                break;
            default:
                break;
        }
    }

    // From a worker, through the loop.
    void answer(LocalReply reply) {
        if (phase_ == Phase::Closed) {
            return;
        }
        release();
        if (!reply.answer) {
            finishBusy();
            linger();
            return;
        }
        respond(std::move(reply), false);
    }

private:
    enum class Phase { Idle, Reading, Busy, Writing, Lingering, Closed };

    void readNext() {
        if (owner_.stopping) {
            close();
            return;
        }
        parser_.emplace();
        parser_->header_limit(kHeaderLimit);
        parser_->body_limit(boost::none);  // the rules decide, with their own answers
        request_ = LocalRequest{};
        pipelined_ = buffer_.size() > 0;
        if (pipelined_) {
            beginRequest();  // a pipelined request has arrived already
            return;
        }
        phase_ = Phase::Idle;
        arm(owner_.settings.idleTimeout);
        socket_.async_wait(tcp::socket::wait_read,
                           [self = shared_from_this()](const error_code& error) { self->onReadable(error); });
    }

    void onReadable(const error_code& error) {
        if (phase_ == Phase::Closed) {
            return;
        }
        if (error || timedOut_) {
            close();  // quiet: the client never began a request
            return;
        }
        beginRequest();
    }

    void beginRequest() {
        phase_ = Phase::Reading;
        arm(owner_.settings.requestDeadline);
        http::async_read_header(
            socket_, buffer_, *parser_,
            [self = shared_from_this()](const error_code& error, std::size_t) { self->onHeader(error); });
    }

    void onHeader(const error_code& error) {
        if (phase_ == Phase::Closed) {
            return;
        }
        if (timedOut_) {
            requestTimedOut();
            return;
        }
        if (error == http::error::end_of_stream || error == asio::error::eof ||
            error == asio::error::connection_reset || error == asio::error::operation_aborted) {
            close();
            return;
        }
        if (error) {
            log().warn("Request from {} refused: {};", peer_, error.message());
            respond(emptyReply(400, "Bad Request"), true);
            return;
        }
        const auto& head = parser_->get();
        request_.method = std::string(head.method_string());
        request_.target = std::string(head.target());
        for (const auto& field : head) {
            request_.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
        }
        request_.peer = peer_;
        request_.peerIsLoopback = loopback_;
        request_.keepAlive = head.keep_alive();
        rules_ = owner_.rules(request_);

        const boost::optional<std::uint64_t> length = parser_->content_length();
        if (length && *length > rules_.limit) {
            log().warn("Request to {} refused: its body is larger than allowed;", request_.target);
            respond(emptyReply(413, "Payload Too Large"), true);
            return;
        }
        if (length && !reserveBody(*length)) {
            return;
        }
        if (parser_->is_done()) {
            complete();
            return;
        }
        const std::string* expect = request_.header("Expect");
        if (expect != nullptr && equalsIgnoringCase(*expect, "100-continue")) {
            asio::async_write(socket_, asio::buffer(kContinue, sizeof(kContinue) - 1),
                              [self = shared_from_this()](const error_code& error, std::size_t) {
                                  self->onBodyPart(error);
                              });
            return;
        }
        readBody();
    }

    void readBody() {
        http::async_read_some(
            socket_, buffer_, *parser_,
            [self = shared_from_this()](const error_code& error, std::size_t) { self->onBodyPart(error); });
    }

    void onBodyPart(const error_code& error) {
        if (phase_ == Phase::Closed) {
            return;
        }
        if (timedOut_) {
            requestTimedOut();
            return;
        }
        if (error) {
            // The client went away or broke the framing before its body was whole.
            log().warn("Request to {} from {} ended before its body arrived: {};", request_.target, peer_,
                       error.message());
            respond(emptyReply(400, "Bad Request"), true);
            return;
        }
        const std::uint64_t size = parser_->get().body().size();
        if (size > rules_.limit) {
            log().warn("Request to {} refused: its body is larger than allowed;", request_.target);
            respond(emptyReply(413, "Payload Too Large"), true);
            return;
        }
        if (size > reserved_ && !reserveBody(std::min(rules_.limit, size + kBudgetStep))) {
            return;
        }
        if (parser_->is_done()) {
            complete();
            return;
        }
        readBody();
    }

    // Counts `total` bytes of this body against the budget; answers 503 when they
    // do not fit.
    bool reserveBody(std::uint64_t total) {
        if (total <= reserved_) {
            return true;
        }
        const std::uint64_t more = total - reserved_;
        owner_.budget = rules_.budget;
        if (!owner_.reserve(more)) {
            log().warn("Request to {} from {} refused: {} bytes of bodies are in flight, the budget is {};",
                       request_.target, peer_, owner_.reserved.load(), rules_.budget);
            LocalReply busy = emptyReply(503, "Service Unavailable");
            busy.headers.emplace_back("Retry-After", "1");
            respond(std::move(busy), true);
            return false;
        }
        reserved_ = total;
        return true;
    }

    void complete() {
        disarm();
        request_.body = std::move(parser_->get().body());
        phase_ = Phase::Busy;
        counted_ = true;
        owner_.busyBegins();
        int unsent = 0;
        if (::ioctl(socket_.native_handle(), SIOCOUTQ, &unsent) != 0) {
            unsent = 0;
        }
        owner_.dispatch(shared_from_this(), std::move(request_), pipelined_ || unsent > 0);
    }

    void requestTimedOut() {
        log().warn("Request from {} not read within its deadline; answered 408;", peer_);
        respond(emptyReply(408, "Request Timeout"), true);
    }

    // Writes `reply`; `refusal` is an answer of the listener's own to a request
    // whose rest may still be on its way.
    void respond(LocalReply reply, bool refusal) {
        const bool keepAlive =
            !refusal && !reply.close && request_.keepAlive && !owner_.stopping && parser_->is_done();
        response_.emplace();
        response_->version(parser_ && parser_->get().version() == 10 ? 10 : 11);
        response_->result(static_cast<unsigned>(reply.status));
        if (!reply.reason.empty()) {
            response_->reason(reply.reason);
        }
        for (const auto& [name, value] : reply.headers) {
            response_->insert(name, value);
        }
        response_->body() = std::move(reply.body);
        response_->content_length(response_->body().size());
        response_->keep_alive(keepAlive);
        serializer_.emplace(*response_);
        phase_ = Phase::Writing;
        writeSome();
    }

    void writeSome() {
        arm(owner_.stopping ? kSendTimeoutAtStop : owner_.settings.sendTimeout);
        http::async_write_some(
            socket_, *serializer_,
            [self = shared_from_this()](const error_code& error, std::size_t) { self->onWritten(error); });
    }

    void onWritten(const error_code& error) {
        if (phase_ == Phase::Closed) {
            return;
        }
        if (timedOut_) {
            log().warn("Answer to {} not taken within its deadline; connection closed;", peer_);
            close();
            return;
        }
        if (error) {
            close();
            return;
        }
        if (!serializer_->is_done()) {
            writeSome();
            return;
        }
        const bool keepAlive = response_->keep_alive();
        serializer_.reset();
        response_.reset();
        finishBusy();
        if (keepAlive && !owner_.stopping) {
            readNext();
        } else {
            linger();
        }
    }

    // Closes the sending side and reads away what still arrives, so the answer is
    // not lost to a reset; then closes.
    void linger() {
        disarm();
        phase_ = Phase::Lingering;
        release();
        error_code ignored;
        socket_.shutdown(tcp::socket::shutdown_send, ignored);
        arm(kLinger);
        discard();
    }

    void discard() {
        socket_.async_read_some(asio::buffer(drain_),
                                [self = shared_from_this()](const error_code& error, std::size_t) {
                                    if (self->phase_ == Phase::Closed) {
                                        return;
                                    }
                                    if (error || self->timedOut_) {
                                        self->close();
                                        return;
                                    }
                                    self->discard();
                                });
    }

    void close() {
        if (phase_ == Phase::Closed) {
            return;
        }
        phase_ = Phase::Closed;
        disarm();
        error_code ignored;
        socket_.shutdown(tcp::socket::shutdown_both, ignored);
        socket_.close(ignored);
        release();
        finishBusy();
        owner_.connections.erase(id_);
    }

    void finishBusy() {
        if (counted_) {
            counted_ = false;
            owner_.busyEnds();
        }
    }

    void release() {
        owner_.release(reserved_);
        reserved_ = 0;
    }

    // One deadline at a time. When it passes, the operation in flight is
    // cancelled and its handler sees timedOut_.
    void arm(std::chrono::milliseconds after) {
        timedOut_ = false;
        const std::uint64_t generation = ++generation_;
        timer_.expires_after(after);
        timer_.async_wait([self = shared_from_this(), generation](const error_code& error) {
            if (error || generation != self->generation_ || self->phase_ == Phase::Closed) {
                return;
            }
            self->timedOut_ = true;
            error_code ignored;
            self->socket_.cancel(ignored);
        });
    }

    void disarm() {
        ++generation_;
        timedOut_ = false;
        timer_.cancel();
    }

    LocalListener::Impl& owner_;
    tcp::socket socket_;
    asio::steady_timer timer_;
    const std::uint64_t id_;
    std::string peer_ = "unknown";
    bool loopback_ = false;
    Phase phase_ = Phase::Idle;
    std::uint64_t generation_ = 0;
    bool timedOut_ = false;
    bool counted_ = false;        // counted among the requests in flight
    bool pipelined_ = false;      // the request was sent before the previous answer was read
    std::uint64_t reserved_ = 0;  // bytes of the body budget this request holds
    BodyRules rules_;
    boost::beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    LocalRequest request_;
    std::optional<http::response<http::string_body>> response_;
    std::optional<http::response_serializer<http::string_body>> serializer_;
    std::array<char, 16 * 1024> drain_{};
};

tcp::endpoint endpointOf(const ListenerSettings& settings) {
    return tcp::endpoint(asio::ip::make_address(settings.bindAddress), settings.port);
}

}  // namespace

LocalListener::Impl::Impl(const ListenerSettings& settings, RequestHandler handler, BodyRulesFor rules)
    : settings(settings), handler(std::move(handler)), rules(std::move(rules)) {
    raiseDescriptorLimit(settings.maxConnections + 256);
    const tcp::endpoint endpoint = endpointOf(settings);
    acceptor.open(endpoint.protocol());
    // Address reuse only: with SO_REUSEPORT a second agent, or any program asking
    // for the same, would share the port silently and take part of the tills' requests.
    acceptor.set_option(tcp::acceptor::reuse_address(true));
    acceptor.bind(endpoint);
    acceptor.listen(settings.backlog);
    port = acceptor.local_endpoint().port();
}

bool LocalListener::Impl::reserve(std::uint64_t bytes) {
    std::uint64_t current = reserved.load();
    do {
        if (current + bytes > budget) {
            return false;
        }
    } while (!reserved.compare_exchange_weak(current, current + bytes));
    return true;
}

void LocalListener::Impl::accept() {
    acceptor.async_accept(
        [this](const error_code& error, tcp::socket socket) { onAccepted(error, std::move(socket)); });
}

void LocalListener::Impl::onAccepted(const error_code& error, tcp::socket socket) {
    if (stopping || error == asio::error::operation_aborted) {
        return;
    }
    if (error) {
        // Out of descriptors or memory: accepting again at once would only spin.
        log().warn("Local API cannot accept a connection: {};", error.message());
        acceptRetry.expires_after(std::chrono::milliseconds(100));
        acceptRetry.async_wait([this](const error_code& waited) {
            if (!waited && !stopping) {
                accept();
            }
        });
        return;
    }
    if (connections.size() >= static_cast<std::size_t>(settings.maxConnections)) {
        // Never waits on the client: the loop serves everyone else.
        ::send(socket.native_handle(), kOverConnections, sizeof(kOverConnections) - 1,
               MSG_DONTWAIT | MSG_NOSIGNAL);
        log().warn("{} connections open; a new one was answered 503;", connections.size());
        error_code ignored;
        socket.shutdown(tcp::socket::shutdown_both, ignored);
    } else {
        const std::uint64_t id = nextId++;
        auto connection = std::make_shared<Connection>(*this, std::move(socket), id);
        connections.emplace(id, connection);
        connection->start();
    }
    accept();
}

void LocalListener::Impl::dispatch(const std::shared_ptr<Connection>& connection, LocalRequest request,
                                   bool later) {
    {
        std::lock_guard<std::mutex> lock(jobsMutex);
        // One request per connection at most waits here, so the later queue is
        // bounded by the connections.
        std::deque<Job>& queue = later ? laterJobs : jobs;
        const std::size_t room = later ? static_cast<std::size_t>(settings.maxConnections)
                                       : static_cast<std::size_t>(settings.queued);
        if (!quit && queue.size() < room) {
            queue.push_back(Job{connection, std::move(request)});
            jobsReady.notify_all();
            return;
        }
    }
    log().warn("All {} workers busy and {} requests queued; request from {} answered 503;", settings.workers,
               settings.queued, request.peer);
    LocalReply busyReply = emptyReply(503, "Service Unavailable");
    busyReply.headers.emplace_back("Retry-After", "1");
    connection->answer(std::move(busyReply));
}

void LocalListener::Impl::work() {
    const int laterWorkers = std::max(1, settings.workers / 4);
    for (;;) {
        Job job;
        bool later = false;
        {
            std::unique_lock<std::mutex> lock(jobsMutex);
            jobsReady.wait(lock, [&] {
                return quit || !jobs.empty() || (!laterJobs.empty() && runningLater < laterWorkers);
            });
            if (!jobs.empty()) {
                job = std::move(jobs.front());
                jobs.pop_front();
            } else if (!laterJobs.empty() && runningLater < laterWorkers) {
                job = std::move(laterJobs.front());
                laterJobs.pop_front();
                later = true;
                ++runningLater;
            } else {
                return;
            }
        }
        LocalReply reply;
        try {
            reply = handler(job.request);
        } catch (const std::exception& e) {
            log().error("Local API handler failed: {};", e.what());
            reply = emptyReply(500, "Internal Server Error");
        }
        // The body is no longer needed; its memory goes before the answer is written.
        job.request = LocalRequest{};
        asio::post(loop, [connection = std::move(job.connection), reply = std::move(reply)]() mutable {
            connection->answer(std::move(reply));
        });
        if (later) {
            std::lock_guard<std::mutex> lock(jobsMutex);
            --runningLater;
            jobsReady.notify_all();
        }
    }
}

LocalListener::LocalListener(const ListenerSettings& settings, RequestHandler handler, BodyRulesFor rules)
    : impl_(std::make_unique<Impl>(settings, std::move(handler), std::move(rules))) {
    Impl& impl = *impl_;
    impl.loopThread = std::thread([&impl] {
        auto work = asio::make_work_guard(impl.loop);
        impl.loop.run();
    });
    for (int i = 0; i < settings.workers; ++i) {
        impl.workerThreads.emplace_back([&impl] { impl.work(); });
    }
}

LocalListener::~LocalListener() {
    stopAccepting();
    waitIdle(std::chrono::seconds(10));
    {
        std::lock_guard<std::mutex> lock(impl_->jobsMutex);
        impl_->quit = true;
    }
    impl_->jobsReady.notify_all();
    for (auto& worker : impl_->workerThreads) {
        worker.join();
    }
    impl_->loop.stop();
    impl_->loopThread.join();
    // What is left on the loop (connections still open) ends with it.
}

void LocalListener::start() {
    std::lock_guard<std::mutex> lock(impl_->lifecycle);
    if (impl_->started || impl_->stopped) {
        return;
    }
    impl_->started = true;
    asio::post(impl_->loop, [impl = impl_.get()] { impl->accept(); });
}

void LocalListener::stopAccepting() {
    {
        std::lock_guard<std::mutex> lock(impl_->lifecycle);
        if (impl_->stopped) {
            return;
        }
        impl_->stopped = true;
    }
    std::deque<Impl::Job> waiting;
    {
        std::lock_guard<std::mutex> lock(impl_->jobsMutex);
        waiting.swap(impl_->jobs);
        for (auto& job : impl_->laterJobs) {
            waiting.push_back(std::move(job));
        }
        impl_->laterJobs.clear();
    }
    std::promise<void> done;
    asio::post(impl_->loop, [impl = impl_.get(), &done, &waiting] {
        impl->stopping = true;
        error_code ignored;
        impl->acceptor.close(ignored);
        impl->acceptRetry.cancel();
        for (auto& job : waiting) {
            LocalReply busyReply = emptyReply(503, "Service Unavailable");
            busyReply.headers.emplace_back("Retry-After", "1");
            job.connection->answer(std::move(busyReply));
        }
        waiting.clear();
        // onStop may end a connection, which takes it out of the map.
        std::vector<std::shared_ptr<Connection>> open;
        for (auto& [id, weak] : impl->connections) {
            if (auto connection = weak.lock()) {
                open.push_back(std::move(connection));
            }
        }
        for (auto& connection : open) {
            connection->onStop();
        }
        done.set_value();
    });
    done.get_future().wait();
}

bool LocalListener::waitIdle(std::chrono::milliseconds grace) {
    std::unique_lock<std::mutex> lock(impl_->busyMutex);
    return impl_->idle.wait_for(lock, grace, [this] { return impl_->busy == 0; });
}

unsigned short LocalListener::port() const {
    return impl_->port;
}

int LocalListener::workers() const {
    return impl_->settings.workers;
}

}  // namespace velmora::Engine::Test
