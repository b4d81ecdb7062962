#include "logger.h"

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include <Poco/Exception.h>

#include <spdlog/sinks/daily_file_sink.h>
#include <spdlog/spdlog.h>

#include "journal_sink.h"

namespace velmora::Engine::Logging {
namespace {

std::optional<spdlog::level::level_enum> levelOf(const std::string& text) {
    using spdlog::level::level_enum;
    static const std::pair<const char*, level_enum> kLevels[] = {
        {"trace", level_enum::trace},   {"debug", level_enum::debug},
        {"info", level_enum::info},     {"warn", level_enum::warn},
        {"warning", level_enum::warn},  {"error", level_enum::err},
        {"err", level_enum::err},       {"critical", level_enum::critical},
        {"crit", level_enum::critical}, {"off", level_enum::off},
        {"7", level_enum::debug},       {"6", level_enum::info},
        {"5", level_enum::info},        {"4", level_enum::warn},
        {"3", level_enum::err},         {"2", level_enum::critical},
        {"1", level_enum::critical},    {"0", level_enum::critical},
    };
    for (const auto& [name, level] : kLevels) {
        if (text == name) {
            return level;
        }
    }
    return std::nullopt;
}

}  // namespace

bool isLoggingLevel(const std::string& level) {
    return levelOf(level).has_value();
}

std::string reasonOf(const std::exception& error) {
    if (const auto* poco = dynamic_cast<const Poco::Exception*>(&error)) {
        return poco->displayText();
    }
    return error.what();
}

std::string shortened(const std::string& text, std::size_t limit) {
    if (text.size() <= limit) {
        return text;
    }
    return text.substr(0, limit) + "... (" + std::to_string(text.size() - limit) + " more bytes)";
}

void Logger::SetLevel(const std::string& level) {
    const auto parsed = levelOf(level);
    if (!parsed) {
        throw std::invalid_argument("unknown logging level \"" + level + "\"");
    }
    logger_->set_level(*parsed);
}

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
    std::vector<spdlog::sink_ptr> sinks{sink};
    // Under systemd, the journal as well.
    if (auto journal = journalStreamSink()) {
        sinks.push_back(std::move(journal));
    }
    auto logger = std::make_shared<spdlog::logger>("daily_logger", sinks.begin(), sinks.end());
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
