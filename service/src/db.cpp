#include "db.h"

#include <Poco/Data/SQLite/Connector.h>
#include <Poco/Data/SQLite/Utility.h>
#include <Poco/Data/Session.h>
#include <Poco/Data/SessionFactory.h>
#include <Poco/Data/Statement.h>
#include <Poco/DateTime.h>
#include <Poco/DateTimeFormatter.h>
#include <sqlite3.h>

namespace velmora::Engine::DB {

using namespace Poco::Data::Keywords;

namespace {

const char* const kBootstrap =
    "CREATE TABLE IF NOT EXISTS migrations (\n"
    "    id INTEGER PRIMARY KEY AUTOINCREMENT,\n"
    "    name TEXT NOT NULL UNIQUE,\n"
    "    applied_at TEXT NOT NULL\n"
    ");";

}  // namespace

SQLiteDB::SQLiteDB(const std::string& path, std::size_t connectionTimeoutSeconds) {
    // The session factory keeps one registration per connector for the whole process.
    static const bool registered = [] {
        Poco::Data::SQLite::Connector::registerConnector();
        return true;
    }();
    (void)registered;
    session_ = std::make_unique<Poco::Data::Session>(Poco::Data::SessionFactory::instance().create(
        Poco::Data::SQLite::Connector::KEY, path, connectionTimeoutSeconds));
    // Candidates of a queued recognition go with it (ON DELETE CASCADE). SQLite
    // ignores this pragma inside a transaction, so it is set once here, before any
    // caller can have one open.
    *session_ << "PRAGMA foreign_keys = ON", now;
    // Write-ahead log: a reader elsewhere (a technician's sqlite3 shell holding a
    // read transaction) never blocks the agent's writes, and with synchronous FULL a
    // committed recognition survives a power cut. The mode is stored in the file;
    // a file system that cannot share memory maps keeps its old mode.
    std::string journalMode;
    *session_ << "PRAGMA journal_mode = WAL", into(journalMode), now;
    *session_ << "PRAGMA synchronous = FULL", now;
}

SQLiteDB::~SQLiteDB() = default;

void SQLiteDB::Execute(const std::string& sql) {
    *session_ << sql, now;
}

Poco::Data::Session SQLiteDB::GetSession() {
    return *session_;
}

Migrator::Migrator(Poco::Data::Session& session) : session_(session) {
    session_ << kBootstrap, now;
}

void Migrator::addMigration(const std::string& name, const std::string& sql) {
    migrations_.emplace_back(name, sql);
}

void Migrator::migrate() {
    for (const auto& [name, sql] : migrations_) {
        int count = 0;
        std::string bound = name;
        session_ << "SELECT COUNT(1) FROM migrations WHERE name=?", use(bound), into(count), now;
        if (count < 1) {
            applyMigration(name, sql);
        }
    }
}

Transaction::Transaction(Poco::Data::Session& session) : session_(session) {
    session_.begin();
}

Transaction::~Transaction() {
    if (done_ || !session_.isTransaction()) {
        return;
    }
    try {
        session_.rollback();
        return;
    } catch (const std::exception&) {
        // Handled below.
    }
    try {
        if (sqlite3_get_autocommit(Poco::Data::SQLite::Utility::dbHandle(session_)) != 0) {
            // SQLite has no transaction open any more: open one so that the library's
            // rollback succeeds and clears its flag.
            session_ << "BEGIN", now;
            session_.rollback();
        }
    } catch (const std::exception&) {
        // Nothing more can be done here; the next begin() reports it.
    }
}

void Transaction::commit() {
    session_.commit();
    done_ = true;
}

void Migrator::applyMigration(const std::string& name, const std::string& sql) {
    // Rolls back on every path that does not reach commit().
    Transaction transaction(session_);
    session_ << sql, now;
    std::string appliedAt = Poco::DateTimeFormatter::format(Poco::DateTime(), "%Y-%m-%d %H:%M:%S");  // UTC
    std::string bound = name;
    session_ << "INSERT INTO migrations(name, applied_at) VALUES(?, ?)", use(bound), use(appliedAt), now;
    transaction.commit();
}

}  // namespace velmora::Engine::DB
