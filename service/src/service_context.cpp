#include "service_context.h"

#include <Poco/Data/Session.h>

#include "db.h"

namespace velmora::Engine {

void runInTransaction(std::mutex& configMutex, DB::SQLiteDB& database, const SessionWork& work) {
    std::lock_guard<std::mutex> lock(configMutex);
    Poco::Data::Session session = database.GetSession();
    DB::Transaction transaction(session);  // rolls back unless committed
    work(session);
    transaction.commit();
}

ServiceContext::ServiceContext(ConfigMap& config, std::mutex& configMutex, DB::SQLiteDB& database)
    : config_(config), configMutex_(configMutex), database_(database) {}

void ServiceContext::inTransaction(const std::function<void(Poco::Data::Session&)>& work) {
    runInTransaction(configMutex_, database_, work);
}

void ServiceContext::withSession(const std::function<void(Poco::Data::Session&)>& work) {
    std::lock_guard<std::mutex> lock(configMutex_);
    Poco::Data::Session session = database_.GetSession();
    work(session);
}

void ServiceContext::withConfig(const std::function<void(ConfigMap&)>& work) {
    std::lock_guard<std::mutex> lock(configMutex_);
    work(config_);
}

ConfigMap ServiceContext::copyConfig() {
    std::lock_guard<std::mutex> lock(configMutex_);
    return config_;
}

}  // namespace velmora::Engine
