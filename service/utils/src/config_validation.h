#pragma once

// What the agent's configuration may hold. Every way into the configuration (the
// set_config endpoint, a config.json found at start, the upload_config task) checks
// a change here before anything is stored, with the same typed readers the runtime
// uses, so no stored value can stop the next start or take the local API away.

#include <mutex>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include <Poco/Dynamic/Var.h>
#include <Poco/JSON/Object.h>

namespace velmora::Engine::DB {
class SQLiteDB;
struct SeedRow;
}  // namespace velmora::Engine::DB

namespace velmora::Utils {

using ConfigMap = std::unordered_map<std::string, Poco::Dynamic::Var>;

// A configuration value the agent cannot run with. what() is "<key>: <reason>".
class InvalidConfigError : public std::invalid_argument {
public:
    InvalidConfigError(const std::string& key, const std::string& reason);
    const std::string& key() const { return key_; }

private:
    std::string key_;
};

// Merges `update` into a copy of `current` (each member typed as jsonToConfig
// stores it in the map) and checks every known key present in the result; a member
// of any key must have a storable type (string, integer, number, boolean). Throws
// InvalidConfigError naming the first key that fails. Does not lock: `current` is
// the caller's.
void validateConfigUpdate(const ConfigMap& current, const Poco::JSON::Object::Ptr& update);

// validateConfigUpdate against a copy of `config` taken under `mutex`, then
// jsonToConfig: nothing is stored, in the table or in the map, when the update is
// refused. Locks `mutex` itself; the caller must not hold it.
void applyConfigUpdate(Poco::JSON::Object::Ptr& update, std::mutex& mutex, velmora::Engine::DB::SQLiteDB& db,
                       ConfigMap& config);

// For the map loaded at start: every known key whose value cannot be used is
// replaced, in memory only, by its default (the seed's value, or a storage limit's
// default), and a seeded key that is missing is added with its seeded value. Each
// replacement is logged as a warning naming the key. Returns the keys replaced.
std::vector<std::string> replaceUnusableConfig(ConfigMap& config,
                                               const std::vector<velmora::Engine::DB::SeedRow>& seed);

}  // namespace velmora::Utils
