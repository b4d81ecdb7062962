#include "test_support.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPRequestHandlerFactory.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/HTTPServer.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/StreamCopier.h>
#include <Poco/ThreadPool.h>

namespace orvix::test {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "orvix-test-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = buffer.data();
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void writeFile(const std::string& path, const std::string& content) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

ScopedEnv::ScopedEnv(const std::string& name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name.c_str())) {
        had_ = true;
        old_ = old;
    }
    if (value != nullptr) {
        ::setenv(name.c_str(), value, 1);
    } else {
        ::unsetenv(name.c_str());
    }
}

ScopedEnv::~ScopedEnv() {
    if (had_) {
        ::setenv(name_.c_str(), old_.c_str(), 1);
    } else {
        ::unsetenv(name_.c_str());
    }
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::map<std::string, std::string>& env, const std::string& outputDir) {
    static int counter = 0;
    std::string stem = outputDir + "/child-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
    stdoutPath_ = stem + ".out";
    stderrPath_ = stem + ".err";
    pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid_ == 0) {
        // A test binary that crashes must not leave its peers running.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) {
            ::_exit(127);
        }
        int out = ::open(stdoutPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = ::open(stderrPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(out, 1);
        ::dup2(err, 2);
        int devnull = ::open("/dev/null", O_RDONLY);
        ::dup2(devnull, 0);
        // The child starts with every signal unblocked, whatever the test runner did.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        for (const auto& [name, value] : env) {
            if (value == "\x01unset") {
                ::unsetenv(name.c_str());
            } else {
                ::setenv(name.c_str(), value.c_str(), 1);
            }
        }
        std::vector<char*> args;
        for (const auto& arg : argv) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
}

ChildProcess::~ChildProcess() {
    if (running()) {
        ::kill(pid_, SIGKILL);
        wait(std::chrono::seconds(5));
    }
}

void ChildProcess::signal(int signo) const {
    ::kill(pid_, signo);
}

int ChildProcess::wait(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!reaped_) {
        int status = 0;
        pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            reaped_ = true;
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return status_;
}

bool ChildProcess::running() {
    return !reaped_ && wait(std::chrono::milliseconds(0)) == -1;
}

std::string ChildProcess::stdoutText() const {
    return readFile(stdoutPath_);
}

std::string ChildProcess::stderrText() const {
    return readFile(stderrPath_);
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        if (condition()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

bool waitForPort(unsigned short port, std::chrono::milliseconds timeout) {
    return waitUntil(
        [port] {
            try {
                Poco::Net::StreamSocket socket;
                socket.connect(Poco::Net::SocketAddress("127.0.0.1", port), Poco::Timespan(0, 200000));
                return true;
            } catch (...) {
                return false;
            }
        },
        timeout);
}

unsigned short freePort() {
    Poco::Net::ServerSocket socket(Poco::Net::SocketAddress("127.0.0.1", 0));
    return socket.address().port();
}

HttpAnswer httpCall(unsigned short port, const std::string& method, const std::string& target,
                    const std::string& body, const std::string& contentType, int timeoutSeconds,
                    const std::map<std::string, std::string>& headers) {
    Poco::Net::HTTPClientSession session("127.0.0.1", port);
    session.setTimeout(Poco::Timespan(timeoutSeconds, 0));
    Poco::Net::HTTPRequest request(method, target, Poco::Net::HTTPMessage::HTTP_1_1);
    for (const auto& [name, value] : headers) {
        request.set(name, value);
    }
    if (!contentType.empty()) {
        request.setContentType(contentType);
    }
    if (!body.empty() || method == "POST" || method == "PUT" || method == "PATCH") {
        request.setContentLength64(static_cast<Poco::Int64>(body.size()));
        session.sendRequest(request) << body;
    } else {
        session.sendRequest(request);
    }
    Poco::Net::HTTPResponse response;
    std::istream& in = session.receiveResponse(response);
    HttpAnswer answer;
    answer.status = static_cast<int>(response.getStatus());
    answer.reason = response.getReason();
    for (const auto& [name, value] : response) {
        answer.headers[name] = value;
    }
    answer.hasContentLength = response.hasContentLength();
    Poco::StreamCopier::copyToString(in, answer.body);
    return answer;
}

struct RecordingServer::Impl {
    mutable std::mutex mutex;
    std::vector<RecordedRequest> requests;
    Responder responder;
    std::unique_ptr<Poco::Net::ServerSocket> socket;
    // Its own pool, so the destructor can wait for every handler that still runs:
    // the library's default pool is shared and never joined here.
    Poco::ThreadPool pool{1, 8};
    std::unique_ptr<Poco::Net::HTTPServer> server;
};

namespace {

class RecordingHandler : public Poco::Net::HTTPRequestHandler {
public:
    explicit RecordingHandler(RecordingServer::Impl* impl) : impl_(impl) {}

    void handleRequest(Poco::Net::HTTPServerRequest& request,
                       Poco::Net::HTTPServerResponse& response) override {
        RecordedRequest recorded;
        recorded.method = request.getMethod();
        recorded.uri = request.getURI();
        recorded.version = request.getVersion();
        for (const auto& [name, value] : request) {
            recorded.headers[name] = value;
        }
        Poco::StreamCopier::copyToString(request.stream(), recorded.body);
        RecordingServer::Responder responder;
        {
            std::lock_guard<std::mutex> lock(impl_->mutex);
            impl_->requests.push_back(recorded);
            responder = impl_->responder;
        }
        CannedReply reply = responder ? responder(recorded) : CannedReply{200, "", "application/json", "{}"};
        if (reply.reason.empty()) {
            response.setStatus(static_cast<Poco::Net::HTTPResponse::HTTPStatus>(reply.status));
        } else {
            response.setStatusAndReason(static_cast<Poco::Net::HTTPResponse::HTTPStatus>(reply.status),
                                        reply.reason);
        }
        response.setContentType(reply.contentType);
        for (const auto& [name, value] : reply.headers) {
            response.set(name, value);
        }
        response.setContentLength64(static_cast<Poco::Int64>(reply.body.size()));
        if (recorded.method == "HEAD") {
            response.send();
        } else {
            response.sendBuffer(reply.body.data(), reply.body.size());
        }
    }

private:
    RecordingServer::Impl* impl_;
};

class RecordingFactory : public Poco::Net::HTTPRequestHandlerFactory {
public:
    explicit RecordingFactory(RecordingServer::Impl* impl) : impl_(impl) {}
    Poco::Net::HTTPRequestHandler* createRequestHandler(const Poco::Net::HTTPServerRequest&) override {
        return new RecordingHandler(impl_);
    }

private:
    RecordingServer::Impl* impl_;
};

}  // namespace

RecordingServer::RecordingServer(Responder responder) : RecordingServer(std::move(responder), 0) {}

RecordingServer::RecordingServer(Responder responder, unsigned short port) : impl_(std::make_unique<Impl>()) {
    impl_->responder = std::move(responder);
    impl_->socket = std::make_unique<Poco::Net::ServerSocket>(Poco::Net::SocketAddress("127.0.0.1", port));
    Poco::Net::HTTPServerParams::Ptr params = new Poco::Net::HTTPServerParams;
    params->setMaxThreads(8);
    impl_->server = std::make_unique<Poco::Net::HTTPServer>(new RecordingFactory(impl_.get()), impl_->pool,
                                                            *impl_->socket, params);
    impl_->server->start();
}

RecordingServer::~RecordingServer() {
    impl_->server->stopAll(true);
    impl_->pool.joinAll();
}

unsigned short RecordingServer::port() const {
    return impl_->socket->address().port();
}

std::string RecordingServer::baseUrl() const {
    return "http://127.0.0.1:" + std::to_string(port());
}

std::vector<RecordedRequest> RecordingServer::requests() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->requests;
}

void RecordingServer::setResponder(Responder responder) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->responder = std::move(responder);
}

}  // namespace orvix::test
