#include "stop_signal.h"

#include <thread>

namespace velmora::Utils {
namespace {

thread_local StopSignal* boundSignal = nullptr;

}  // namespace

StopInterrupted::StopInterrupted() : std::runtime_error("Задача прервана: агент останавливается") {}

void StopSignal::request() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requested_ = true;
    }
    changed_.notify_all();
}

void StopSignal::reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    requested_ = false;
}

bool StopSignal::requested() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requested_;
}

bool StopSignal::waitFor(std::chrono::milliseconds duration) {
    std::unique_lock<std::mutex> lock(mutex_);
    return !changed_.wait_for(lock, duration, [this] { return requested_; });
}

StopSignal::Binding::Binding(StopSignal& signal) : previous_(boundSignal) {
    boundSignal = &signal;
}

StopSignal::Binding::~Binding() {
    boundSignal = previous_;
}

void sleepUnlessStopped(std::chrono::milliseconds duration) {
    if (boundSignal == nullptr) {
        // sleep_for resumes after a signal interrupts it.
        std::this_thread::sleep_for(duration);
        return;
    }
    if (!boundSignal->waitFor(duration)) {
        throw StopInterrupted();
    }
}

}  // namespace velmora::Utils
