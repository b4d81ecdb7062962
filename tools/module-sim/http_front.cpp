#include "http_front.h"

#include "module_state.h"

#include <Poco/DateTimeFormatter.h>
#include <Poco/JSON/Array.h>
#include <Poco/JSON/Object.h>
#include <Poco/JSON/Parser.h>
#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPRequestHandlerFactory.h>
#include <Poco/Net/HTTPServer.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/StreamCopier.h>
#include <Poco/String.h>
#include <Poco/ThreadPool.h>
#include <Poco/Timestamp.h>
#include <Poco/URI.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

namespace orvix::modsim {

namespace {

using Poco::Dynamic::Var;
using Poco::JSON::Array;
using Poco::JSON::Object;

const char* const kFaultModes[] = {"none", "silent", "close", "http500", "nonjson", "refuse", "trickle"};

// "trickle" sends the answer one byte at a time, this far apart, padded to at least
// kTrickleMinBytes: a module that keeps a connection alive without ever finishing.
constexpr auto kTrickleGap = std::chrono::milliseconds(500);
constexpr std::size_t kTrickleMinBytes = 120;

// The switchable misbehaviour of the module. It applies to /api/ and /download/ only.
struct Fault {
    std::string mode = "none";
    int code = -6213;                // module code of "refuse"
    int delayMs = 0;                 // added before every answer (and before any other fault)
    int remaining = -1;              // requests left to spoil; -1 means until switched off
    std::set<std::string> commands;  // commands it applies to ("download" for downloads); empty: all
};

struct HistoryEntry {
    std::string method;
    std::string path;
    int status = 0;  // 0: no answer was sent
    std::optional<int> code;
    std::string fault;
    std::string body;  // JSON request bodies up to a few kilobytes, else empty
    std::size_t bodySize = 0;
};

std::string toJson(const Object& object) {
    std::ostringstream out;
    object.stringify(out);
    return out.str();
}

Object::Ptr newObject() {
    return new Object(Poco::JSON_PRESERVE_KEY_ORDER);
}

std::optional<int> envelopeCode(const std::string& contentType, const std::string& body) {
    if (contentType.find("application/json") == std::string::npos) {
        return std::nullopt;
    }
    try {
        Poco::JSON::Parser parser;
        auto object = parser.parse(body).extract<Object::Ptr>();
        if (object && object->has("code") && object->get("code").isInteger()) {
            return object->getValue<int>("code");
        }
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

}  // namespace

struct HttpFront::Impl {
    Impl(ModuleState& module, const std::string& host, unsigned short port)
        : module(module), socket(Poco::Net::SocketAddress(host, port)) {}

    ModuleState& module;
    Poco::Net::ServerSocket socket;
    // Its own pool: the library's default one is capped at 16 threads, and a test
    // holding 32 slow requests must still reach the control endpoint.
    Poco::ThreadPool pool{2, 64};
    std::unique_ptr<Poco::Net::HTTPServer> server;

    std::mutex mutex;  // guards everything below
    std::condition_variable changed;
    Fault fault;
    bool stopping = false;
    int active = 0;
    int apiInFlight = 0;      // /api/ and /download/ requests being served now
    int peakApiInFlight = 0;  // the most of them at once since the start or the last reset
    std::uint64_t requestCount = 0;
    std::deque<HistoryEntry> history;

    std::mutex logMutex;

    Object::Ptr faultJsonLocked() const {
        auto json = newObject();
        json->set("mode", fault.mode);
        json->set("code", fault.code);
        json->set("delay_ms", fault.delayMs);
        json->set("count", fault.remaining < 0 ? Var() : Var(fault.remaining));
        Array::Ptr commands = new Array;
        for (const auto& command : fault.commands) {
            commands->add(command);
        }
        json->set("commands", commands);
        return json;
    }

    // Takes the fault that applies to this request, counting it down.
    Fault takeFault(const std::string& command) {
        std::lock_guard<std::mutex> lock(mutex);
        if (!fault.commands.empty() && fault.commands.count(command) == 0) {
            return Fault{};
        }
        Fault taken = fault;
        if (fault.remaining > 0 && --fault.remaining == 0) {
            fault.mode = "none";
            fault.delayMs = 0;
            fault.remaining = -1;
            fault.commands.clear();
            changed.notify_all();
        }
        return taken;
    }

    void record(HistoryEntry entry) {
        std::lock_guard<std::mutex> lock(mutex);
        ++requestCount;
        history.push_back(std::move(entry));
        if (history.size() > 200) {
            history.pop_front();
        }
    }

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

class ModuleRequestHandler : public Poco::Net::HTTPRequestHandler {
public:
    explicit ModuleRequestHandler(HttpFront::Impl& front) : front_(front) {}

    void handleRequest(Poco::Net::HTTPServerRequest& request,
                       Poco::Net::HTTPServerResponse& response) override {
        auto started = std::chrono::steady_clock::now();
        {
            std::lock_guard<std::mutex> lock(front_.mutex);
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
        std::lock_guard<std::mutex> lock(front_.mutex);
        --front_.active;
        front_.changed.notify_all();
    }

    static void send(Poco::Net::HTTPServerResponse& response, int status, const std::string& contentType,
                     const std::string& body) {
        response.setStatusAndReason(static_cast<Poco::Net::HTTPResponse::HTTPStatus>(status));
        response.setContentType(contentType);
        response.setContentLength(static_cast<std::streamsize>(body.size()));
        response.send() << body;
    }

    // The answer announced in full, then sent one byte per gap until it is complete,
    // the simulator stops or the client goes away.
    void trickle(Poco::Net::HTTPServerResponse& response, Reply& reply) {
        if (reply.body.size() < kTrickleMinBytes) {
            reply.body.append(kTrickleMinBytes - reply.body.size(), ' ');
        }
        response.setStatusAndReason(static_cast<Poco::Net::HTTPResponse::HTTPStatus>(reply.status));
        response.setContentType(reply.contentType);
        response.setContentLength(static_cast<std::streamsize>(reply.body.size()));
        std::ostream& out = response.send();
        for (char byte : reply.body) {
            {
                std::unique_lock<std::mutex> lock(front_.mutex);
                if (front_.changed.wait_for(lock, kTrickleGap, [&] { return front_.stopping; })) {
                    return;
                }
            }
            out.put(byte);
            out.flush();
            if (!out) {
                return;
            }
        }
    }

    void serve(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response,
               std::chrono::steady_clock::time_point started) {
        const std::string method = request.getMethod();
        const std::string target = request.getURI();
        std::string body;
        Poco::StreamCopier::copyToString(request.stream(), body);
        std::vector<std::string> segments;
        Poco::URI(target).getPathSegments(segments);

        if (!segments.empty() && segments[0] == "control") {
            auto [status, answer] = control(method, segments, body);
            send(response, status, "application/json", answer);
            front_.logLine(method, target, std::to_string(status), started);
            return;
        }

        HistoryEntry entry;
        entry.method = method;
        entry.path = target;
        entry.bodySize = body.size();
        if (body.size() <= 4096 && request.getContentType().find("multipart/") == std::string::npos) {
            entry.body = body;
        }

        const bool isApi = segments.size() == 2 && segments[0] == "api";
        const bool isDownload = segments.size() == 2 && segments[0] == "download";
        if (!isApi && !isDownload) {
            send(response, 404, "text/plain", "Not Found");
            entry.status = 404;
            front_.record(entry);
            front_.logLine(method, target, "404", started);
            return;
        }

        struct InFlight {
            HttpFront::Impl& front;
            explicit InFlight(HttpFront::Impl& f) : front(f) {
                std::lock_guard<std::mutex> lock(front.mutex);
                front.peakApiInFlight = std::max(front.peakApiInFlight, ++front.apiInFlight);
            }
            ~InFlight() {
                std::lock_guard<std::mutex> lock(front.mutex);
                --front.apiInFlight;
            }
        } inFlight(front_);
        Fault fault = front_.takeFault(isApi ? segments[1] : "download");
        if (fault.mode != "none" || fault.delayMs > 0) {
            entry.fault = fault.mode;
            if (fault.delayMs > 0) {
                entry.fault += "+delay " + std::to_string(fault.delayMs) + " ms";
            }
        }
        if (fault.delayMs > 0) {
            std::unique_lock<std::mutex> lock(front_.mutex);
            front_.changed.wait_for(lock, std::chrono::milliseconds(fault.delayMs),
                                    [&] { return front_.stopping; });
        }

        Reply reply;
        if (fault.mode == "silent" || fault.mode == "close") {
            if (fault.mode == "silent") {
                front_.logLine(method, target, "held without answer (fault silent)", started);
                std::unique_lock<std::mutex> lock(front_.mutex);
                front_.changed.wait_for(lock, std::chrono::minutes(5),
                                        [&] { return front_.stopping || front_.fault.mode != "silent"; });
            }
            // Ending the exchange without sending anything closes the connection unanswered.
            response.setKeepAlive(false);
            front_.record(entry);
            front_.logLine(method, target, "closed without answer (fault " + fault.mode + ")", started);
            return;
        } else if (fault.mode == "http500") {
            reply.status = 500;
            reply.contentType = "text/plain";
            reply.body = "Internal Server Error";
        } else if (fault.mode == "nonjson") {
            reply.contentType = "text/html";
            reply.body = "<html><body><h1>Service temporarily unavailable</h1></body></html>";
        } else if (fault.mode == "refuse" && isApi) {
            Object envelope(Poco::JSON_PRESERVE_KEY_ORDER);
            envelope.set("code", fault.code);
            envelope.set("data", Var());
            envelope.set("msg", "refused by fault injection");
            reply.body = toJson(envelope);
        } else if (isDownload) {
            reply = front_.module.download(segments[1]);
        } else {
            reply = command(method, segments[1], request.getContentType(), body, response);
        }

        if (fault.mode == "trickle") {
            trickle(response, reply);
        } else {
            send(response, reply.status, reply.contentType, reply.body);
        }
        entry.status = reply.status;
        entry.code = envelopeCode(reply.contentType, reply.body);
        std::string outcome = std::to_string(reply.status);
        if (entry.code) {
            outcome += " code=" + std::to_string(*entry.code);
        } else {
            outcome += " " + reply.contentType + ", " + std::to_string(reply.body.size()) + " bytes";
        }
        if (!entry.fault.empty()) {
            outcome += " (fault " + entry.fault + ")";
        }
        front_.record(entry);
        front_.logLine(method, target, outcome, started);
    }

    Reply command(const std::string& method, const std::string& name, const std::string& contentType,
                  const std::string& body, Poco::Net::HTTPServerResponse& response) {
        auto expected = ModuleState::commandMethod(name);
        Reply reply;
        if (!expected) {
            reply.status = 404;
            reply.body = R"({"code":-6117,"data":null,"msg":"Device communication unknown command"})";
            return reply;
        }
        if (method != *expected) {
            reply.status = 405;
            response.set("Allow", *expected);
            reply.body = R"({"code":-6117,"data":null,"msg":"Method not allowed"})";
            return reply;
        }
        return front_.module.handle(name, contentType, body);
    }

    std::pair<int, std::string> control(const std::string& method, const std::vector<std::string>& segments,
                                        const std::string& body) {
        const std::string what = segments.size() == 2 ? segments[1] : std::string();
        auto error = [](int status, const std::string& text) {
            Object answer;
            answer.set("error", text);
            return std::make_pair(status, toJson(answer));
        };
        if (what == "state" && method == "GET") {
            return {200, state()};
        }
        if (what == "fault" && method == "POST") {
            return setFault(body, error);
        }
        if (what == "reset" && method == "POST") {
            front_.module.reset();
            std::lock_guard<std::mutex> lock(front_.mutex);
            front_.fault = Fault{};
            front_.history.clear();
            front_.requestCount = 0;
            front_.peakApiInFlight = front_.apiInFlight;
            front_.changed.notify_all();
            Object answer(Poco::JSON_PRESERVE_KEY_ORDER);
            answer.set("ok", true);
            answer.set("fault", front_.faultJsonLocked());
            return {200, toJson(answer)};
        }
        if (what == "state" || what == "fault" || what == "reset") {
            return error(405, "method not allowed");
        }
        return error(
            404, "unknown control endpoint; use GET /control/state, POST /control/fault or /control/reset");
    }

    template <typename ErrorFn>
    std::pair<int, std::string> setFault(const std::string& body, ErrorFn error) {
        Object::Ptr request;
        try {
            Poco::JSON::Parser parser;
            request = parser.parse(body).extract<Object::Ptr>();
        } catch (const std::exception&) {
        }
        if (!request) {
            return error(400, "body must be a JSON object");
        }
        std::unique_lock<std::mutex> lock(front_.mutex);
        Fault next = front_.fault;
        if (request->has("mode")) {
            auto mode = request->get("mode");
            bool known = false;
            for (const char* name : kFaultModes) {
                known = known || (mode.isString() && mode.toString() == name);
            }
            if (!known) {
                return error(400,
                             "mode must be one of none, silent, close, http500, nonjson, refuse, trickle");
            }
            next.mode = mode.toString();
            if (next.mode == "none") {
                next.remaining = -1;
                next.commands.clear();
            }
        }
        if (request->has("code")) {
            auto code = request->get("code");
            if (!code.isInteger() || code.isBoolean()) {
                return error(400, "code must be an integer");
            }
            next.code = code.convert<int>();
        }
        if (request->has("delay_ms")) {
            auto delay = request->get("delay_ms");
            if (!delay.isInteger() || delay.isBoolean() || delay.convert<Poco::Int64>() < 0 ||
                delay.convert<Poco::Int64>() > 600000) {
                return error(400, "delay_ms must be an integer from 0 to 600000");
            }
            next.delayMs = delay.convert<int>();
        }
        if (request->has("count")) {
            auto count = request->get("count");
            if (count.isEmpty()) {
                next.remaining = -1;
            } else if (!count.isInteger() || count.isBoolean() || count.convert<Poco::Int64>() < 1) {
                return error(400, "count must be a positive integer or null");
            } else {
                next.remaining = count.convert<int>();
            }
        }
        if (request->has("commands")) {
            auto list = request->get("commands");
            next.commands.clear();
            if (!list.isEmpty()) {
                if (list.type() != typeid(Array::Ptr)) {
                    return error(400, "commands must be an array of command names");
                }
                auto array = list.extract<Array::Ptr>();
                for (std::size_t i = 0; i < array->size(); ++i) {
                    auto name = array->get(static_cast<unsigned>(i));
                    if (!name.isString()) {
                        return error(400, "commands must be an array of command names");
                    }
                    next.commands.insert(name.toString());
                }
            }
        }
        bool failExport = false;
        bool failImport = false;
        bool failUpgrade = false;
        const bool jobsGiven = request->has("fail_jobs");
        if (jobsGiven) {
            auto list = request->get("fail_jobs");
            if (list.type() != typeid(Array::Ptr)) {
                return error(400, "fail_jobs must be an array of export, import, upgrade");
            }
            auto array = list.extract<Array::Ptr>();
            for (std::size_t i = 0; i < array->size(); ++i) {
                auto name = array->get(static_cast<unsigned>(i)).toString();
                if (name == "export") {
                    failExport = true;
                } else if (name == "import") {
                    failImport = true;
                } else if (name == "upgrade") {
                    failUpgrade = true;
                } else {
                    return error(400, "fail_jobs must be an array of export, import, upgrade");
                }
            }
        }
        front_.fault = next;
        front_.changed.notify_all();
        auto answer = newObject();
        answer->set("ok", true);
        answer->set("fault", front_.faultJsonLocked());
        lock.unlock();
        if (jobsGiven) {
            front_.module.setJobFailures(failExport, failImport, failUpgrade);
        }
        return {200, toJson(*answer)};
    }

    std::string state() {
        auto module = front_.module.snapshotJson();
        Object answer(Poco::JSON_PRESERVE_KEY_ORDER);
        std::lock_guard<std::mutex> lock(front_.mutex);
        answer.set("fault", front_.faultJsonLocked());
        answer.set("requests", static_cast<Poco::UInt64>(front_.requestCount));
        answer.set("in_flight", front_.apiInFlight);
        answer.set("peak_in_flight", front_.peakApiInFlight);
        Poco::JSON::Parser parser;
        answer.set("module", parser.parse(module));
        Array::Ptr history = new Array;
        for (const auto& entry : front_.history) {
            auto item = newObject();
            item->set("method", entry.method);
            item->set("path", entry.path);
            item->set("status", entry.status);
            item->set("code", entry.code ? Var(*entry.code) : Var());
            item->set("fault", entry.fault);
            item->set("body", entry.body);
            item->set("body_size", static_cast<Poco::UInt64>(entry.bodySize));
            history->add(item);
        }
        answer.set("history", history);
        return toJson(answer);
    }

    HttpFront::Impl& front_;
};

class ModuleRequestHandlerFactory : public Poco::Net::HTTPRequestHandlerFactory {
public:
    explicit ModuleRequestHandlerFactory(HttpFront::Impl& front) : front_(front) {}
    Poco::Net::HTTPRequestHandler* createRequestHandler(const Poco::Net::HTTPServerRequest&) override {
        return new ModuleRequestHandler(front_);
    }

private:
    HttpFront::Impl& front_;
};

}  // namespace

HttpFront::HttpFront(ModuleState& module, const std::string& host, unsigned short port)
    : impl_(std::make_unique<Impl>(module, host, port)) {}

HttpFront::~HttpFront() {
    stop();
}

unsigned short HttpFront::port() const {
    return impl_->socket.address().port();
}

void HttpFront::start() {
    Poco::Net::HTTPServerParams::Ptr params = new Poco::Net::HTTPServerParams;
    params->setMaxThreads(64);
    params->setMaxQueued(100);
    params->setKeepAlive(true);
    impl_->server = std::make_unique<Poco::Net::HTTPServer>(new ModuleRequestHandlerFactory(*impl_),
                                                            impl_->pool, impl_->socket, params);
    impl_->server->start();
}

void HttpFront::stop() {
    if (!impl_->server) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->stopping = true;
        impl_->changed.notify_all();
    }
    impl_->server->stopAll(true);
    std::unique_lock<std::mutex> lock(impl_->mutex);
    impl_->changed.wait_for(lock, std::chrono::seconds(5), [&] { return impl_->active == 0; });
    lock.unlock();
    impl_->server.reset();
}

}  // namespace orvix::modsim
