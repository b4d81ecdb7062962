#pragma once

// A recognition-module driver wired to a real, migrated agent database in a
// temporary directory, for tests of the driver and of what is built on it.

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "test_support.h"

namespace velmora::Engine::DB {
class SQLiteDB;
}
namespace velmora::Engine::Driver {
class OrvixDriver;
}

namespace orvix::test {

struct StoredAlert {
    int id = 0;
    int code = 0;
    std::string description;
};

// The agent's database with every migration applied, and the lock that guards it.
class AgentDatabase {
public:
    AgentDatabase();
    ~AgentDatabase();
    AgentDatabase(const AgentDatabase&) = delete;
    AgentDatabase& operator=(const AgentDatabase&) = delete;

    velmora::Engine::DB::SQLiteDB& db() { return *db_; }
    std::mutex& lock() { return lock_; }
    const std::string& path() const { return path_; }
    // Every queued alert, oldest first (taken under the lock).
    std::vector<StoredAlert> alerts();

private:
    TempDir dir_;
    std::string path_;
    std::mutex lock_;
    std::unique_ptr<velmora::Engine::DB::SQLiteDB> db_;
};

// A driver for the module at 127.0.0.1:`port` using `database`.
std::unique_ptr<velmora::Engine::Driver::OrvixDriver> makeDriver(AgentDatabase& database,
                                                                 unsigned short port);

}  // namespace orvix::test
