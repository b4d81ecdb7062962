#include "agent_process.h"

#include <csignal>
#include <ctime>

namespace orvix::test {

std::string agentBinary() {
    return std::string(ORVIX_BINARY_DIR) + "/orvix-agent";
}

std::string todayLocalDate() {
    char date[11];
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::strftime(date, sizeof(date), "%Y-%m-%d", &local);
    return date;
}

std::string AgentProcess::defaultConfig(unsigned short modulePort) {
    if (modulePort == 0) {
        modulePort = freePort();
    }
    return R"({"device_ip":"127.0.0.1","device_port":")" + std::to_string(modulePort) + "\"}";
}

AgentProcess::AgentProcess(const std::string& home, const std::string& configJson,
                           const std::map<std::string, std::string>& env)
    : home_(home) {
    if (!configJson.empty()) {
        writeFile(appData() + "/config.json", configJson);
    }
    std::map<std::string, std::string> all = env;
    all["HOME"] = home;
    process_ = std::make_unique<ChildProcess>(std::vector<std::string>{agentBinary()}, all, home);
}

bool AgentProcess::waitReady(std::chrono::milliseconds timeout) {
    return waitUntil(
               [this] {
                   if (!process_->running()) {
                       return true;  // let the caller see the exit rather than wait the whole time
                   }
                   try {
                       // 401: the API listens and asks for the token this test configured.
                       const int status = httpCall(kPort, "GET", "/api", {}, {}, 2).status;
                       return status == 404 || status == 401;
                   } catch (...) {
                       return false;
                   }
               },
               timeout) &&
           process_->running();
}

std::string AgentProcess::todaysLog() const {
    return readFile(appData() + "/logs/orvix_" + todayLocalDate() + ".log");
}

int AgentProcess::stop(std::chrono::milliseconds timeout) {
    process_->signal(SIGTERM);
    return process_->wait(timeout);
}

}  // namespace orvix::test
