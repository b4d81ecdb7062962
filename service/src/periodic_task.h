#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace velmora::Engine {

// Runs `work` on a thread of its own, once at the start and then every `period`,
// until stopped. An exception from `work` is logged and the next run still comes.
class PeriodicTask {
public:
    PeriodicTask(std::string name, std::chrono::milliseconds period, std::function<void()> work);
    ~PeriodicTask();
    PeriodicTask(const PeriodicTask&) = delete;
    PeriodicTask& operator=(const PeriodicTask&) = delete;

    // Wakes the thread and joins it; a run in progress finishes first. Idempotent.
    void stop();

private:
    void loop();

    std::string name_;
    std::chrono::milliseconds period_;
    std::function<void()> work_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace velmora::Engine
