#include "http_front.h"

#include "cloud_api.h"
#include "control_api.h"
#include "json_reply.h"
#include "sim_state.h"
#include "tls_context.h"

#include <Poco/DateTimeFormatter.h>
#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPRequestHandlerFactory.h>
#include <Poco/Net/HTTPServer.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Net/SecureServerSocket.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/StreamCopier.h>
#include <Poco/Timestamp.h>
#include <Poco/URI.h>

#include <boost/json/object.hpp>
#include <boost/json/parse.hpp>

#include <chrono>
#include <cstdio>
#include <sstream>

namespace orvix::cloudsim {

namespace {

namespace json = boost::json;

Poco::Net::ServerSocket listeningSocket(const std::string& host, unsigned short port, const TlsOptions& tls) {
    Poco::Net::SocketAddress address(host, port);
    if (tls.enabled) {
        return Poco::Net::SecureServerSocket(address, 64, serverContext(tls));
    }
    return Poco::Net::ServerSocket(address, 64);
}

std::string decoded(const std::string& text) {
    std::string result;
    Poco::URI::decode(text, result, true);
    return result;
}

// The request target split into path segments (empty ones kept) and query pairs (in order).
Request parseTarget(const std::string& method, const std::string& target) {
    Request request;
    request.method = method;
    auto mark = target.find('?');
    request.path = target.substr(0, mark);
    std::istringstream segments(request.path.size() > 1 ? request.path.substr(1) : std::string());
    for (std::string segment; std::getline(segments, segment, '/');) {
        request.segments.push_back(decoded(segment));
    }
    if (!request.path.empty() && request.path.back() == '/' && request.path.size() > 1) {
        request.segments.emplace_back();  // getline drops the empty last segment
    }
    if (mark != std::string::npos) {
        std::istringstream pairs(target.substr(mark + 1));
        for (std::string pair; std::getline(pairs, pair, '&');) {
            if (!pair.empty()) {
                auto equals = pair.find('=');
                request.query.emplace_back(
                    decoded(pair.substr(0, equals)),
                    equals == std::string::npos ? "" : decoded(pair.substr(equals + 1)));
            }
        }
    }
    return request;
}

}  // namespace

struct HttpFront::Impl {
    Impl(SimState& state, const std::string& host, unsigned short port, const TlsOptions& tls)
        : state(state), tls(tls.enabled), socket(listeningSocket(host, port, tls)) {}

    SimState& state;
    bool tls;
    Poco::Net::ServerSocket socket;
    std::unique_ptr<Poco::Net::HTTPServer> server;
    int active = 0;  // requests in flight; guarded by state.mutex
    std::mutex logMutex;

    void logLine(const std::string& method, const std::string& target, const std::string& outcome,
                 std::chrono::steady_clock::time_point started) {
        auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
        auto stamp = Poco::DateTimeFormatter::format(Poco::Timestamp(), "%Y-%m-%dT%H:%M:%S.%iZ");
        std::lock_guard<std::mutex> lock(logMutex);
        std::fprintf(stdout, "%s %s %s %s (%lld ms)\n", stamp.c_str(), method.c_str(), target.c_str(),
                     outcome.c_str(), static_cast<long long>(ms.count()));
        std::fflush(stdout);
    }
};

namespace {

class CloudRequestHandler : public Poco::Net::HTTPRequestHandler {
public:
    explicit CloudRequestHandler(HttpFront::Impl& front) : front_(front) {}

    void handleRequest(Poco::Net::HTTPServerRequest& request,
                       Poco::Net::HTTPServerResponse& response) override {
        auto started = std::chrono::steady_clock::now();
        {
            std::lock_guard<std::mutex> lock(front_.state.mutex);
            ++front_.active;
        }
        try {
            serve(request, response, started);
        } catch (...) {
            finish();
            throw;
        }
        finish();
    }

private:
    void finish() {
        std::lock_guard<std::mutex> lock(front_.state.mutex);
        --front_.active;
        front_.state.changed.notify_all();
    }

    static void send(Poco::Net::HTTPServerResponse& response, const Reply& reply) {
        response.setStatusAndReason(static_cast<Poco::Net::HTTPResponse::HTTPStatus>(reply.status));
        if (!reply.contentType.empty()) {
            response.setContentType(reply.contentType);
        }
        for (const auto& [name, value] : reply.headers) {
            response.set(name, value);
        }
        response.setContentLength(static_cast<std::streamsize>(reply.body.size()));
        response.send() << reply.body;
    }

    // What a fault makes of the request instead of its answer; nullopt for "drop".
    // The recognition_session a recognition's body names, "" when it names none.
    static std::string sessionOf(const Request& request) {
        boost::system::error_code error;
        const json::value body = json::parse(request.body, error);
        if (error || !body.is_object()) {
            return "";
        }
        const json::value* sid = body.as_object().if_contains("recognition_session");
        return sid != nullptr && sid->is_string() ? std::string(sid->get_string()) : "";
    }

    std::optional<Reply> faultReply(const Fault& fault) {
        Reply reply;
        if (fault.mode == "status") {
            reply =
                jsonReply(fault.status, json::object{{"error", "injected fault"}, {"status", fault.status}});
            if (!fault.retryAfter.empty()) {
                reply.headers.emplace_back("Retry-After", fault.retryAfter);
            }
        } else if (fault.mode == "empty") {
            reply.body.clear();
            reply.contentType.clear();
        } else if (fault.mode == "drop") {
            return std::nullopt;
        }
        return reply;
    }

    // A 200 whose announced body comes one byte per `gap`, until the client goes,
    // the simulator stops, or ten minutes pass: a peer that is never silent long
    // enough for a receive timeout.
    void trickle(Poco::Net::HTTPServerResponse& response, std::chrono::milliseconds gap) {
        response.setStatusAndReason(Poco::Net::HTTPResponse::HTTP_OK);
        response.setContentType("application/json");
        response.setContentLength(1000000);
        response.setKeepAlive(false);
        std::ostream& out = response.send();
        const auto until = std::chrono::steady_clock::now() + std::chrono::minutes(10);
        while (out && std::chrono::steady_clock::now() < until) {
            out << ' ' << std::flush;
            std::unique_lock<std::mutex> lock(front_.state.mutex);
            if (front_.state.changed.wait_for(lock, gap, [&] { return front_.state.stopping; })) {
                break;
            }
        }
    }

    void serve(Poco::Net::HTTPServerRequest& httpRequest, Poco::Net::HTTPServerResponse& response,
               std::chrono::steady_clock::time_point started) {
        const std::string target = httpRequest.getURI();
        Request request = parseTarget(httpRequest.getMethod(), target);
        request.authorization = httpRequest.get("Authorization", "");
        Poco::StreamCopier::copyToString(httpRequest.stream(), request.body);

        if (!request.segments.empty() && request.segments[0] == "control") {
            Reply reply = serveControl(front_.state, request);
            send(response, reply);
            front_.logLine(request.method, target, std::to_string(reply.status), started);
            return;
        }

        const std::string faultOf = faultTarget(request);
        auto fault = front_.state.takeFault(faultOf, faultOf == "recognition" ? sessionOf(request) : "");
        if (fault && fault->mode == "trickle") {
            trickle(response, std::chrono::milliseconds(fault->delayMs > 0 ? fault->delayMs : 1000));
            record(request, target, 200, fault->mode);
            front_.logLine(request.method, target, "200 trickled (fault trickle)", started);
            return;
        }
        if (fault && fault->delayMs > 0) {
            std::unique_lock<std::mutex> lock(front_.state.mutex);
            front_.state.changed.wait_for(lock, std::chrono::milliseconds(fault->delayMs),
                                          [&] { return front_.state.stopping; });
        }
        std::optional<Reply> reply;
        if (fault && fault->mode != "delay") {
            reply = faultReply(*fault);
        } else {
            reply = serveCloud(front_.state, request);
        }

        int status = 0;
        if (reply) {
            send(response, *reply);
            status = reply->status;
        } else {
            // Ending the exchange without sending anything closes the connection unanswered.
            response.setKeepAlive(false);
        }
        record(request, target, status, fault ? fault->mode : std::string());
        std::string outcome = reply ? std::to_string(status) : std::string("dropped without answer");
        if (fault) {
            outcome += " (fault " + fault->mode + ")";
        }
        front_.logLine(request.method, target, outcome, started);
    }

    void record(const Request& request, const std::string& target, int status, const std::string& fault) {
        auto mark = target.find('?');
        std::lock_guard<std::mutex> lock(front_.state.mutex);
        if (request.method == "POST" && request.path == kTokenPath) {
            auto form = parseForm(request.body);
            front_.state.recordLocked("token_requests",
                                      json::object{{"grant_type", form["grant_type"]},
                                                   {"client_id", form["client_id"]},
                                                   {"refresh", form.count("refresh_token") > 0},
                                                   {"status", status}});
        }
        front_.state.recordLocked(
            "requests", json::object{{"method", request.method},
                                     {"path", request.path},
                                     {"query", mark == std::string::npos ? "" : target.substr(mark + 1)},
                                     {"status", status},
                                     {"fault", fault}});
    }

    HttpFront::Impl& front_;
};

class CloudRequestHandlerFactory : public Poco::Net::HTTPRequestHandlerFactory {
public:
    explicit CloudRequestHandlerFactory(HttpFront::Impl& front) : front_(front) {}
    Poco::Net::HTTPRequestHandler* createRequestHandler(const Poco::Net::HTTPServerRequest&) override {
        return new CloudRequestHandler(front_);
    }

private:
    HttpFront::Impl& front_;
};

}  // namespace

HttpFront::HttpFront(SimState& state, const std::string& host, unsigned short port, const TlsOptions& tls)
    : impl_(std::make_unique<Impl>(state, host, port, tls)) {}

HttpFront::~HttpFront() {
    stop();
}

unsigned short HttpFront::port() const {
    return impl_->socket.address().port();
}

const char* HttpFront::scheme() const {
    return impl_->tls ? "https" : "http";
}

void HttpFront::start() {
    Poco::Net::HTTPServerParams::Ptr params = new Poco::Net::HTTPServerParams;
    params->setMaxThreads(16);
    params->setMaxQueued(100);
    params->setKeepAlive(true);
    impl_->server = std::make_unique<Poco::Net::HTTPServer>(new CloudRequestHandlerFactory(*impl_),
                                                            impl_->socket, params);
    impl_->server->start();
}

void HttpFront::stop() {
    if (!impl_->server) {
        return;
    }
    auto& state = impl_->state;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        state.stopping = true;
        state.changed.notify_all();
    }
    impl_->server->stopAll(true);
    std::unique_lock<std::mutex> lock(state.mutex);
    state.changed.wait_for(lock, std::chrono::seconds(5), [&] { return impl_->active == 0; });
    lock.unlock();
    impl_->server.reset();
}

}  // namespace orvix::cloudsim
