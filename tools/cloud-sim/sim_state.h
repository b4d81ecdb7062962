#pragma once

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace orvix::cloudsim {

using Clock = std::chrono::steady_clock;

// One answer of the simulated service, before it goes on the wire.
struct Reply {
    int status = 200;
    std::string body = "{}";
    std::string contentType = "application/json";
    std::vector<std::pair<std::string, std::string>> headers;
};

// One request as the handlers see it. The path keeps empty segments ("devices//task"
// has an empty device id between the two slashes); segments and query are decoded.
struct Request {
    std::string method;
    std::string path;
    std::vector<std::string> segments;
    std::vector<std::pair<std::string, std::string>> query;
    std::string body;
    std::string authorization;
};

// How the token endpoint answers; changeable at run time.
struct TokenSettings {
    long long lifetime = 300;          // seconds an access token stays valid
    long long refreshLifetime = 1800;  // seconds a refresh token stays valid
    bool shortForm = false;            // answer only access_token, expires_in, token_type
};

struct SimOptions {
    std::string clientSecret = "secret";
    TokenSettings token;
    std::string deviceId = "42";
    std::string deviceSerial = "VLM2A0C1B7E4";
    bool seedDuplicate = false;  // a second registry device with the same serial number
};

// A switchable misbehaviour of one group of requests (a fault target).
struct Fault {
    std::string mode = "none";  // status, delay, empty, drop, trickle
    int status = 500;           // answered by "status"
    int delayMs = 0;            // waited before answering, whatever the mode
    int remaining = -1;         // requests left to spoil; -1 means until cleared
    std::string retryAfter;     // a Retry-After header of the "status" answer, when not empty
    std::string sid;            // when not empty: only recognitions of this session id are spoiled
};

// A task waiting to be handed out by GET .../task: `document` is the exact answer body.
struct QueuedTask {
    std::string device;
    std::string id;
    boost::json::value document;
};

// The simulator's whole memory. Every member below `mutex` is guarded by it; handlers
// take it for the duration of one request's work (never across a delay).
struct SimState {
    explicit SimState(SimOptions options);

    // The fault targets, in the order the help text lists them.
    static const std::vector<std::string>& faultTargets();

    // Back to the start: seeded registry, token settings of the command line, nothing
    // recorded, no tasks, no faults. Tokens already handed out stay valid.
    void resetLocked();
    // Appends to one of the lists of /control/received, dropping the oldest beyond a cap.
    void recordLocked(const char* list, boost::json::object entry);
    // The fault that applies to a request of `target` (its own, else the one of "all"),
    // counted down; nullopt when the request is to be served normally.
    // `sid` is the recognition session a request carries ("" for other requests).
    std::optional<Fault> takeFault(const std::string& target, const std::string& sid = {});
    boost::json::object faultsJsonLocked() const;
    boost::json::object tokenSettingsJsonLocked() const;
    // A fresh random text for tokens and ids.
    static std::string randomText(std::size_t bytes);

    const SimOptions options;

    std::mutex mutex;
    std::condition_variable changed;  // stop, fault changes: ends delays early
    bool stopping = false;

    TokenSettings token;
    std::map<std::string, Clock::time_point> accessTokens;  // token -> end of validity
    std::map<std::string, Clock::time_point> refreshTokens;
    boost::json::object registry;  // "stores", "types", "departments", "regions", "models", "devices"
    std::map<std::string, boost::json::value> lastAttributes;  // by device id
    std::uint64_t nextRegistryId = 100;
    boost::json::object received;
    std::deque<QueuedTask> tasks;
    std::uint64_t nextTaskId = 1;
    std::map<std::string, Fault> faults;  // by target
};

}  // namespace orvix::cloudsim
