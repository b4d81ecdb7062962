#pragma once

// What the agent's outgoing HTTP exchanges share, whichever client makes them: a
// deadline for the whole exchange, looked at between any two socket operations, and
// a stop that ends the exchanges in flight at once.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <istream>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

namespace Poco::Net {
class HTTPClientSession;
class HTTPResponse;
}  // namespace Poco::Net

namespace velmora::Engine::REST {

using Clock = std::chrono::steady_clock;

// Before each receive: the socket waits no longer than the time left, and no longer
// than `timeout` seconds when that is not 0, so a peer that sends a byte now and then
// still ends at the deadline. Past it throws Poco::TimeoutException.
void armReceive(Poco::Net::HTTPClientSession& session, int timeout, Clock::time_point deadline);
// The same before each send, for a peer that reads a request slowly.
void armSend(Poco::Net::HTTPClientSession& session, int timeout, Clock::time_point deadline);

// When an exchange that has `seconds` from now must be over (0: no deadline of its
// own), brought forward to `grace` when it started during a stop; none when neither.
std::optional<Clock::time_point> exchangeDeadline(int seconds, std::chrono::milliseconds grace);

// Reads the rest of an answer's body from `in` one receive at a time (peek waits for
// the next block, readsome takes what it brought), arming each receive first when
// there is a deadline, and hands every piece to `sink`. A stream that fails (a
// receive that ran out of time) throws Poco::TimeoutException; a body shorter than
// `response` announced (its connection shut down at the deadline or by a stop)
// throws too, so a cut answer is never taken as whole.
void receiveBody(Poco::Net::HTTPClientSession& session, const Poco::Net::HTTPResponse& response,
                 std::istream& in, int timeout, std::optional<Clock::time_point> deadline,
                 const std::function<void(const char*, std::size_t)>& sink);

// The exchanges in flight of one client, so that a stop can end them, and so that
// one whose deadline has passed ends whatever its socket waits on.
class ExchangeInterrupter {
public:
    ExchangeInterrupter() = default;
    ~ExchangeInterrupter();  // no exchange may be in flight any more
    ExchangeInterrupter(const ExchangeInterrupter&) = delete;
    ExchangeInterrupter& operator=(const ExchangeInterrupter&) = delete;

    // Every exchange in flight ends at once (its connection is shut down), and each
    // one that starts before resume() has at most `grace` to connect and be answered,
    // so a stop never waits on a peer that does not answer, while a last short
    // exchange may still go through.
    void interrupt(std::chrono::milliseconds grace);
    void resume();
    bool interrupted() const;

    // Keeps one exchange's session known to interrupt() for as long as it may block.
    class InFlight {
    public:
        InFlight(ExchangeInterrupter& owner, Poco::Net::HTTPClientSession& session);
        ~InFlight();
        InFlight(const InFlight&) = delete;
        InFlight& operator=(const InFlight&) = delete;

        // Non-zero when the exchange started while interrupted: its whole limit.
        std::chrono::milliseconds grace() const { return grace_; }
        // An interrupt that came while the session was still connecting found no
        // connection to shut down; the exchange ends here instead.
        void throwIfInterrupted() const;

        // From here on the connection is shut down once `deadline` has passed,
        // whatever the socket is waiting on: a timeout per receive cannot bound a
        // peer that paces its status line and headers a byte at a time.
        void enforce(Clock::time_point deadline);
        // The enforced deadline has passed: whatever failed, the exchange ran out of time.
        bool overdue() const;

    private:
        ExchangeInterrupter& owner_;
        Poco::Net::HTTPClientSession& session_;
        unsigned long generation_ = 0;
        std::chrono::milliseconds grace_{0};
        std::optional<Clock::time_point> deadline_;
    };

private:
    // The watchdog's loop: shuts down each session whose deadline has passed.
    void watch();

    mutable std::mutex mutex_;  // guards everything below
    std::set<Poco::Net::HTTPClientSession*> inflight_;
    unsigned long interrupts_ = 0;
    std::chrono::milliseconds grace_{0};  // non-zero while interrupted
    std::map<Poco::Net::HTTPClientSession*, Clock::time_point> deadlines_;
    std::condition_variable deadlinesChanged_;
    bool stopping_ = false;
    std::thread watchdog_;  // started with the first enforced deadline, joined on destruction
};

}  // namespace velmora::Engine::REST
