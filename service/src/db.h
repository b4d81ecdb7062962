#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace Poco::Data {
class Session;
}  // namespace Poco::Data

namespace velmora::Engine::DB {

// The one SQLite connection of the process. Every query runs on this session while
// its caller holds the configuration lock: a single connection is not safe for
// concurrent use.
class SQLiteDB {
public:
    // Opens (and if need be creates) the database file. The library keeps retrying
    // an open that fails for up to `connectionTimeoutSeconds`, then throws its
    // exception.
    explicit SQLiteDB(const std::string& path, std::size_t connectionTimeoutSeconds = 60);
    ~SQLiteDB();
    SQLiteDB(const SQLiteDB&) = delete;
    SQLiteDB& operator=(const SQLiteDB&) = delete;

    // Runs the text at once; several statements separated by semicolons all run.
    void Execute(const std::string& sql);

    // A handle on the same connection: copies share it, so a transaction begun on
    // one copy covers statements made on another.
    Poco::Data::Session GetSession();

private:
    std::unique_ptr<Poco::Data::Session> session_;
};

// One transaction on a session: begun on construction, rolled back on destruction
// unless commit() returned. When SQLite has already ended the transaction itself (it
// rolls back on its own after some errors, a full disk among them), the library's
// own rollback fails and would leave the session believing a transaction is still
// open, so that every later one is refused; this one puts the session back in step.
class Transaction {
public:
    explicit Transaction(Poco::Data::Session& session);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    void commit();

private:
    Poco::Data::Session& session_;
    bool done_ = false;
};

// Brings a database file up to the current schema. A migration is known only by
// its name: once recorded it never runs again, so a schema change is always a new
// migration appended at the end of the list.
class Migrator {
public:
    // Creates the bookkeeping table when the file does not have it yet.
    explicit Migrator(Poco::Data::Session& session);

    void addMigration(const std::string& name, const std::string& sql);

    // Applies, in registration order, every migration not yet recorded. The first
    // failure stops the run and propagates; earlier ones stay applied.
    void migrate();

    // Runs the text and records the name in one transaction, so a failure leaves
    // neither the migration's tables nor its record behind.
    void applyMigration(const std::string& name, const std::string& sql);

private:
    Poco::Data::Session& session_;
    std::vector<std::pair<std::string, std::string>> migrations_;
};

// The agent's migrations in the order they must run. The configuration seed carries
// the images directory, so it is composed here rather than written out once.
std::vector<std::pair<std::string, std::string>> agentMigrations(const std::string& imagesPath);

// One configuration row as the first start stores it: key, type name and value text.
struct SeedRow {
    std::string key;
    std::string type;
    std::string value;
};

// The configuration every installation starts with, in insertion order; the one
// list the seed migration is written from and the defaults the start-up falls
// back on for a stored value it cannot use.
std::vector<SeedRow> seededConfiguration(const std::string& imagesPath);

// The module address a fresh installation points at.
std::string defaultDeviceAddress();

}  // namespace velmora::Engine::DB
