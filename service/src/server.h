#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include <Poco/Dynamic/Var.h>

#include "service_context.h"

namespace velmora::Engine::DB {
class SQLiteDB;
}
namespace Poco::Data {
class Session;
}
namespace velmora::Engine::Driver {
class OrvixDriver;
}
namespace velmora::Engine::Sync {
class MonitoringDriver;
class S3ClientProvider;
class TaskHandlerProvider;
class DeviceDataProvider;
}  // namespace velmora::Engine::Sync
namespace velmora::Engine {
class PeriodicTask;
}

namespace velmora::Engine::Test {

class LocalListener;
struct LocalRequest;
struct LocalReply;
struct BodyRules;

using ConfigMap = Engine::ConfigMap;

using QueryParams = std::vector<std::pair<std::string, std::string>>;

// One local API request, read completely before any route runs.
struct ApiRequest {
    std::string method;
    std::string uri;                    // path and query as received
    std::vector<std::string> segments;  // path split on "/", empty ones dropped, percent-decoded
    QueryParams query;                  // decoded, in order
    std::string body;
    std::string contentType;  // the request's Content-Type header, "" when absent
    std::string client;       // the caller's address and port, for the log
};

// One complete answer. It is built in full before anything is sent, so a failure
// while building it can still turn into an error status.
struct ApiReply {
    int status = 200;
    std::string reason;  // "" means the standard phrase of the status
    std::string contentType = "application/json";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
};

// The local API could not bind its address and port: without it the agent is of
// no use, so the process ends rather than stay up looking healthy.
class ListenerError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class Server;
using RouteHandler = std::function<ApiReply(Server&, const ApiRequest&)>;

// A row of the routing table. `path` is matched segment by segment; a segment
// written as "{name}" matches any one segment. With `ignoreExtraSegments` the
// request may have more segments than the path; they are not looked at.
struct Route {
    std::string method;  // "*" matches every method
    std::string path;
    RouteHandler handler;
    bool ignoreExtraSegments = false;
    bool upload = false;  // takes a file: the upload limit applies instead of the JSON one
};

// The local HTTP API and the owner of the running service: the database, the
// configuration and the runtime objects built from it.
class Server {
public:
    // The whole start-up: database and migrations, listener, one-shot configuration
    // import, configuration map, module driver. Throws on any failure.
    Server(unsigned short port, const std::string& dbPath);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    void Run();
    // Bounded: connections are cut at once, requests waiting on the module end with
    // its deadline. Afterwards RequestsInFlight() tells whether any is still running
    // (the server must then outlive them).
    void Stop();
    int RequestsInFlight() const;

    // Runs on a listener's worker with the whole request read.
    LocalReply HandleSession(LocalRequest& request);

    // (Re)build the runtime objects from the configuration map. One rebuild runs
    // at a time: the re-initialisation lock is the outermost lock of the service.
    void initDriver();
    void initMonitoring();
    // Rebuilds from the configuration map. A rebuild that fails stores the settings
    // of the last rebuild that worked again, rebuilds with them, and then throws
    // Utils::InvalidConfigError naming the key that failed.
    void reinitRuntimeParameters();
    // Asks for initMonitoring on the server's own re-initialisation thread and
    // returns at once: the monitoring worker uses this, since the rebuild stops
    // and joins that very worker.
    void requestReinit();

    // Adds rows to the routing table; only before Run.
    void AddRoutes(std::vector<Route> routes);

    // The port actually bound (differs from the requested one only when that was 0).
    unsigned short GetListeningPort() const;
    // Whether the listener and a worker answer a request from this computer within
    // `timeout`: what the service manager's watchdog is fed on. The probe is
    // answered before routing, so it is neither logged nor refused.
    bool AnswersLocally(std::chrono::milliseconds timeout) const;
    // The body limit of the route a request's head names, and the budget of all
    // bodies in flight: asked by the listener before it reads a body.
    BodyRules BodyRulesFor(const LocalRequest& head);

    // The configuration lock: guards the configuration map and every use of the
    // database session. Always the innermost lock.
    std::mutex& GetConfigMutex() { return config_mutex_; }
    DB::SQLiteDB& GetDatabase() { return *db_; }
    // The map itself; use it only while holding the configuration lock.
    ConfigMap& GetConfig() { return config_; }
    // A copy taken under the configuration lock.
    ConfigMap GetConfigCopy();
    // The configuration map, its lock and the database together, with the helpers
    // that take the lock for one piece of work.
    ServiceContext& GetContext() { return context_; }
    // The current driver. A request keeps the copy it took, so a re-initialisation
    // never frees a driver that is still in use.
    std::shared_ptr<Driver::OrvixDriver> GetDriver() const;
    // The current monitoring client, copied like the driver: a request that holds
    // it keeps it alive while a re-initialisation replaces it.
    std::shared_ptr<Sync::MonitoringDriver> GetMonitoring() const;
    // Called by the setting commands after the module accepted a change, so the
    // cloud learns of it at once.
    std::function<void()> AttributesChangedAction();
    // 0 when the cloud client holds an access token, -10002 otherwise.
    int CheckCloudConnection();

private:
    const Route* findRoute(const ApiRequest& request) const;
    // The answer to a request the local API refuses before any route runs (a
    // browser page, a missing token), or nothing when it may go on.
    std::optional<ApiReply> refusedCaller(const LocalRequest& request);
    void importConfigFile();
    // The logging_level key, applied to the log at once.
    void applyLoggingLevel();
    // The body limits and budget, copied out of the configuration map for the
    // listener: its event loop must never wait on the configuration lock, which
    // requests hold while they use the database.
    void applyBodyLimits();
    void reinitLoop();
    // The keys whose values differ from the last rebuild that worked, and storing
    // those values again (reinit_mutex_ is not held).
    std::vector<std::string> keysChangedSinceLastGood();
    void restoreLastGoodConfig();
    // Ends the re-initialisation thread and the monitoring worker; no rebuild follows.
    void stopMonitoring();

    std::unique_ptr<DB::SQLiteDB> db_;
    std::unique_ptr<Poco::Data::Session> session_;  // the handle the monitoring client keeps
    ConfigMap config_;
    std::shared_ptr<Driver::OrvixDriver> driver_;
    std::shared_ptr<Sync::MonitoringDriver> monitoring_;
    std::shared_ptr<Sync::S3ClientProvider> s3_;
    std::shared_ptr<Sync::TaskHandlerProvider> task_handlers_;
    std::shared_ptr<Sync::DeviceDataProvider> device_data_;
    std::string device_ip_;
    unsigned short device_port_ = 0;  // until the configuration names one
    unsigned short port_;
    std::string bind_address_;  // what the listener was bound to
    std::unique_ptr<LocalListener> listener_;
    std::mutex config_mutex_;
    ServiceContext context_;  // over config_, config_mutex_ and *db_
    // Guards the swap of the shared runtime objects and every copy a request takes.
    mutable std::mutex runtime_mutex_;
    // Held across one whole re-initialisation (read, build, swap); outermost.
    std::mutex reinit_mutex_;
    bool stopped_ = false;  // under reinit_mutex_: no rebuild after Stop
    std::atomic<std::uint64_t> json_body_limit_{0};
    std::atomic<std::uint64_t> upload_limit_{0};
    std::atomic<std::uint64_t> upload_budget_{0};
    ConfigMap last_good_config_;  // under reinit_mutex_: the map the last good rebuild used
    // The re-initialisations asked for by the monitoring worker.
    std::mutex reinit_queue_mutex_;
    std::condition_variable reinit_wake_;
    bool reinit_requested_ = false;
    bool reinit_quit_ = false;
    std::thread reinit_thread_;
    std::vector<Route> routes_;
    std::vector<std::vector<std::string>> route_shapes_;  // routes_[i].path split into segments
    // Removes expired daily log files at start and once a day. Declared last: its
    // thread uses the configuration, so it goes first.
    std::unique_ptr<PeriodicTask> housekeeping_;
};

}  // namespace velmora::Engine::Test
