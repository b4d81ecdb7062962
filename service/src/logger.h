#pragma once

#include <memory>
#include <string>

#include <spdlog/logger.h>

namespace velmora::Engine::Logging {

// The process-wide log: one daily file, "orvix_YYYY-MM-DD.log" by local date,
// flushed after every message of level info or higher.
class Logger {
public:
    static Logger& GetInstance();

    // Creates the directory and opens today's file. Throws when either fails.
    void Initialize(const std::string& logDirectory);

    std::string GetLogDirectory() const;

    // Never null: before Initialize it is a logger without sinks, so code under
    // test that logs without a log directory writes nothing.
    std::shared_ptr<spdlog::logger> GetLogger() const;

private:
    Logger();

    std::shared_ptr<spdlog::logger> logger_;
    std::string logDirectory_;
};

// Shorthand for the held logger.
inline spdlog::logger& log() {
    return *Logger::GetInstance().GetLogger();
}

}  // namespace velmora::Engine::Logging
