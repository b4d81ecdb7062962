#include "s3rver_fixture.h"

#include <csignal>
#include <filesystem>
#include <stdexcept>

namespace orvix::test {

std::string S3rverPeer::executable() {
    const std::string path = std::string(ORVIX_SOURCE_DIR) + "/tests/peers/node_modules/.bin/s3rver";
    return std::filesystem::exists(path) ? path : std::string{};
}

S3rverPeer::S3rverPeer(const std::string& bucket) : bucket_(bucket) {
    if (executable().empty()) {
        throw std::runtime_error("s3rver is not installed: run scripts/setup.sh (npm ci in tests/peers)");
    }
    std::filesystem::create_directories(dir_.file("data"));
    // The port is free when asked for but could be taken before s3rver binds it: try a few.
    for (int attempt = 0; attempt < 3; ++attempt) {
        port_ = freePort();
        if (launch()) {
            return;
        }
    }
    throw std::runtime_error("s3rver did not start listening");
}

bool S3rverPeer::launch() {
    process_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{executable(), "-d", dir_.file("data"), "-a", "127.0.0.1", "-p",
                                 std::to_string(port_), "--configure-bucket", bucket_},
        std::map<std::string, std::string>{}, dir_.path());
    if (waitUntil(
            [this] { return waitForPort(port_, std::chrono::milliseconds(100)) || !process_->running(); },
            std::chrono::seconds(20)) &&
        process_->running()) {
        return true;
    }
    process_.reset();
    return false;
}

void S3rverPeer::restart() {
    stop();
    if (!launch()) {
        throw std::runtime_error("s3rver did not listen again on its port");
    }
}

S3rverPeer::~S3rverPeer() {
    stop();
}

std::string S3rverPeer::endpoint() const {
    return "http://127.0.0.1:" + std::to_string(port_);
}

void S3rverPeer::stop() {
    if (process_ && process_->running()) {
        process_->signal(SIGTERM);
        if (process_->wait(std::chrono::seconds(5)) < 0) {
            process_->signal(SIGKILL);
            process_->wait(std::chrono::seconds(5));
        }
    }
}

}  // namespace orvix::test
