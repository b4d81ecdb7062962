#pragma once

#include <map>
#include <memory>
#include <string>

#include "test_support.h"

namespace orvix::test {

// The agent binary run as a process with HOME in a temporary directory. Its
// port is fixed at 5555, so only one runs at a time.
class AgentProcess {
public:
    static constexpr unsigned short kPort = 5555;

    // {"device_ip":"127.0.0.1","device_port":"<port>"}, by default a port nobody listens on.
    static std::string defaultConfig(unsigned short modulePort = 0);

    // `home` must outlive the process. Unless `configJson` is empty it is written
    // as the one-shot configuration file before the start; the default points the
    // module address at a closed loopback port, so a test never reaches out of this
    // machine. Extra environment entries are added.
    explicit AgentProcess(const std::string& home, const std::string& configJson = defaultConfig(),
                          const std::map<std::string, std::string>& env = {});

    // Waits until the local API answers; false when it did not in time.
    bool waitReady(std::chrono::milliseconds timeout = std::chrono::seconds(20));

    ChildProcess& process() { return *process_; }
    std::string appData() const { return home_ + "/.local/share/VELMORA/OrvixAgent"; }
    std::string dbPath() const { return appData() + "/service.db"; }
    std::string todaysLog() const;  // the text of today's log file

    // SIGTERM and wait; the exit status or -1.
    int stop(std::chrono::milliseconds timeout = std::chrono::seconds(20));

private:
    std::string home_;
    std::unique_ptr<ChildProcess> process_;
};

std::string agentBinary();
std::string todayLocalDate();  // YYYY-MM-DD

}  // namespace orvix::test
