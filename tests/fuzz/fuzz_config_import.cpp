// A configuration import (set_config, config.json, the configuration task) with any
// JSON text, against a freshly migrated database. A refused update stores nothing;
// an accepted one can be run with: the agent's start-up check, given the stored
// table, finds no value to replace.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <string>

#include <Poco/Data/Session.h>
#include <Poco/JSON/Parser.h>

#include "config_store.h"
#include "config_validation.h"
#include "db.h"
#include "queries.h"

namespace {

const std::string kImages = "/srv/orvix-fuzz/images";

std::string describe(const velmora::Utils::ConfigMap& config) {
    std::string text;
    for (const auto& [key, value] : config) {
        text += key + "=" + (value.isEmpty() ? std::string("<empty>") : value.toString()) + "\n";
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Poco::JSON::Object::Ptr update;
    try {
        Poco::JSON::Parser parser;
        const Poco::Dynamic::Var parsed =
            parser.parse(std::string(reinterpret_cast<const char*>(data), size));
        update = parsed.extract<Poco::JSON::Object::Ptr>();
    } catch (const std::exception&) {
        return 0;
    }
    if (update.isNull()) {
        return 0;
    }
    velmora::Engine::DB::SQLiteDB db(":memory:");
    Poco::Data::Session session = db.GetSession();
    velmora::Engine::DB::Migrator migrator(session);
    for (const auto& [name, sql] : velmora::Engine::DB::agentMigrations(kImages)) {
        migrator.addMigration(name, sql);
    }
    migrator.migrate();
    std::mutex lock;
    velmora::Utils::ConfigMap config = velmora::Utils::Queries::getAllConfigs(session);
    const std::string before = describe(config);
    try {
        velmora::Utils::applyConfigUpdate(update, lock, db, config);
    } catch (const velmora::Utils::InvalidConfigError&) {
        if (describe(velmora::Utils::Queries::getAllConfigs(session)) != before ||
            describe(config) != before) {
            std::fprintf(stderr, "a refused update changed the configuration\n");
            std::abort();
        }
        return 0;
    } catch (const std::exception&) {
        return 0;
    }
    velmora::Utils::ConfigMap stored = velmora::Utils::Queries::getAllConfigs(session);
    const auto replaced =
        velmora::Utils::replaceUnusableConfig(stored, velmora::Engine::DB::seededConfiguration(kImages));
    if (!replaced.empty()) {
        std::fprintf(stderr, "accepted, but unusable at the next start: %s\n", replaced.front().c_str());
        std::abort();
    }
    return 0;
}
