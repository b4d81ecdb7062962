#pragma once

// Tells the service manager how the agent is, by the notify protocol of systemd
// (a datagram to the socket NOTIFY_SOCKET names), without a library of its own:
// READY=1 once the local API listens, STOPPING=1 at shutdown, and WATCHDOG=1
// while the API still answers. With Type=notify and WatchdogSec= in the unit,
// systemd starts dependants only when the agent can serve, and restarts an agent
// whose API has stopped answering. Outside systemd every call does nothing.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace velmora::Engine {

// Sends one notification; false when there is no socket or it cannot be reached.
bool notifyServiceManager(const std::string& state);

class ServiceWatchdog {
public:
    // `healthy` is asked at a third of the interval systemd gives (WATCHDOG_USEC);
    // each yes is a WATCHDOG=1. Without a watchdog interval for this process,
    // start() starts nothing.
    explicit ServiceWatchdog(std::function<bool()> healthy);
    ~ServiceWatchdog();
    ServiceWatchdog(const ServiceWatchdog&) = delete;
    ServiceWatchdog& operator=(const ServiceWatchdog&) = delete;

    void start();
    // Ends and joins the thread; safe to call twice.
    void stop();

private:
    void run(std::chrono::microseconds interval);

    std::function<bool()> healthy_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool quit_ = false;
    std::thread thread_;
};

}  // namespace velmora::Engine
