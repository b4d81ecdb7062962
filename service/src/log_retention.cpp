#include "log_retention.h"

#include <cctype>
#include <filesystem>

#include "logger.h"

namespace velmora::Engine::Logging {
namespace fs = std::filesystem;
namespace {

// The date of a daily file's name ("YYYY-MM-DD"), or "" for any other name.
std::string dailyFileDate(const std::string& name) {
    const std::string prefix = "orvix_";
    const std::string suffix = ".log";
    if (name.size() != prefix.size() + 10 + suffix.size() || name.rfind(prefix, 0) != 0 ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return {};
    }
    std::string date = name.substr(prefix.size(), 10);
    for (size_t i = 0; i < date.size(); ++i) {
        bool dash = i == 4 || i == 7;
        if (dash ? date[i] != '-' : !std::isdigit(static_cast<unsigned char>(date[i]))) {
            return {};
        }
    }
    return date;
}

std::string localDate(std::time_t moment) {
    std::tm local{};
    localtime_r(&moment, &local);
    char text[11];
    std::strftime(text, sizeof(text), "%Y-%m-%d", &local);
    return text;
}

}  // namespace

std::vector<std::string> removeExpiredLogFiles(const std::string& directory, int retentionDays,
                                               std::time_t now) {
    std::vector<std::string> removed;
    if (directory.empty() || retentionDays < 1) {
        return removed;
    }
    // Files dated before this day are older than the retention. Names sort as dates.
    const std::string oldestKept = localDate(now - static_cast<std::time_t>(retentionDays) * 24 * 60 * 60);
    std::error_code error;
    for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        const std::string date = dailyFileDate(name);
        std::error_code ignored;
        if (!date.empty() && date < oldestKept && it->is_regular_file(ignored) &&
            fs::remove(it->path(), ignored)) {
            removed.push_back(name);
        }
    }
    for (const auto& name : removed) {
        log().info("Removed log file {} (older than {} days);", name, retentionDays);
    }
    return removed;
}

}  // namespace velmora::Engine::Logging
