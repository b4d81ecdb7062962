#pragma once

// A peer on loopback that takes connections and reads whatever comes, but never
// completes an answer: it either stays silent, or sends the start of an HTTP status
// line one byte a second, forever. For the deadlines of the agent's clients.

#include <atomic>
#include <string>
#include <thread>

#include <Poco/Net/ServerSocket.h>

namespace orvix::test {

class StallingPeer {
public:
    enum class Pace { Silent, Trickle };

    explicit StallingPeer(Pace pace);
    ~StallingPeer();
    StallingPeer(const StallingPeer&) = delete;
    StallingPeer& operator=(const StallingPeer&) = delete;

    unsigned short port() const;
    std::string baseUrl() const;  // "http://127.0.0.1:<port>"
    int connections() const { return connections_; }
    // Bytes received, all connections together (a request's head and body).
    long long received() const { return received_; }

private:
    void serve();

    const Pace pace_;
    Poco::Net::ServerSocket server_;
    std::atomic<bool> stopping_{false};
    std::atomic<int> connections_{0};
    std::atomic<long long> received_{0};
    std::thread worker_;
};

}  // namespace orvix::test
