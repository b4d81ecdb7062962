// The local API as a till (or anything else on the network) reaches it: raw bytes on
// a TCP connection to the agent's listener, with the module simulator and a real
// database behind it, all in this process. Whatever arrives, the agent answers or
// closes the connection, and goes on serving. Inputs that would change its
// configuration are not run, and one that changes it all the same is a finding.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include <Poco/Exception.h>

#include "agent-filesystem.h"
#include "http_front.h"
#include "logger.h"
#include "module_state.h"
#include "server.h"

namespace {

using velmora::Engine::Test::Server;

struct Agent {
    std::unique_ptr<orvix::modsim::ModuleState> module;
    std::unique_ptr<orvix::modsim::HttpFront> front;
    std::unique_ptr<Server> server;
    unsigned short port = 0;
};

Agent* agent = nullptr;

// What the kernel holds for the agent's port, for the report of a hang: a full
// accept queue, connections nobody reads, or none at all.
void printSockets() {
    const std::string port = std::to_string(agent->port);
    const std::string command = "ss -tanoi '( sport = :" + port + " or dport = :" + port + " )' >&2";
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "(ss could not list the sockets)\n");
    }
}

// Waits for a connect that a signal interrupted. Empty once it has succeeded, else
// what went wrong.
std::string finishConnect(int fd, int timeoutSeconds) {
    pollfd waiting{fd, POLLOUT, 0};
    int ready = 0;
    while ((ready = ::poll(&waiting, 1, timeoutSeconds * 1000)) < 0 && errno == EINTR) {
    }
    if (ready < 0) {
        return "poll failed: " + std::string(std::strerror(errno));
    }
    if (ready == 0) {
        return "connect did not finish within " + std::to_string(timeoutSeconds) + " s";
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        return "getsockopt(SO_ERROR) failed: " + std::string(std::strerror(errno));
    }
    if (error != 0) {
        return "connect failed: errno " + std::to_string(error) + " (" + std::strerror(error) + ")";
    }
    return {};
}

int connectTo(unsigned short port, int timeoutSeconds) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        std::fprintf(stderr, "socket failed: errno %d (%s)\n", errno, std::strerror(errno));
        std::abort();
    }
    timeval timeout{timeoutSeconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // libFuzzer's timer signal (every half of -timeout) interrupts whatever call this
    // thread is in: an interrupted connect goes on in the background.
    std::string failure;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        failure = error == EINTR
                      ? finishConnect(fd, timeoutSeconds)
                      : "connect failed: errno " + std::to_string(error) + " (" + std::strerror(error) + ")";
    }
    if (!failure.empty()) {
        std::fprintf(stderr, "the agent stopped accepting connections on port %u: %s\n", port,
                     failure.c_str());
        printSockets();
        std::abort();
    }
    return fd;
}

// How an exchange with the agent ended.
enum class Ending {
    Closed,     // the agent closed the connection (after answering or not)
    NoAnswer,   // not a byte and no close within the time allowed
    NotClosed,  // an answer, then neither more nor a close within the time allowed
    Failed,     // a receive failed otherwise (see the errno in the report)
};

struct Exchange {
    Ending ending = Ending::Closed;
    int error = 0;  // the receive's errno when Failed
    std::string answer;
};

std::string describe(const Exchange& result, int timeoutSeconds) {
    switch (result.ending) {
        case Ending::Closed:
            return "closed";
        case Ending::NoAnswer:
            return "no answer and no close within " + std::to_string(timeoutSeconds) + " s";
        case Ending::NotClosed:
            return "answered, but the connection was not closed within " + std::to_string(timeoutSeconds) +
                   " s";
        case Ending::Failed:
            return "receive failed: errno " + std::to_string(result.error) + " (" +
                   std::strerror(result.error) + ")";
    }
    return "?";
}

// Sends `bytes`, ends the sending side and reads until the agent closes, waiting at
// most `timeoutSeconds` of silence for each receive.
Exchange exchange(const std::string& bytes, int timeoutSeconds) {
    const int fd = connectTo(agent->port, timeoutSeconds);
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;  // the agent may close early on a request it refused
        }
        sent += static_cast<std::size_t>(n);
    }
    ::shutdown(fd, SHUT_WR);
    Exchange result;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n == 0 || (n < 0 && errno == ECONNRESET)) {
            result.ending = Ending::Closed;
            break;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            const int error = errno;
            if (error == EAGAIN || error == EWOULDBLOCK) {
                result.ending = result.answer.empty() ? Ending::NoAnswer : Ending::NotClosed;
            } else {
                result.ending = Ending::Failed;
                result.error = error;
            }
            break;
        }
        result.answer.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return result;
}

// The input with every valid %XX escape decoded and everything else kept: the
// router decodes escapes in the path, and an input may hold any number of requests.
std::string decodeEscapes(const std::string& input) {
    const auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9') {
            return c - '0';
        }
        if (c >= 'a' && c <= 'f') {
            return c - 'a' + 10;
        }
        if (c >= 'A' && c <= 'F') {
            return c - 'A' + 10;
        }
        return -1;
    };
    std::string decoded;
    decoded.reserve(input.size());
    for (std::size_t i = 0; i < input.size(); ++i) {
        if (input[i] == '%' && i + 2 < input.size() && hex(input[i + 1]) >= 0 && hex(input[i + 2]) >= 0) {
            decoded.push_back(static_cast<char>(hex(input[i + 1]) * 16 + hex(input[i + 2])));
            i += 2;
        } else {
            decoded.push_back(input[i]);
        }
    }
    return decoded;
}

// A route that changes the agent's own configuration could point it at any folder
// of this machine; the fuzzer stays with the module commands and the readers. Any
// request of the input may be one (requests are pipelined on a connection), so an
// input naming the route anywhere, plainly or through escapes, is not run.
bool changesConfiguration(const std::string& input) {
    static const std::string route = "set_config";
    return input.find(route) != std::string::npos || decodeEscapes(input).find(route) != std::string::npos;
}

// The agent's configuration as text, key by key, to tell whether an input changed it.
std::map<std::string, std::string> configuration() {
    std::map<std::string, std::string> text;
    std::lock_guard<std::mutex> lock(agent->server->GetConfigMutex());
    for (const auto& [key, value] : agent->server->GetConfig()) {
        try {
            text[key] = value.isEmpty() ? "(empty)" : value.toString();
        } catch (const Poco::Exception& e) {
            text[key] = "(" + e.displayText() + ")";
        }
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Both the simulator and the server print a line per request.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) {
        return 1;
    }
    char pattern[] = "/tmp/orvix-fuzz-api-XXXXXX";
    const char* home = ::mkdtemp(pattern);
    if (home == nullptr) {
        std::abort();
    }
    ::setenv("HOME", home, 1);
    // A log of every request slows the run down; set ORVIX_FUZZ_LOG to a folder to
    // see what the agent did before a hang.
    if (const char* logs = std::getenv("ORVIX_FUZZ_LOG")) {
        velmora::Engine::Logging::Logger::GetInstance().Initialize(logs);
    }
    static Agent instance;
    agent = &instance;
    orvix::modsim::ModuleOptions options;
    options.jobSeconds = 0.05;
    options.seed = 7;
    agent->module = std::make_unique<orvix::modsim::ModuleState>(options);
    agent->front = std::make_unique<orvix::modsim::HttpFront>(*agent->module, "127.0.0.1", 0);
    agent->front->start();
    const std::string appData = velmora::Utils::Filesystem::GetAppData();
    std::filesystem::create_directories(appData);
    // The cloud and the storage at a closed loopback port: refused at once, never a
    // name lookup that could stall a run.
    std::ofstream(appData + "config.json")
        << R"({"device_ip":"127.0.0.1","device_port":")" << agent->front->port()
        << R"(","monitoring_service_address":"http://127.0.0.1","monitoring_service_port":"1",)"
        << R"("file_storage_service_address":"http://127.0.0.1:1"})";
    agent->server = std::make_unique<Server>(0, velmora::Utils::Filesystem::GetDefaultDBPath());
    agent->server->Run();
    agent->port = agent->server->GetListeningPort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    if (changesConfiguration(input)) {
        return 0;
    }
    const auto before = configuration();
    // The slowest legitimate answer (result_feedback) waits on two module exchanges
    // of up to 6 s each; the in-process module, slowed by the sanitizers, may use
    // them up. A hang is what outlasts them by far.
    constexpr int kTimeoutSeconds = 30;
    const Exchange result = exchange(input, kTimeoutSeconds);
    if (result.ending != Ending::Closed) {
        std::fprintf(stderr, "the agent did not end the exchange of this input: %s\n",
                     describe(result, kTimeoutSeconds).c_str());
        printSockets();
        std::abort();
    }
    // Still serving: a plain request after it is answered.
    const Exchange check = exchange(
        "GET /api/get_device_info HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", kTimeoutSeconds);
    if (check.ending != Ending::Closed || check.answer.rfind("HTTP/1.1 200", 0) != 0) {
        std::fprintf(stderr, "the agent stopped answering after that input (%s):\n%s\n",
                     describe(check, kTimeoutSeconds).c_str(), check.answer.c_str());
        printSockets();
        std::abort();
    }
    // What the refusal above keeps out must not come in another way: the next inputs
    // would run against another agent than the one this target describes.
    const auto after = configuration();
    if (after != before) {
        std::fprintf(stderr, "that input changed the agent's configuration:\n");
        for (const auto& [key, value] : after) {
            const auto old = before.find(key);
            if (old == before.end() || old->second != value) {
                std::fprintf(stderr, "  %s: %s -> %s\n", key.c_str(),
                             old == before.end() ? "(absent)" : old->second.c_str(), value.c_str());
            }
        }
        for (const auto& [key, value] : before) {
            if (after.count(key) == 0) {
                std::fprintf(stderr, "  %s: %s -> (absent)\n", key.c_str(), value.c_str());
            }
        }
        std::abort();
    }
    return 0;
}
