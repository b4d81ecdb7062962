#include "journal_sink.h"

#include <cstdlib>
#include <mutex>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include <spdlog/sinks/base_sink.h>

namespace velmora::Engine::Logging {
namespace {

// syslog(3) priorities.
int priorityOf(spdlog::level::level_enum level) {
    switch (level) {
        case spdlog::level::trace:
        case spdlog::level::debug:
            return 7;
        case spdlog::level::info:
            return 6;
        case spdlog::level::warn:
            return 4;
        case spdlog::level::err:
            return 3;
        case spdlog::level::critical:
            return 2;
        default:
            return 6;
    }
}

class JournalStreamSink : public spdlog::sinks::base_sink<std::mutex> {
public:
    JournalStreamSink() {
        // The journal stamps and names each line itself.
        set_pattern_("%v");
    }

protected:
    void sink_it_(const spdlog::details::log_msg& message) override {
        spdlog::memory_buf_t formatted;
        formatter_->format(message, formatted);
        const std::string prefix = "<" + std::to_string(priorityOf(message.level)) + ">";
        // Every line of a message is an entry of its own: each carries the priority.
        std::string text;
        text.reserve(formatted.size() + prefix.size());
        bool lineStart = true;
        for (char c : formatted) {
            if (lineStart) {
                text += prefix;
            }
            text += c;
            lineStart = c == '\n';
        }
        if (!lineStart) {
            text += '\n';
        }
        for (std::size_t done = 0; done < text.size();) {
            const ssize_t written = ::write(STDERR_FILENO, text.data() + done, text.size() - done);
            if (written <= 0) {
                return;  // the journal is gone; the daily file still has the line
            }
            done += static_cast<std::size_t>(written);
        }
    }

    void flush_() override {}
};

bool stderrIsTheJournal() {
    const char* stream = std::getenv("JOURNAL_STREAM");
    if (stream == nullptr) {
        return false;
    }
    struct stat info {};
    if (::fstat(STDERR_FILENO, &info) != 0) {
        return false;
    }
    const std::string expected = std::to_string(static_cast<unsigned long long>(info.st_dev)) + ":" +
                                 std::to_string(static_cast<unsigned long long>(info.st_ino));
    return expected == stream;
}

}  // namespace

std::shared_ptr<spdlog::sinks::sink> journalStreamSink() {
    if (!stderrIsTheJournal()) {
        return nullptr;
    }
    return std::make_shared<JournalStreamSink>();
}

}  // namespace velmora::Engine::Logging
