#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace Poco::Net {
class HTTPServer;
class HTTPServerRequest;
class HTTPServerResponse;
class ServerSocket;
}  // namespace Poco::Net

namespace velmora::Engine::DB {
class SQLiteDB;
}  // namespace velmora::Engine::DB

namespace velmora::Engine::Test {

using QueryParams = std::vector<std::pair<std::string, std::string>>;

// One local API request, read completely before any route runs.
struct ApiRequest {
    std::string method;
    std::string uri;                    // path and query as received
    std::vector<std::string> segments;  // path split on "/", empty ones dropped, percent-decoded
    QueryParams query;                  // decoded, in order
    std::string body;
    std::string contentType;  // the request's Content-Type header, "" when absent
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
};

// The local HTTP API and the owner of the running service.
class Server {
public:
    Server(unsigned short port, const std::string& dbPath);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    void Run();
    void Stop();

    void HandleSession(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response);

    // Adds rows to the routing table; only before Run.
    void AddRoutes(std::vector<Route> routes);

    // The port actually bound (differs from the requested one only when that was 0).
    unsigned short GetListeningPort() const;

    std::mutex& GetConfigMutex() { return config_mutex_; }

    // The agent's database, open and migrated for the whole life of the server.
    DB::SQLiteDB& GetDatabase() { return *db_; }

private:
    const Route* findRoute(const ApiRequest& request) const;
    void migrateDatabase();

    std::unique_ptr<DB::SQLiteDB> db_;
    unsigned short port_;
    std::unique_ptr<Poco::Net::ServerSocket> socket_;
    std::unique_ptr<Poco::Net::HTTPServer> http_server_;
    std::mutex config_mutex_;
    std::vector<Route> routes_;
    std::vector<std::vector<std::string>> route_shapes_;  // routes_[i].path split into segments
};

}  // namespace velmora::Engine::Test
