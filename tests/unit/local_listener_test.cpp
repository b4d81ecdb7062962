// The local API's listener on its own, over real sockets on loopback, with a
// handler the test controls: slow, silent and hostile clients against ready ones.

#include "local_listener.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <Poco/Net/NetException.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>
#include <gtest/gtest.h>

namespace velmora::Engine::Test {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Holds handlers until opened; counts who is inside.
class Gate {
public:
    void pass() {
        std::unique_lock<std::mutex> lock(mutex_);
        ++inside_;
        changed_.notify_all();
        changed_.wait(lock, [this] { return open_; });
        --inside_;
    }
    void open() {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    bool waitInside(int count, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return inside_ >= count; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int inside_ = 0;
    bool open_ = false;
};

// The handler answers with the request's target; "/big" gets 256 KiB, "/wait"
// waits at the gate first.
struct Fixture {
    explicit Fixture(ListenerSettings settings, BodyRules rules = {1024 * 1024, 64 * 1024 * 1024})
        : listener(
              [&settings] {
                  settings.bindAddress = "127.0.0.1";
                  return settings;
              }(),
              [this](LocalRequest& request) {
                  if (request.target == "/wait") {
                      gate.pass();
                  }
                  LocalReply reply;
                  reply.headers.emplace_back("Content-Type", "text/plain");
                  reply.body = request.target == "/big"
                                   ? std::string(256 * 1024, 'b')
                                   : request.target + " " + std::to_string(request.body.size());
                  return reply;
              },
              [rules](const LocalRequest&) { return rules; }) {
        listener.start();
    }
    ~Fixture() { gate.open(); }

    Poco::Net::StreamSocket connect() {
        Poco::Net::StreamSocket socket;
        socket.connect(Poco::Net::SocketAddress("127.0.0.1", listener.port()), Poco::Timespan(5, 0));
        return socket;
    }

    Gate gate;
    LocalListener listener;
};

std::string requestText(const std::string& target, const std::string& body = {},
                        const std::string& version = "HTTP/1.1", const std::string& extra = {}) {
    return "POST " + target + " " + version + "\r\nHost: t\r\n" + extra +
           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

void sendAll(Poco::Net::StreamSocket& socket, const std::string& text) {
    socket.sendBytes(text.data(), static_cast<int>(text.size()));
}

// One answer off `socket`: its head and as much body as Content-Length says. ""
// when the connection ends or nothing complete arrives within `timeout`.
std::string readOne(Poco::Net::StreamSocket& socket, std::string& pending,
                    std::chrono::milliseconds timeout) {
    const auto until = Clock::now() + timeout;
    char buffer[16 * 1024];
    for (;;) {
        const auto headEnd = pending.find("\r\n\r\n");
        if (headEnd != std::string::npos) {
            std::size_t length = 0;
            const auto at = pending.find("Content-Length: ");
            if (at != std::string::npos && at < headEnd) {
                length = std::stoul(pending.substr(at + 16));
            }
            if (pending.size() >= headEnd + 4 + length) {
                std::string answer = pending.substr(0, headEnd + 4 + length);
                pending.erase(0, answer.size());
                return answer;
            }
        }
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(until - Clock::now());
        if (left.count() <= 0) {
            return {};
        }
        try {
            if (!socket.poll(Poco::Timespan(left.count()), Poco::Net::Socket::SELECT_READ)) {
                return {};
            }
            const int got = socket.receiveBytes(buffer, sizeof(buffer));
            if (got <= 0) {
                return {};
            }
            pending.append(buffer, static_cast<std::size_t>(got));
        } catch (const Poco::Exception&) {
            return {};
        }
    }
}

std::string readOne(Poco::Net::StreamSocket& socket, std::chrono::milliseconds timeout = 5s) {
    std::string pending;
    return readOne(socket, pending, timeout);
}

int statusOf(const std::string& answer) {
    return answer.rfind("HTTP/1.", 0) == 0 && answer.size() >= 12 ? std::stoi(answer.substr(9, 3)) : 0;
}

// Whether the peer ends the connection within `timeout`; `received` gets what came first.
bool closedWithin(Poco::Net::StreamSocket& socket, std::chrono::milliseconds timeout, std::string* received) {
    const auto until = Clock::now() + timeout;
    char buffer[4096];
    while (Clock::now() < until) {
        try {
            if (!socket.poll(Poco::Timespan(0, 50 * 1000), Poco::Net::Socket::SELECT_READ)) {
                continue;
            }
            const int got = socket.receiveBytes(buffer, sizeof(buffer));
            if (got <= 0) {
                return true;
            }
            if (received != nullptr) {
                received->append(buffer, static_cast<std::size_t>(got));
            }
        } catch (const Poco::Exception&) {
            return true;
        }
    }
    return false;
}

int quickCall(Fixture& fixture, const std::string& target, long long* elapsedMs = nullptr) {
    const auto start = Clock::now();
    Poco::Net::StreamSocket socket = fixture.connect();
    sendAll(socket, requestText(target));
    const int status = statusOf(readOne(socket));
    if (elapsedMs != nullptr) {
        *elapsedMs = msSince(start);
    }
    return status;
}

TEST(LocalListener, ClientsThatNeverReadHoldNoWorker) {
    ListenerSettings settings;
    settings.workers = 2;
    settings.sendTimeout = 1500ms;
    Fixture fixture(settings);
    std::string pipelined;
    for (int i = 0; i < 50; ++i) {
        pipelined += requestText("/big");
    }
    std::vector<Poco::Net::StreamSocket> nonReaders;
    for (int i = 0; i < 40; ++i) {
        nonReaders.push_back(fixture.connect());
        nonReaders.back().setBlocking(false);
        try {
            sendAll(nonReaders.back(), pipelined);
        } catch (const Poco::Exception&) {
            // its buffers are full: it sent what it could
        }
    }
    std::this_thread::sleep_for(300ms);
    for (int i = 0; i < 20; ++i) {
        long long elapsed = 0;
        EXPECT_EQ(quickCall(fixture, "/small", &elapsed), 200);
        EXPECT_LT(elapsed, 1000);
    }
    // Their answers stop moving, so their writes end at the send timeout.
    EXPECT_TRUE(fixture.listener.waitIdle(5s));
}

// Tricklers reach their deadline and are cut while ready clients open and close
// connections around them: a 408 only ever reaches a trickler.
TEST(LocalListener, OnlyARequestNotDeliveredInTimeIsAnswered408) {
    ListenerSettings settings;
    settings.requestDeadline = 400ms;
    Fixture fixture(settings);
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::atomic<int> tricklersCut{0};
        std::atomic<int> readyOk{0};
        std::atomic<int> readyOther{0};
        std::vector<std::thread> clients;
        for (int i = 0; i < 30; ++i) {
            clients.emplace_back([&] {
                Poco::Net::StreamSocket socket = fixture.connect();
                sendAll(socket, "POST /slow HTTP/1.1\r\nHost: t\r\nX-Slow: ");
                std::string answer;
                const auto start = Clock::now();
                while (msSince(start) < 3000) {
                    if (socket.poll(Poco::Timespan(0, 50 * 1000), Poco::Net::Socket::SELECT_READ)) {
                        answer = readOne(socket);
                        break;
                    }
                    try {
                        sendAll(socket, "a");
                    } catch (const Poco::Exception&) {
                        break;
                    }
                }
                tricklersCut += statusOf(answer) == 408;
            });
        }
        for (int i = 0; i < 40; ++i) {
            clients.emplace_back([&] {
                for (int k = 0; k < 10; ++k) {
                    (quickCall(fixture, "/ready") == 200 ? readyOk : readyOther)++;
                }
            });
        }
        for (auto& client : clients) {
            client.join();
        }
        EXPECT_EQ(readyOk, 400);
        EXPECT_EQ(readyOther, 0);
        EXPECT_EQ(tricklersCut, 30);
    }
}

TEST(LocalListener, RequestsPastTheQueueAre503AtOnce) {
    ListenerSettings settings;
    settings.workers = 1;
    settings.queued = 1;
    Fixture fixture(settings);
    Poco::Net::StreamSocket handled = fixture.connect();
    sendAll(handled, requestText("/wait"));
    ASSERT_TRUE(fixture.gate.waitInside(1, 2s));
    Poco::Net::StreamSocket queued = fixture.connect();
    sendAll(queued, requestText("/queued"));
    std::this_thread::sleep_for(100ms);
    long long elapsed = 0;
    EXPECT_EQ(quickCall(fixture, "/third", &elapsed), 503);
    EXPECT_LT(elapsed, 1000);
    fixture.gate.open();
    EXPECT_EQ(statusOf(readOne(handled)), 200);
    EXPECT_EQ(statusOf(readOne(queued)), 200);
}

TEST(LocalListener, BodiesInFlightShareABudget) {
    ListenerSettings settings;
    Fixture fixture(settings, BodyRules{4 * 1024 * 1024, 1024 * 1024});
    const std::string body(700 * 1024, 'u');
    Poco::Net::StreamSocket first = fixture.connect();
    sendAll(first, requestText("/wait", body));
    ASSERT_TRUE(fixture.gate.waitInside(1, 2s));

    struct Case {
        const char* name;
        std::string head;
        int status;
    };
    const Case cases[] = {
        {"announced, beyond what is left", "POST /b HTTP/1.1\r\nHost: t\r\nContent-Length: 700000\r\n\r\n",
         503},
        {"announced, beyond the limit", "POST /b HTTP/1.1\r\nHost: t\r\nContent-Length: 5000000\r\n\r\n",
         413},
        {"chunked, growing past what is left",
         "POST /b HTTP/1.1\r\nHost: t\r\nTransfer-Encoding: chunked\r\n\r\n" + std::string("80000\r\n") +
             std::string(0x80000, 'c') + "\r\n80000\r\n" + std::string(0x80000, 'c') + "\r\n0\r\n\r\n",
         503},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Poco::Net::StreamSocket socket = fixture.connect();
        try {
            sendAll(socket, c.head);
        } catch (const Poco::Exception&) {
            // refused while sending: the answer counts
        }
        EXPECT_EQ(statusOf(readOne(socket)), c.status);
    }
    fixture.gate.open();
    EXPECT_EQ(readOne(first).substr(0, 12), "HTTP/1.1 200");
    // What the first held is free again.
    Poco::Net::StreamSocket again = fixture.connect();
    sendAll(again, requestText("/again", body));
    const std::string answer = readOne(again);
    EXPECT_EQ(statusOf(answer), 200);
    EXPECT_NE(answer.find("/again 716800"), std::string::npos) << answer.substr(0, 200);
}

TEST(LocalListener, StopCutsWaitingConnectionsAndLetsTheAnswerInFlightOut) {
    ListenerSettings settings;
    settings.workers = 1;
    Fixture fixture(settings);
    Poco::Net::StreamSocket handled = fixture.connect();
    sendAll(handled, requestText("/wait"));
    ASSERT_TRUE(fixture.gate.waitInside(1, 2s));
    Poco::Net::StreamSocket queued = fixture.connect();
    sendAll(queued, requestText("/queued"));
    Poco::Net::StreamSocket idle = fixture.connect();
    Poco::Net::StreamSocket halfway = fixture.connect();
    sendAll(halfway, "POST /half HTTP/1.1\r\nHost: t\r\n");
    std::this_thread::sleep_for(200ms);

    const auto start = Clock::now();
    fixture.listener.stopAccepting();
    EXPECT_LT(msSince(start), 1000);
    EXPECT_EQ(statusOf(readOne(queued)), 503);
    std::string received;
    EXPECT_TRUE(closedWithin(idle, 1s, &received));
    EXPECT_TRUE(closedWithin(halfway, 1s, &received));
    EXPECT_EQ(received, "");
    EXPECT_FALSE(fixture.listener.waitIdle(100ms));
    fixture.gate.open();
    const std::string answer = readOne(handled);
    EXPECT_EQ(statusOf(answer), 200);
    EXPECT_NE(answer.find("Connection: close"), std::string::npos);
    EXPECT_TRUE(fixture.listener.waitIdle(2s));
}

TEST(LocalListener, KeepAlivePipeliningContinueAndHttp10) {
    ListenerSettings settings;
    Fixture fixture(settings);
    Poco::Net::StreamSocket socket = fixture.connect();
    sendAll(socket, requestText("/one") + requestText("/two", "xy") + requestText("/three"));
    std::string pending;
    for (const char* expected : {"/one 0", "/two 2", "/three 0"}) {
        const std::string answer = readOne(socket, pending, 5s);
        EXPECT_EQ(statusOf(answer), 200);
        EXPECT_EQ(answer.substr(answer.size() - std::string(expected).size()), expected);
    }

    // A client that waits for leave to send its body gets it.
    sendAll(socket,
            "POST /continued HTTP/1.1\r\nHost: t\r\nExpect: 100-continue\r\nContent-Length: 3\r\n\r\n");
    std::string interim;
    ASSERT_FALSE(closedWithin(socket, 300ms, &interim));
    EXPECT_EQ(interim, "HTTP/1.1 100 Continue\r\n\r\n");
    sendAll(socket, "abc");
    const std::string continued = readOne(socket, pending, 5s);
    EXPECT_NE(continued.find("/continued 3"), std::string::npos) << continued;

    Poco::Net::StreamSocket old = fixture.connect();
    sendAll(old, requestText("/old", {}, "HTTP/1.0"));
    std::string rest;
    EXPECT_TRUE(closedWithin(old, 2s, &rest));
    EXPECT_EQ(rest.rfind("HTTP/1.0 200", 0), 0u) << rest;
}

TEST(LocalListener, QuietConnectionsEndWithoutAnAnswerAndTooManyAre503) {
    ListenerSettings settings;
    settings.idleTimeout = 300ms;
    settings.maxConnections = 5;
    Fixture fixture(settings);
    std::vector<Poco::Net::StreamSocket> quiet;
    for (int i = 0; i < 5; ++i) {
        quiet.push_back(fixture.connect());
    }
    std::this_thread::sleep_for(100ms);
    Poco::Net::StreamSocket extra = fixture.connect();
    std::string refused;
    EXPECT_TRUE(closedWithin(extra, 2s, &refused));
    EXPECT_EQ(statusOf(refused), 503);

    const auto start = Clock::now();
    std::string received;
    EXPECT_TRUE(closedWithin(quiet.front(), 2s, &received));
    EXPECT_EQ(received, "");
    EXPECT_GE(msSince(start), 100);
    // With the quiet ones gone there is room again.
    EXPECT_EQ(quickCall(fixture, "/after"), 200);
}

}  // namespace
}  // namespace velmora::Engine::Test
