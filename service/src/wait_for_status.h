#pragma once

#include <functional>
#include <string>
#include <utility>

#include "errors.h"
#include "logger.h"

namespace velmora::Utils {

// Sleeps for the whole interval, resuming after a signal interrupts the sleep. A
// stop of the worker whose signal is bound to this thread cuts it short and raises
// StopInterrupted (stop_signal.h), so a job a remote task waits for never holds a stop.
void sleepForInterval(int interval_ms);

// Polls a module job's status until it reports `success` or a failure, the module
// is lost, or `max_attempts` queries have been made, sleeping `interval_ms` after
// every undecided query. Returns whether the job succeeded, with the last status
// record the module sent (a lost module leaves the previous attempt's record).
// There is always at least one query.
//
// Instantiate with the enumeration and record of one job, for example
//   wait_for_status<Errors::ExportStatus, Models::ExportTemplateStatusRes>(...)
// and pass `describe` as a lambda, since the status texts are overloads.
template <typename StatusEnum, typename Res>
std::pair<bool, Res> wait_for_status(const std::function<std::pair<int, Res>()>& query, StatusEnum success,
                                     const std::function<bool(StatusEnum)>& is_failure,
                                     const std::function<std::string(StatusEnum)>& describe,
                                     const std::string& operation, int max_attempts, int interval_ms) {
    using Engine::Logging::log;
    constexpr int kCameraLost = static_cast<int>(Errors::CameraError::CameraLost);
    Res last{};
    int attempt = 0;
    while (true) {
        ++attempt;
        log().info("Checking {} status (attempt #{})...", operation, attempt);
        auto [code, record] = query();
        if (code == kCameraLost) {
            log().error("{} failed: camera lost", operation);
            return {false, last};
        }
        // A refused or failed query still replaces the record; its status then
        // reads as neither success nor failure and the wait goes on.
        last = std::move(record);
        const auto status = static_cast<StatusEnum>(last.status);
        if (status == success) {
            log().info("{} completed successfully", operation);
            return {true, last};
        }
        if (is_failure(status)) {
            log().error("{} failed with status {}: {}", operation, static_cast<int>(status),
                        describe(status));
            return {false, last};
        }
        if (interval_ms > 0) {
            sleepForInterval(interval_ms);
        }
        // ">=" rather than "==", so that a count below 1 still ends after one query.
        if (attempt >= max_attempts) {
            log().error("{} status check exceeded max attempts ({})", operation, max_attempts);
            return {false, last};
        }
    }
}

}  // namespace velmora::Utils
