#include "service_context.h"

#include <Poco/Data/Session.h>

#include <exception>

#include "db.h"
#include "logger.h"

namespace velmora::Engine {

namespace {

// The session syncs every commit; for an unsynced one it stops syncing until the
// transaction has ended, committed or rolled back.
class UnsyncedCommit {
public:
    UnsyncedCommit(Poco::Data::Session& session, Commit commit)
        : session_(session), lowered_(commit == Commit::Unsynced) {
        if (lowered_) {
            session_ << "PRAGMA synchronous = NORMAL", Poco::Data::Keywords::now;
        }
    }
    ~UnsyncedCommit() {
        if (!lowered_) {
            return;
        }
        try {
            session_ << "PRAGMA synchronous = FULL", Poco::Data::Keywords::now;
        } catch (const std::exception& e) {
            Logging::log().error("Could not make commits synced again: {};", e.what());
        }
    }
    UnsyncedCommit(const UnsyncedCommit&) = delete;
    UnsyncedCommit& operator=(const UnsyncedCommit&) = delete;

private:
    Poco::Data::Session& session_;
    bool lowered_;
};

}  // namespace

void runInTransaction(std::mutex& configMutex, DB::SQLiteDB& database, const SessionWork& work, Commit commit) {
    std::lock_guard<std::mutex> lock(configMutex);
    Poco::Data::Session session = database.GetSession();
    UnsyncedCommit mode(session, commit);  // outlives the transaction
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
