#pragma once

// A request to stop that long waits of a worker give way to. The monitoring worker
// binds its signal to its thread while it runs, so a remote task polling a module
// job ends within a moment of a stop instead of after minutes of polling, while the
// same job run from the local API polls as long as it needs.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>

namespace velmora::Utils {

// Raised out of a wait that a stop cut short; the text is the one the cloud is told.
class StopInterrupted : public std::runtime_error {
public:
    StopInterrupted();
};

class StopSignal {
public:
    void request();
    void reset();
    bool requested() const;
    // Waits up to `duration`; false when the stop came first (or was already there).
    bool waitFor(std::chrono::milliseconds duration);

    // Binds a signal to the calling thread for the scope's life.
    class Binding {
    public:
        explicit Binding(StopSignal& signal);
        ~Binding();
        Binding(const Binding&) = delete;
        Binding& operator=(const Binding&) = delete;

    private:
        StopSignal* previous_;
    };

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool requested_ = false;
};

// Sleeps `duration`, or less when the signal bound to this thread is raised: then
// throws StopInterrupted. A thread without a signal sleeps the whole duration.
void sleepUnlessStopped(std::chrono::milliseconds duration);

}  // namespace velmora::Utils
