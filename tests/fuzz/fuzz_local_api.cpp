// The local API as a till (or anything else on the network) reaches it: raw bytes on
// a TCP connection to the agent's listener, with the module simulator and a real
// database behind it, all in this process. Whatever arrives, the agent answers or
// closes the connection, and goes on serving.
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
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include <Poco/URI.h>

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

// Waits for a connect that a signal interrupted; true once it has succeeded.
bool finishConnect(int fd, int timeoutSeconds) {
    pollfd waiting{fd, POLLOUT, 0};
    int ready = 0;
    while ((ready = ::poll(&waiting, 1, timeoutSeconds * 1000)) < 0 && errno == EINTR) {
    }
    int error = 0;
    socklen_t length = sizeof error;
    return ready == 1 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
}

int connectTo(unsigned short port, int timeoutSeconds) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
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
    const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 ||
                           (errno == EINTR && finishConnect(fd, timeoutSeconds));
    if (!connected) {
        std::fprintf(stderr, "the agent stopped accepting connections\n");
        printSockets();
        std::abort();
    }
    return fd;
}

// Sends `bytes`, ends the sending side and reads until the agent closes. False when
// the agent neither answered nor closed within `timeoutSeconds` of silence.
bool exchange(const std::string& bytes, std::string& answer, int timeoutSeconds) {
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
    bool closed = false;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n == 0 || (n < 0 && errno == ECONNRESET)) {
            closed = true;
            break;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            break;  // the receive timeout ran out
        }
        answer.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return closed;
}

// A route that changes the agent's own configuration could point it at any folder
// of this machine; the fuzzer stays with the module commands and the readers.
bool changesConfiguration(const std::string& input) {
    const std::string firstLine = input.substr(0, input.find('\n'));
    std::string decoded;
    try {
        Poco::URI::decode(firstLine, decoded);
    } catch (...) {
        decoded = firstLine;
    }
    return decoded.find("set_config") != std::string::npos ||
           firstLine.find("set_config") != std::string::npos;
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
    std::string answer;
    // The slowest legitimate answer (result_feedback) waits on two module exchanges
    // of up to 6 s each; the in-process module, slowed by the sanitizers, may use
    // them up. A hang is what outlasts them by far.
    if (!exchange(input, answer, 30)) {
        std::fprintf(stderr, "no answer and no close within 30 s\n");
        printSockets();
        std::abort();
    }
    // Still serving: a plain request after it is answered.
    std::string check;
    const bool closed =
        exchange("GET /api/get_device_info HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", check, 30);
    if (!closed || check.rfind("HTTP/1.1 200", 0) != 0) {
        std::fprintf(stderr, "the agent stopped answering after that input (%s):\n%s\n",
                     closed ? "closed" : "no answer within 30 s", check.c_str());
        printSockets();
        std::abort();
    }
    return 0;
}
