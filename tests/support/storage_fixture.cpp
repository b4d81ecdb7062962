#include "storage_fixture.h"

#include <stdexcept>

#include <Poco/Data/Statement.h>

namespace orvix::test {

using namespace Poco::Data::Keywords;

MigratedDatabase::MigratedDatabase(const std::string& imagesPath)
    : path_(dir_.file("service.db")),
      db_(std::make_unique<velmora::Engine::DB::SQLiteDB>(path_)),
      session_(db_->GetSession()) {
    migrateAgentDatabase(session_, imagesPath);
}

void migrateAgentDatabase(Poco::Data::Session& session, const std::string& imagesPath) {
    velmora::Engine::DB::Migrator migrator(session);
    for (const auto& [name, sql] : velmora::Engine::DB::agentMigrations(imagesPath)) {
        migrator.addMigration(name, sql);
    }
    migrator.migrate();
}

std::vector<std::string> tableNames(Poco::Data::Session& session) {
    std::vector<std::string> names;
    session
        << "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite_%' ORDER BY name",
        into(names), now;
    return names;
}

std::vector<std::string> columnNames(Poco::Data::Session& session, const std::string& table) {
    std::vector<std::string> names;
    std::string bound = table;
    session << "SELECT name FROM pragma_table_info(?) ORDER BY cid", use(bound), into(names), now;
    return names;
}

int countRows(Poco::Data::Session& session, const std::string& table) {
    return queryInt(session, "SELECT COUNT(*) FROM " + table);
}

std::string queryText(Poco::Data::Session& session, const std::string& sql) {
    std::string value;
    Poco::Data::Statement select(session);
    select << sql, into(value), limit(1);
    if (select.execute() == 0) {
        throw std::runtime_error("no row for: " + sql);
    }
    return value;
}

int queryInt(Poco::Data::Session& session, const std::string& sql) {
    int value = 0;
    Poco::Data::Statement select(session);
    select << sql, into(value), limit(1);
    if (select.execute() == 0) {
        throw std::runtime_error("no row for: " + sql);
    }
    return value;
}

}  // namespace orvix::test
