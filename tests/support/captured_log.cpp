#include "captured_log.h"

#include <algorithm>

#include <spdlog/sinks/base_sink.h>

#include "logger.h"

namespace orvix::test {

struct CapturedLog::Store {
    mutable std::mutex mutex;
    std::vector<LogLine> lines;
};

namespace {

class StoreSink : public spdlog::sinks::base_sink<std::mutex> {
public:
    explicit StoreSink(std::shared_ptr<CapturedLog::Store> store) : store_(std::move(store)) {}

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        LogLine line;
        const auto levelName = spdlog::level::to_string_view(msg.level);
        line.level.assign(levelName.data(), levelName.size());
        line.text.assign(msg.payload.data(), msg.payload.size());
        std::lock_guard<std::mutex> lock(store_->mutex);
        store_->lines.push_back(std::move(line));
    }
    void flush_() override {}

private:
    std::shared_ptr<CapturedLog::Store> store_;
};

}  // namespace

CapturedLog::CapturedLog() : store_(std::make_shared<Store>()), sink_(std::make_shared<StoreSink>(store_)) {
    velmora::Engine::Logging::log().sinks().push_back(sink_);
}

CapturedLog::~CapturedLog() {
    auto& sinks = velmora::Engine::Logging::log().sinks();
    sinks.erase(std::remove(sinks.begin(), sinks.end(), sink_), sinks.end());
}

std::vector<LogLine> CapturedLog::lines() const {
    std::lock_guard<std::mutex> lock(store_->mutex);
    return store_->lines;
}

size_t CapturedLog::count(const std::string& text) const {
    const auto all = lines();
    return static_cast<size_t>(
        std::count_if(all.begin(), all.end(), [&](const LogLine& line) { return line.text == text; }));
}

size_t CapturedLog::count(const std::string& level, const std::string& text) const {
    const auto all = lines();
    return static_cast<size_t>(std::count_if(all.begin(), all.end(), [&](const LogLine& line) {
        return line.level == level && line.text == text;
    }));
}

size_t CapturedLog::countContaining(const std::string& fragment) const {
    const auto all = lines();
    return static_cast<size_t>(std::count_if(all.begin(), all.end(), [&](const LogLine& line) {
        return line.text.find(fragment) != std::string::npos;
    }));
}

void CapturedLog::clear() {
    std::lock_guard<std::mutex> lock(store_->mutex);
    store_->lines.clear();
}

}  // namespace orvix::test
