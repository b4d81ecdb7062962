#pragma once

// Collects what the agent's logger writes while the object lives, for tests that
// check the service's own log lines.

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace spdlog::sinks {
class sink;
}

namespace orvix::test {

struct LogLine {
    std::string level;  // "info", "warning", "error", ...
    std::string text;
};

class CapturedLog {
public:
    CapturedLog();  // attaches to the logger current at construction
    ~CapturedLog();
    CapturedLog(const CapturedLog&) = delete;
    CapturedLog& operator=(const CapturedLog&) = delete;

    std::vector<LogLine> lines() const;
    // Lines whose text equals `text` exactly (any level, or the given one).
    size_t count(const std::string& text) const;
    size_t count(const std::string& level, const std::string& text) const;
    // Lines whose text contains `fragment`.
    size_t countContaining(const std::string& fragment) const;
    void clear();

    struct Store;

private:
    std::shared_ptr<Store> store_;
    std::shared_ptr<spdlog::sinks::sink> sink_;
};

}  // namespace orvix::test
