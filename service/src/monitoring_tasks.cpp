// Remote tasks: dispatch through the task handler table and the three answers to
// the service (confirm, reject, error). Every failure of a handler is answered;
// only a failure to deliver an answer leaves executeTaskHandler.
#include <chrono>
#include <functional>
#include <string_view>

#include <boost/exception/get_error_info.hpp>
#include <boost/exception/info.hpp>
#include <boost/json.hpp>
#include <boost/stacktrace.hpp>
#include <boost/system/system_error.hpp>

#include "errors.h"
#include "logger.h"
#include "monitoring.h"
#include "stop_signal.h"

namespace velmora::Engine::Sync {
namespace {

using Logging::log;
using Utils::Errors::HardwareException;
using Utils::Models::Task;

const std::string kSystemError = "Системная ошибка";
const std::string kHandledException = "Обработанное исключение";

// The task's result as the error answer's details; logged before it is sent.
std::string serializedResult(const Task& task) {
    std::string text = boost::json::serialize(task.result);
    log().warn("serialized json error:{};", text);
    return text;
}

// A missing parameter (at) or one of another type (as_string, as_int64, ...) is
// reported by the JSON library as std::out_of_range or std::invalid_argument, thrown
// through boost::throw_exception from its own headers; only its parser raises
// system_error. Both are errors of the task's parameters.
bool isJsonLibraryError(const std::exception& error) {
    const auto* located = dynamic_cast<const boost::exception*>(&error);
    if (located == nullptr) {
        return false;
    }
    const char* const* file = boost::get_error_info<boost::throw_file>(*located);
    return file != nullptr && *file != nullptr &&
           std::string_view(*file).find("boost/json/") != std::string_view::npos;
}

}  // namespace

void MonitoringDriver::executeTaskHandler(Task& task) {
    std::lock_guard<std::mutex> lock(handler_mutex_);
    const auto handler = task_handlers_.find(task.type);
    if (handler == task_handlers_.end()) {
        rejectTask(task, "Неизвестная задача: " + task.type);
        return;
    }
    if (!runAndAnswerFailure(task, [&] { handler->second(task); })) {
        return;
    }
    // The task ran: the cloud learns that, and nothing else, even when the first
    // tries to tell it fail; reporting an error here could make it run an upgrade again.
    confirmRanTask(task);
    if (task.type == "upload_config_file" && reinit_) {
        runAndAnswerFailure(task, reinit_);
    }
}

bool MonitoringDriver::runAndAnswerFailure(Task& task, const std::function<void()>& run) {
    try {
        run();
        return true;
    } catch (const HandlerUnavailable& error) {
        log().error("Task={} with id={} failed: no task handler provider;", task.type, task.id);
        reportError(task, std::string("Обработчик задачи недоступен: ") + error.what(), kSystemError,
                    serializedResult(task));
    } catch (const HardwareException& error) {
        log().error("Task={} with id={} failed with driver error: {}, description: {}", task.type, task.id,
                    error.code(), error.message());
        const std::string details = serializedResult(task);
        if (error.code() == "UNKNOWN_HARDWARE_COMMAND") {
            rejectTask(task, "Неизвестная команда: " + task.type);
        } else {
            reportError(task, error.message(), error.code(), details);
        }
    } catch (const boost::system::system_error& error) {
        log().error("Task={} with id={} failed with boost exception: {};", task.type, task.id, error.what());
        reportError(task, error.what(), kSystemError, serializedResult(task));
    } catch (const std::exception& error) {
        if (isJsonLibraryError(error)) {
            log().error("Task={} with id={} failed with boost exception: {};", task.type, task.id,
                        error.what());
            reportError(task, error.what(), kSystemError, serializedResult(task));
            return false;
        }
        const std::string text = describe(error);
        const std::string trace = boost::stacktrace::to_string(boost::stacktrace::stacktrace());
        log().error("Task={} with id={} failed with std exception: {}, trace: {};", task.type, task.id, text,
                    trace);
        reportError(task, text, kHandledException, serializedResult(task));
    }
    return false;
}

void MonitoringDriver::confirmRanTask(const Task& task) {
    constexpr int kAttempts = 3;
    for (int attempt = 1;; ++attempt) {
        try {
            confirmTask(task);
            return;
        } catch (const std::exception& error) {
            if (attempt >= kAttempts || stop_signal_.requested()) {
                log().error("Task {} ran, but its confirmation did not reach the service: {};", task.id,
                            describe(error));
                throw;
            }
            log().warn("Confirmation of task {} not delivered ({}); trying again;", task.id, describe(error));
        }
        try {
            Utils::sleepUnlessStopped(std::chrono::milliseconds(500 * attempt));
        } catch (const Utils::StopInterrupted&) {
            // One more try within the stop's grace.
        }
    }
}

void MonitoringDriver::confirmTask(const Task& task) {
    const auto response = client_->Post(fullPath("/tasks", task.id, "confirm"), task.result);
    if (response.status != 200) {
        log().error("Failed to confirm task {}: {}", task.id, response.reason);
    }
}

void MonitoringDriver::rejectTask(const Task& task, const std::string& reason) {
    boost::json::object body;
    body["description"] = reason;
    const auto response = client_->Post(fullPath("/tasks", task.id, "reject"), body);
    if (response.status != 200) {
        log().error("Failed to reject task {}: {} and task reject reason: {}", task.id, response.reason,
                    reason);
    }
}

void MonitoringDriver::reportError(const Task& task, const std::string& message, const std::string& errorCode,
                                   const std::string& details) {
    boost::json::object body;
    body["error"] = errorCode;
    body["description"] = message;
    if (details != "{}") {
        body["value"] = details;
    }
    const auto response = client_->Post(fullPath("/tasks", task.id, "error"), body);
    if (response.status != 200) {
        log().error("Failed to report error task {}: {} and task error message: {}", task.id, response.reason,
                    message);
    }
}

}  // namespace velmora::Engine::Sync
