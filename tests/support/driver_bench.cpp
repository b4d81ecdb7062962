#include "driver_bench.h"

#include <Poco/Data/Session.h>

#include "db.h"
#include "driver.h"

using namespace Poco::Data::Keywords;

namespace orvix::test {

AgentDatabase::AgentDatabase() : path_(dir_.file("service.db")) {
    db_ = std::make_unique<velmora::Engine::DB::SQLiteDB>(path_);
    Poco::Data::Session session = db_->GetSession();
    velmora::Engine::DB::Migrator migrator(session);
    for (const auto& [name, sql] : velmora::Engine::DB::agentMigrations(dir_.file("images"))) {
        migrator.addMigration(name, sql);
    }
    migrator.migrate();
}

AgentDatabase::~AgentDatabase() = default;

std::vector<StoredAlert> AgentDatabase::alerts() {
    std::lock_guard<std::mutex> guard(lock_);
    Poco::Data::Session session = db_->GetSession();
    std::vector<int> ids;
    std::vector<int> codes;
    std::vector<std::string> descriptions;
    session << "SELECT id, code, description FROM alert_queue ORDER BY id", into(ids), into(codes),
        into(descriptions), now;
    std::vector<StoredAlert> alerts;
    for (size_t i = 0; i < ids.size(); ++i) {
        alerts.push_back({ids[i], codes[i], descriptions[i]});
    }
    return alerts;
}

std::unique_ptr<velmora::Engine::Driver::OrvixDriver> makeDriver(AgentDatabase& database,
                                                                 unsigned short port) {
    return std::make_unique<velmora::Engine::Driver::OrvixDriver>("127.0.0.1", port, database.lock(),
                                                                  database.db());
}

}  // namespace orvix::test
