#pragma once

#include <cstddef>
#include <exception>
#include <memory>
#include <string>

#include <spdlog/logger.h>

namespace velmora::Engine::Logging {

// The process-wide log: one daily file, "orvix_YYYY-MM-DD.log" by local date,
// flushed after every message of level info or higher; under systemd also the
// journal (journal_sink.h).
class Logger {
public:
    static Logger& GetInstance();

    // Creates the directory and opens today's file. Throws when either fails.
    void Initialize(const std::string& logDirectory);

    std::string GetLogDirectory() const;

    // Applies a logging_level value (see isLoggingLevel); throws
    // std::invalid_argument for any other text.
    void SetLevel(const std::string& level);

    // Never null: before Initialize it is a logger without sinks, so code under
    // test that logs without a log directory writes nothing.
    std::shared_ptr<spdlog::logger> GetLogger() const;

private:
    Logger();

    std::shared_ptr<spdlog::logger> logger_;
    std::string logDirectory_;
};

// The names spdlog knows (trace, debug, info, warn/warning, error/err,
// critical/crit, off) or a syslog priority digit 0-7 (7 debug, 6 and 5 info,
// 4 warn, 3 error, 2 to 0 critical).
bool isLoggingLevel(const std::string& level);

// What a log line says about a failure: Poco's displayText() carries the reason
// where its what() is only the class name ("Net Exception").
std::string reasonOf(const std::exception& error);

// A client's payload as the log shows it: at most `limit` bytes, then how many
// were left out, so no client can write megabytes into the day's file.
inline constexpr std::size_t kLoggedPayloadLimit = 4096;
std::string shortened(const std::string& text, std::size_t limit = kLoggedPayloadLimit);

// Shorthand for the held logger.
inline spdlog::logger& log() {
    return *Logger::GetInstance().GetLogger();
}

}  // namespace velmora::Engine::Logging
