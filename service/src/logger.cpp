#include "logger.h"

#include <filesystem>

#include <spdlog/sinks/daily_file_sink.h>
#include <spdlog/spdlog.h>

namespace velmora::Engine::Logging {

Logger& Logger::GetInstance() {
    static Logger instance;
    return instance;
}

Logger::Logger() : logger_(std::make_shared<spdlog::logger>("daily_logger")) {}

void Logger::Initialize(const std::string& logDirectory) {
    logDirectory_ = logDirectory;
    std::filesystem::create_directories(logDirectory);
    // Rotation at local midnight, append, keep every file.
    auto sink =
        std::make_shared<spdlog::sinks::daily_file_sink_mt>(logDirectory + "/orvix.log", 0, 0, false, 0);
    auto logger = std::make_shared<spdlog::logger>("daily_logger", sink);
    spdlog::drop("daily_logger");
    spdlog::register_logger(logger);
    logger->set_level(spdlog::level::info);
    logger->flush_on(spdlog::level::info);
    logger_ = logger;
}

std::string Logger::GetLogDirectory() const {
    return logDirectory_;
}

std::shared_ptr<spdlog::logger> Logger::GetLogger() const {
    return logger_;
}

}  // namespace velmora::Engine::Logging
