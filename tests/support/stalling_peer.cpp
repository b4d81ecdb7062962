#include "stalling_peer.h"

#include <sys/socket.h>

#include <chrono>
#include <utility>
#include <vector>

#include <Poco/Exception.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>

namespace orvix::test {

StallingPeer::StallingPeer(Pace pace)
    : pace_(pace), server_(Poco::Net::SocketAddress("127.0.0.1", 0)), worker_([this] { serve(); }) {}

StallingPeer::~StallingPeer() {
    stopping_ = true;
    worker_.join();
}

unsigned short StallingPeer::port() const {
    return server_.address().port();
}

std::string StallingPeer::baseUrl() const {
    return "http://127.0.0.1:" + std::to_string(port());
}

void StallingPeer::serve() {
    using Clock = std::chrono::steady_clock;
    // A status line and a header that never end: every byte is a valid next one.
    const std::string start = "HTTP/1.1 200 OK\r\nX-Slow: ";
    struct Client {
        Poco::Net::StreamSocket socket;
        std::size_t sent = 0;
        bool open = true;
    };
    std::vector<Client> clients;
    auto nextByte = Clock::now() + std::chrono::seconds(1);
    char buffer[65536];
    while (!stopping_) {
        if (server_.poll(Poco::Timespan(0, 20000), Poco::Net::Socket::SELECT_READ)) {
            clients.push_back(Client{server_.acceptConnection()});
            ++connections_;
        }
        for (auto& client : clients) {
            try {
                while (client.open && client.socket.available() > 0) {
                    const int n = client.socket.receiveBytes(buffer, sizeof buffer);
                    client.open = n > 0;
                    received_ += n > 0 ? n : 0;
                }
            } catch (const Poco::Exception&) {
                client.open = false;
            }
        }
        if (pace_ == Pace::Trickle && Clock::now() >= nextByte) {
            nextByte += std::chrono::seconds(1);
            for (auto& client : clients) {
                const char byte = client.sent < start.size() ? start[client.sent] : 'a';
                try {
                    if (client.open && client.socket.sendBytes(&byte, 1, MSG_NOSIGNAL) == 1) {
                        ++client.sent;
                    }
                } catch (const Poco::Exception&) {
                    client.open = false;
                }
            }
        }
    }
}

}  // namespace orvix::test
