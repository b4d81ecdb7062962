#include "service_notifier.h"

#include <cstdlib>
#include <cstring>
#include <optional>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "logger.h"

namespace velmora::Engine {
namespace {

// WATCHDOG_USEC, when it is meant for this process (WATCHDOG_PID, if set, names it).
std::optional<std::chrono::microseconds> watchdogInterval() {
    const char* usec = std::getenv("WATCHDOG_USEC");
    if (usec == nullptr) {
        return std::nullopt;
    }
    if (const char* pid = std::getenv("WATCHDOG_PID"); pid != nullptr && std::atol(pid) != ::getpid()) {
        return std::nullopt;
    }
    char* end = nullptr;
    const unsigned long long value = std::strtoull(usec, &end, 10);
    if (end == usec || *end != '\0' || value == 0) {
        return std::nullopt;
    }
    return std::chrono::microseconds(value);
}

}  // namespace

bool notifyServiceManager(const std::string& state) {
    const char* path = std::getenv("NOTIFY_SOCKET");
    if (path == nullptr || (path[0] != '/' && path[0] != '@')) {
        return false;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t length = std::strlen(path);
    if (length >= sizeof(address.sun_path)) {
        return false;
    }
    std::memcpy(address.sun_path, path, length);
    if (path[0] == '@') {
        address.sun_path[0] = '\0';  // an abstract socket
    }
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
    const bool sent =
        ::sendto(fd, state.data(), state.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&address),
                 size) == static_cast<ssize_t>(state.size());
    ::close(fd);
    return sent;
}

ServiceWatchdog::ServiceWatchdog(std::function<bool()> healthy) : healthy_(std::move(healthy)) {}

ServiceWatchdog::~ServiceWatchdog() {
    stop();
}

void ServiceWatchdog::start() {
    const auto interval = watchdogInterval();
    if (!interval || thread_.joinable()) {
        return;
    }
    thread_ = std::thread([this, period = *interval] { run(period); });
}

void ServiceWatchdog::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void ServiceWatchdog::run(std::chrono::microseconds interval) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!wake_.wait_for(lock, interval / 3, [this] { return quit_; })) {
        lock.unlock();
        // No ping while the API does not answer: systemd then restarts the agent.
        if (healthy_()) {
            notifyServiceManager("WATCHDOG=1");
        } else {
            Logging::log().warn(
                "The local API does not answer; the service manager is not told it is alive;");
        }
        lock.lock();
    }
}

}  // namespace velmora::Engine
