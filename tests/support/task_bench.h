#pragma once

// What the task handler tests share: the module simulator and s3rver (started once
// per suite), and per case a migrated database with its configuration map, a
// driver, a storage client and a temporary directory of the task's own.

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <Poco/JSON/Object.h>

#include "captured_log.h"
#include "config_store.h"
#include "module_sim_peer.h"
#include "s3rver_fixture.h"
#include "storage_fixture.h"
#include "test_support.h"

namespace velmora::Engine::Driver {
class OrvixDriver;
}
namespace velmora::Engine::Sync {
class S3ClientProvider;
}

namespace orvix::test {

inline const std::string kTaskDeviceId = "dev-42";
// Where the handlers store the device's objects.
inline const std::string kTaskKeyPrefix = "VelmoraMonitoring/RecognitionModules/dev-42/";

// Starting the peers costs seconds; resetting them between cases costs nothing.
struct TaskPeers {
    TempDir output;
    ModuleSimPeer module{output.path(), "0.3"};
    S3rverPeer storage;
};

// Everything one case works with. A case that resets `driver` or `storage` before
// the handlers are built makes that object gone for them.
struct TaskBench {
    // Resets the simulator (no faults, seeded templates, no jobs) and sets the
    // device id kTaskDeviceId.
    explicit TaskBench(TaskPeers& shared);
    ~TaskBench();

    // Through the configuration store as an operator would set it, then the map as
    // the server loads it at start (secrets decrypted from the table).
    void importConfig(const std::string& json);
    void putObject(const std::string& key, const std::string& bytes);
    std::string getObject(const std::string& key);
    void fault(const std::string& json) { peers.module.fault(json); }
    // The "module" part of the simulator's state.
    Poco::JSON::Object::Ptr moduleState();
    // A storage client whose every upload fails (nothing listens at its address).
    void unreachableStorage();
    // One column of the configuration row `key`.
    std::string row(const std::string& column, const std::string& key);

    TaskPeers& peers;
    MigratedDatabase database;
    std::mutex lock;
    velmora::Utils::ConfigMap config;
    std::shared_ptr<velmora::Engine::Driver::OrvixDriver> driver;
    std::shared_ptr<velmora::Engine::Sync::S3ClientProvider> storage;
    TempDir files;
    TempDir logs;
    TempDir taskTmp;  // TMPDIR while the task runs
    std::unique_ptr<CapturedLog> log;
    int uploads = 0;
};

// How a handler ended.
struct TaskOutcome {
    std::string thrown;  // the exception's type, "" when the handler returned
    std::string code;    // a HardwareException's code text
    std::string message;
};
// Runs `work` with TMPDIR set to `tmpdir` and tells how it ended.
TaskOutcome runWithTmpdir(const std::string& tmpdir, const std::function<void()>& work);

// Whether `text` matches the shell pattern; "{date}" in it stands for today's local date.
bool matchesMessage(const std::string& pattern, const std::string& text);
std::string todayLocal();
std::vector<std::string> filesIn(const std::string& dir);

}  // namespace orvix::test
