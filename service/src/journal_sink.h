#pragma once

// The log's second home when systemd runs the agent: its standard error is then a
// journal stream (systemd says so in JOURNAL_STREAM, as "device:inode" of that
// stream), and a line starting with "<N>" is stored with syslog priority N. So
// `systemctl status` and `journalctl -u` show the agent's lines and fatal errors,
// without a library of systemd's.

#include <memory>

namespace spdlog::sinks {
class sink;
}

namespace velmora::Engine::Logging {

// A sink writing each message to standard error with its priority prefix, or null
// when standard error is not the journal stream JOURNAL_STREAM names.
std::shared_ptr<spdlog::sinks::sink> journalStreamSink();

}  // namespace velmora::Engine::Logging
