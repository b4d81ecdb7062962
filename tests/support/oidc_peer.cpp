#include "oidc_peer.h"

#include <unistd.h>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <stdexcept>

namespace orvix::test {

namespace {

// The node executable on PATH (ChildProcess runs a path, not a command name).
std::string nodeExecutable() {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        auto candidate = std::filesystem::path(dir.empty() ? "." : dir) / "node";
        if (::access(candidate.c_str(), X_OK) == 0) {
            return candidate.string();
        }
    }
    throw std::runtime_error("node is not on PATH");
}

}  // namespace

OidcPeer::OidcPeer(const std::string& clientSecret, int accessTokenTtlSeconds) {
    const std::string peers = std::string(ORVIX_SOURCE_DIR) + "/tests/peers";
    if (!std::filesystem::exists(peers + "/node_modules/oidc-provider")) {
        throw std::runtime_error(
            "oidc-provider is not installed: run scripts/setup.sh (npm ci in tests/peers)");
    }
    std::vector<std::string> argv{nodeExecutable(), peers + "/oidc.js", "", clientSecret};
    if (accessTokenTtlSeconds > 0) {
        argv.push_back(std::to_string(accessTokenTtlSeconds));
    }
    // The issuer names the port, so it is chosen here; another process could take it
    // before node binds it: try a few.
    for (int attempt = 0; attempt < 3; ++attempt) {
        port_ = freePort();
        argv[2] = std::to_string(port_);
        process_ = std::make_unique<ChildProcess>(argv, std::map<std::string, std::string>{}, dir_.path());
        bool listening = waitUntil(
            [this] {
                return process_->stdoutText().find("listening on") != std::string::npos ||
                       !process_->running();
            },
            std::chrono::seconds(20));
        if (listening && process_->running()) {
            return;
        }
        std::string error = process_->stderrText();
        process_.reset();
        if (error.find("EADDRINUSE") == std::string::npos) {
            throw std::runtime_error("oidc-provider did not start: " + error);
        }
    }
    throw std::runtime_error("oidc-provider found no free port");
}

OidcPeer::~OidcPeer() {
    stop();
}

std::string OidcPeer::baseUrl() const {
    return "http://127.0.0.1:" + std::to_string(port_);
}

void OidcPeer::stop() {
    if (process_ && process_->running()) {
        process_->signal(SIGTERM);
        if (process_->wait(std::chrono::seconds(5)) < 0) {
            process_->signal(SIGKILL);
            process_->wait(std::chrono::seconds(5));
        }
    }
}

}  // namespace orvix::test
