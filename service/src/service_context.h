#pragma once

// The three pieces of shared state that routes, converters and the cloud classes
// use together: the configuration map, the configuration lock and the database.
// The lock is always the innermost one: never call the module, the cloud or the
// object storage from inside one of these helpers.

#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>

#include <Poco/Dynamic/Var.h>

namespace Poco::Data {
class Session;
}
namespace velmora::Engine::DB {
class SQLiteDB;
}

namespace velmora::Engine {

using ConfigMap = std::unordered_map<std::string, Poco::Dynamic::Var>;

using SessionWork = std::function<void(Poco::Data::Session&)>;

// ServiceContext::inTransaction for code that was handed only the lock and the
// database (the converters keep that signature for their other callers).
void runInTransaction(std::mutex& configMutex, DB::SQLiteDB& database, const SessionWork& work);

class ServiceContext {
public:
    ServiceContext(ConfigMap& config, std::mutex& configMutex, DB::SQLiteDB& database);

    // Runs `work` under the configuration lock in one transaction on the database
    // session: committed when `work` returns, rolled back when it throws.
    void inTransaction(const std::function<void(Poco::Data::Session&)>& work);
    // Runs `work` under the configuration lock on the session, without a transaction
    // of its own (single statements; the library's autocommit).
    void withSession(const std::function<void(Poco::Data::Session&)>& work);
    // Runs `work` under the configuration lock on the map.
    void withConfig(const std::function<void(ConfigMap&)>& work);
    // A copy of the map taken under the lock.
    ConfigMap copyConfig();

    ConfigMap& config() { return config_; }  // only while holding the lock
    std::mutex& configMutex() { return configMutex_; }
    DB::SQLiteDB& database() { return database_; }

private:
    ConfigMap& config_;
    std::mutex& configMutex_;
    DB::SQLiteDB& database_;
};

}  // namespace velmora::Engine
