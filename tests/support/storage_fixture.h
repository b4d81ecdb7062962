#pragma once

// A migrated agent database in a temporary directory, and small readers for
// checking what the storage layer wrote.

#include <memory>
#include <string>
#include <vector>

#include <Poco/Data/Session.h>

#include "db.h"
#include "test_support.h"

namespace orvix::test {

class MigratedDatabase {
public:
    // Opens service.db in a fresh directory and applies the agent's migrations.
    explicit MigratedDatabase(const std::string& imagesPath = "/srv/images");

    const std::string& path() const { return path_; }
    velmora::Engine::DB::SQLiteDB& db() { return *db_; }
    Poco::Data::Session& session() { return session_; }

private:
    TempDir dir_;
    std::string path_;
    std::unique_ptr<velmora::Engine::DB::SQLiteDB> db_;
    Poco::Data::Session session_;
};

// Applies the agent's migrations to the database on `session`.
void migrateAgentDatabase(Poco::Data::Session& session, const std::string& imagesPath);

// User tables (SQLite's own left out), by name.
std::vector<std::string> tableNames(Poco::Data::Session& session);
// Column names of a table in declaration order.
std::vector<std::string> columnNames(Poco::Data::Session& session, const std::string& table);
int countRows(Poco::Data::Session& session, const std::string& table);
// The first column of the first row as text ("" for NULL); throws when there is no row.
std::string queryText(Poco::Data::Session& session, const std::string& sql);
int queryInt(Poco::Data::Session& session, const std::string& sql);

}  // namespace orvix::test
