#include "http_exchange.h"

#include <algorithm>
#include <cstdint>
#include <string>

#include <Poco/Exception.h>
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/NetException.h>

namespace velmora::Engine::REST {

namespace {

// What is left until `deadline`, at most `timeout` seconds when that is not 0.
Poco::Timespan waitFor(int timeout, Clock::time_point deadline, const char* late) {
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
        throw Poco::TimeoutException("Timeout", late);
    }
    auto wait = left;
    if (timeout != 0) {
        wait = std::min<std::chrono::microseconds>(wait, std::chrono::seconds(timeout));
    }
    return Poco::Timespan(static_cast<Poco::Timespan::TimeDiff>(wait.count()));
}

}  // namespace

void armReceive(Poco::Net::HTTPClientSession& session, int timeout, Clock::time_point deadline) {
    session.socket().setReceiveTimeout(
        waitFor(timeout, deadline, "the answer did not arrive within the exchange deadline"));
}

void armSend(Poco::Net::HTTPClientSession& session, int timeout, Clock::time_point deadline) {
    session.socket().setSendTimeout(
        waitFor(timeout, deadline, "the request was not sent within the exchange deadline"));
}

std::optional<Clock::time_point> exchangeDeadline(int seconds, std::chrono::milliseconds grace) {
    const auto now = Clock::now();
    std::optional<Clock::time_point> deadline;
    if (seconds != 0) {
        deadline = now + std::chrono::seconds(seconds);
    }
    if (grace.count() > 0 && (!deadline || now + grace < *deadline)) {
        deadline = now + grace;
    }
    return deadline;
}

void receiveBody(Poco::Net::HTTPClientSession& session, const Poco::Net::HTTPResponse& response,
                 std::istream& in, int timeout, std::optional<Clock::time_point> deadline,
                 const std::function<void(const char*, std::size_t)>& sink) {
    char block[8192];
    std::uint64_t received = 0;
    for (;;) {
        if (deadline) {
            armReceive(session, timeout, *deadline);
        }
        if (in.peek() == std::char_traits<char>::eof()) {
            break;
        }
        const std::streamsize got = in.readsome(block, sizeof(block));
        received += static_cast<std::uint64_t>(got);
        sink(block, static_cast<std::size_t>(got));
    }
    if (in.bad()) {
        // The stream hides the library's exception: a receive that ran out of time
        // is reported as what it is, whichever limit it hit.
        throw Poco::TimeoutException("Timeout", "the answer stopped before its end");
    }
    // A connection shut down at the deadline or by a stop ends the stream like a
    // peer that finished: an answer shorter than announced is never taken as whole.
    if (response.hasContentLength() &&
        received != static_cast<std::uint64_t>(response.getContentLength64())) {
        if (deadline && Clock::now() >= *deadline) {
            throw Poco::TimeoutException("Timeout", "the answer did not arrive within the exchange deadline");
        }
        throw Poco::Net::MessageException("the answer ended before its announced length");
    }
}

ExchangeInterrupter::~ExchangeInterrupter() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    deadlinesChanged_.notify_all();
    if (watchdog_.joinable()) {
        watchdog_.join();
    }
}

void ExchangeInterrupter::watch() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        if (deadlines_.empty()) {
            deadlinesChanged_.wait(lock);
            continue;
        }
        auto earliest = deadlines_.begin();
        for (auto it = deadlines_.begin(); it != deadlines_.end(); ++it) {
            if (it->second < earliest->second) {
                earliest = it;
            }
        }
        if (Clock::now() < earliest->second) {
            // A copy: while the wait has the lock released, the exchange may end and
            // take its entry with it.
            const Clock::time_point until = earliest->second;
            deadlinesChanged_.wait_until(lock, until);
            continue;
        }
        try {
            // Only shut down, never closed: the descriptor stays the owner's to close.
            earliest->first->socket().shutdown();
        } catch (const Poco::Exception&) {
            // Not connected (yet): its own timeouts end it.
        }
        deadlines_.erase(earliest);
    }
}

void ExchangeInterrupter::interrupt(std::chrono::milliseconds grace) {
    std::lock_guard<std::mutex> lock(mutex_);
    grace_ = std::max(grace, std::chrono::milliseconds(1));
    ++interrupts_;
    for (Poco::Net::HTTPClientSession* session : inflight_) {
        try {
            // Only shut down, never closed: the descriptor stays the owner's to close.
            session->socket().shutdown();
        } catch (const Poco::Exception&) {
            // Not connected yet: throwIfInterrupted ends it once it is.
        }
    }
}

void ExchangeInterrupter::resume() {
    std::lock_guard<std::mutex> lock(mutex_);
    grace_ = std::chrono::milliseconds(0);
}

bool ExchangeInterrupter::interrupted() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return grace_.count() > 0;
}

ExchangeInterrupter::InFlight::InFlight(ExchangeInterrupter& owner, Poco::Net::HTTPClientSession& session)
    : owner_(owner), session_(session) {
    std::lock_guard<std::mutex> lock(owner_.mutex_);
    owner_.inflight_.insert(&session_);
    generation_ = owner_.interrupts_;
    grace_ = owner_.grace_;
}

ExchangeInterrupter::InFlight::~InFlight() {
    std::lock_guard<std::mutex> lock(owner_.mutex_);
    owner_.inflight_.erase(&session_);
    owner_.deadlines_.erase(&session_);
}

void ExchangeInterrupter::InFlight::enforce(Clock::time_point deadline) {
    {
        std::lock_guard<std::mutex> lock(owner_.mutex_);
        deadline_ = deadline;
        owner_.deadlines_[&session_] = deadline;
        if (!owner_.watchdog_.joinable()) {
            owner_.watchdog_ = std::thread(&ExchangeInterrupter::watch, &owner_);
        }
    }
    owner_.deadlinesChanged_.notify_all();
}

bool ExchangeInterrupter::InFlight::overdue() const {
    return deadline_ && Clock::now() >= *deadline_;
}

void ExchangeInterrupter::InFlight::throwIfInterrupted() const {
    std::lock_guard<std::mutex> lock(owner_.mutex_);
    if (owner_.interrupts_ != generation_) {
        throw Poco::Net::ConnectionAbortedException("the exchange was interrupted by a stop");
    }
}

}  // namespace velmora::Engine::REST
