#include "periodic_task.h"

#include "logger.h"

namespace velmora::Engine {

PeriodicTask::PeriodicTask(std::string name, std::chrono::milliseconds period, std::function<void()> work)
    : name_(std::move(name)), period_(period), work_(std::move(work)), thread_([this] { loop(); }) {}

PeriodicTask::~PeriodicTask() {
    stop();
}

void PeriodicTask::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void PeriodicTask::loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        lock.unlock();
        try {
            work_();
        } catch (const std::exception& e) {
            Logging::log().error("{} failed: {};", name_, Logging::reasonOf(e));
        }
        lock.lock();
        wake_.wait_for(lock, period_, [this] { return stopping_; });
    }
}

}  // namespace velmora::Engine
