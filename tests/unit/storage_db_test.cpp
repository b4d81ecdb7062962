// The database file: schema, migrations, the first-start seed and the start-up that
// brings a file up to date.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <map>

#include <Poco/Data/DataException.h>
#include <Poco/Data/Session.h>
#include <Poco/Exception.h>

#include "db.h"
#include "queries.h"
#include "server.h"
#include "storage_fixture.h"
#include "test_support.h"

namespace {

using velmora::Engine::DB::agentMigrations;
using velmora::Engine::DB::Migrator;
using velmora::Engine::DB::SQLiteDB;
using namespace orvix::test;
using namespace Poco::Data::Keywords;

struct SeedRow {
    std::string type;
    std::string value;
};

std::map<std::string, SeedRow> expectedSeed(const std::string& imagesPath) {
    return {
        {"monitoring_service_type", {"string", "VELMORA_MONITORING"}},
        {"monitoring_service_address", {"string", "https://monitoring.set-me.invalid"}},
        {"monitoring_service_port", {"string", "443"}},
        {"monitoring_getting_tasks", {"bool", "true"}},
        {"monitoring_request_frequency", {"int", "20000"}},
        {"velmora_monitoring_client_secret", {"encrypted_string", ""}},
        {"velmora_monitoring_device_id", {"string", ""}},
        {"file_storage_service_address", {"string", "https://storage.set-me.invalid"}},
        {"file_storage_service_bucket", {"string", "develop"}},
        {"file_storage_service_login", {"encrypted_string", "set-me-login"}},
        {"file_storage_service_password", {"encrypted_string", ""}},
        {"logging_level", {"string", "info"}},
        {"device_port", {"string", "80"}},
        {"product_prediction_data_folder_path", {"string", imagesPath}},
        {"device_ip", {"string", "172.22.0.7"}},
        {"recognition_image_sending_enable", {"bool", "true"}},
    };
}

std::map<std::string, SeedRow> storedConfig(Poco::Data::Session& session) {
    std::vector<std::string> keys, types, values;
    session << "SELECT key, type, value FROM configurations", into(keys), into(types), into(values), now;
    std::map<std::string, SeedRow> rows;
    for (size_t i = 0; i < keys.size(); ++i) {
        rows[keys[i]] = {types[i], values[i]};
    }
    return rows;
}

std::vector<std::string> migrationNames(Poco::Data::Session& session) {
    std::vector<std::string> names;
    session << "SELECT name FROM migrations ORDER BY id", into(names), now;
    return names;
}

void expectSeed(Poco::Data::Session& session, const std::string& imagesPath) {
    auto stored = storedConfig(session);
    auto expected = expectedSeed(imagesPath);
    ASSERT_EQ(stored.size(), 16u);
    for (const auto& [key, row] : expected) {
        ASSERT_EQ(stored.count(key), 1u) << key;
        EXPECT_EQ(stored[key].type, row.type) << key;
        EXPECT_EQ(stored[key].value, row.value) << key;
    }
}

const std::vector<std::string> kAllMigrations = {"db_initials", "config_initials", "db_add_statistic",
                                                 "db_add_alert", "db_add_delivery"};

TEST(StorageMigrations, FreshFileGetsTablesMigrationRowsAndSeed) {
    MigratedDatabase database("/srv/images");
    auto& session = database.session();

    // The eight tables of the migrations and the bookkeeping table itself.
    EXPECT_EQ(tableNames(session),
              (std::vector<std::string>{"alert_queue", "configurations", "migrations", "prediction_daily",
                                        "prediction_monthly", "prediction_yearly", "predictions",
                                        "recognition_queue", "recognition_values"}));
    EXPECT_EQ(migrationNames(session), kAllMigrations);
    expectSeed(session, "/srv/images");
}

TEST(StorageMigrations, TablesHaveTheirColumnsInOrder) {
    MigratedDatabase database;
    const std::vector<std::string> statistics = {"id",
                                                 "created_at",
                                                 "updated_at",
                                                 "date",
                                                 "product_id",
                                                 "weightings_count",
                                                 "top_1_count",
                                                 "top_2_count",
                                                 "top_3_count",
                                                 "top_4_count",
                                                 "top_5_count",
                                                 "processed_with_prediction_count",
                                                 "processed_without_prediction_count",
                                                 "processed_unknown_prediction_count"};
    const std::map<std::string, std::vector<std::string>> expected = {
        {"migrations", {"id", "name", "applied_at"}},
        {"configurations", {"key", "type", "value", "created_at", "updated_at"}},
        {"recognition_queue",
         {"id", "created_at", "updated_at", "sid", "method_of_selection", "position_relevance",
          "product_code", "product_category", "product_name", "product_weight", "response_time_ms",
          "image_url", "product_code_text", "attempts", "next_try_ms", "refusal", "refused_ms",
          "picture_failing_ms"}},
        {"recognition_values",
         {"id", "created_at", "updated_at", "product_code", "product_category", "product_name",
          "product_rate", "rid", "top"}},
        {"predictions",
         {"id", "created_at", "updated_at", "sid", "response_time_ms", "top1", "top2", "top3", "top4", "top5",
          "rate1", "rate2", "rate3", "rate4", "rate5"}},
        {"prediction_daily", statistics},
        {"prediction_monthly", statistics},
        {"prediction_yearly", statistics},
        {"alert_queue",
         {"id", "created_at", "updated_at", "code", "description", "attempts", "next_try_ms", "refusal",
          "refused_ms"}},
    };
    for (const auto& [table, columns] : expected) {
        EXPECT_EQ(columnNames(database.session(), table), columns) << table;
    }
}

TEST(StorageMigrations, AppliedAtIsUtc) {
    // A zone far from UTC makes local time visibly different.
    ScopedEnv tz("TZ", "Pacific/Kiritimati");  // UTC+14
    tzset();
    MigratedDatabase database;
    int skew = queryInt(database.session(),
                        "SELECT MAX(ABS(julianday('now') - julianday(applied_at)) * 86400) FROM migrations");
    EXPECT_LT(skew, 120);
    EXPECT_EQ(queryInt(database.session(),
                       "SELECT COUNT(*) FROM migrations WHERE applied_at GLOB "
                       "'[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9] [0-9][0-9]:[0-9][0-9]:[0-9][0-9]'"),
              5);
}

TEST(StorageMigrations, SecondStartChangesNothing) {
    TempDir dir;
    std::string path = dir.file("service.db");
    std::vector<std::string> appliedBefore;
    {
        SQLiteDB db(path);
        auto session = db.GetSession();
        migrateAgentDatabase(session, "/first/images");
        session << "SELECT applied_at FROM migrations ORDER BY id", into(appliedBefore), now;
        velmora::Utils::Queries::upsertConfig(session, "device_port", "string", "8080");
    }
    SQLiteDB db(path);
    auto session = db.GetSession();
    migrateAgentDatabase(session, "/second/images");
    std::vector<std::string> appliedAfter;
    session << "SELECT applied_at FROM migrations ORDER BY id", into(appliedAfter), now;

    EXPECT_EQ(migrationNames(session), kAllMigrations);
    EXPECT_EQ(appliedAfter, appliedBefore);
    auto stored = storedConfig(session);
    EXPECT_EQ(stored.size(), 16u);
    EXPECT_EQ(stored["device_port"].value, "8080");
    EXPECT_EQ(stored["product_prediction_data_folder_path"].value, "/first/images");
}

// A file made by an agent that knew only the first `known` migrations.
void migrateOlder(Poco::Data::Session& session, size_t known) {
    Migrator migrator(session);
    const auto all = agentMigrations("/srv/images");
    for (size_t i = 0; i < known; ++i) {
        migrator.addMigration(all[i].first, all[i].second);
    }
    migrator.migrate();
}

TEST(StorageMigrations, OlderFileGetsOnlyTheMissingMigrations) {
    TempDir dir;
    SQLiteDB db(dir.file("service.db"));
    auto session = db.GetSession();
    migrateOlder(session, 2);
    velmora::Utils::Queries::upsertConfig(session, "logging_level", "string", "warn");

    migrateAgentDatabase(session, "/srv/images");

    EXPECT_EQ(migrationNames(session), kAllMigrations);
    EXPECT_EQ(tableNames(session).size(), 9u);
    EXPECT_EQ(countRows(session, "configurations"), 16);
    EXPECT_EQ(storedConfig(session)["logging_level"].value, "warn");
}

TEST(StorageMigrations, QueueOfTheFourEarlierMigrationsIsDeliveredAfterTheFifth) {
    TempDir dir;
    SQLiteDB db(dir.file("service.db"));
    auto session = db.GetSession();
    migrateOlder(session, 4);
    // Rows as the earlier agent wrote them: the code only in the integer column.
    session
        << "INSERT INTO recognition_queue (created_at, updated_at, sid, method_of_selection, "
           "position_relevance, product_code, product_category, product_name, product_weight, "
           "response_time_ms) VALUES (CURRENT_TIMESTAMP, CURRENT_TIMESTAMP, 'old', 'recognition', 'top1', "
           "'4006381333931', '', '', 0, 5)",
        now;
    session << "INSERT INTO alert_queue (created_at, updated_at, code, description) VALUES "
               "(CURRENT_TIMESTAMP, CURRENT_TIMESTAMP, 400, 'lost')",
        now;
    session << "INSERT INTO predictions (created_at, updated_at, sid, response_time_ms, top1, top2, top3, "
               "top4, top5) VALUES (CURRENT_TIMESTAMP, CURRENT_TIMESTAMP, 'p', 7, '11', '12', '', '', '')",
        now;

    migrateAgentDatabase(session, "/srv/images");

    EXPECT_EQ(migrationNames(session), kAllMigrations);
    const auto entry = velmora::Utils::Queries::getNextRecognitionQueue(session, 0);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->product_code, 4006381333931);
    EXPECT_EQ(entry->product_code_text, "4006381333931");
    EXPECT_EQ(entry->attempts, 0);
    EXPECT_TRUE(velmora::Utils::Queries::getNextAlertQueue(session, 0));
    const auto prediction = velmora::Utils::Queries::getPredictionDetail(session, "p");
    EXPECT_EQ(prediction.codes, (std::vector<std::string>{"11", "12"}));
    EXPECT_EQ(prediction.rates, (std::vector<double>{0.0, 0.0}));
}

TEST(StorageMigrations, FailingMigrationLeavesNothingBehindAndStopsTheRun) {
    struct Case {
        std::string name;
        std::string sql;
    };
    const Case cases[] = {
        {"duplicate table", "CREATE TABLE half_done (a INTEGER); CREATE TABLE half_done (b INTEGER);"},
        {"unknown table",
         "CREATE TABLE half_done (a INTEGER); INSERT INTO configurations (key, type, value) VALUES ('k', "
         "'t', "
         "'v'); INSERT INTO nowhere VALUES (1);"},
        {"syntax error", "CREATE TABLE half_done (a INTEGER); CREATE TABLEX broken (a);"},
    };
    for (const auto& c : cases) {
        MigratedDatabase database;
        auto& session = database.session();
        Migrator migrator(session);
        migrator.addMigration("first_ok", "CREATE TABLE first_ok (a INTEGER);");
        migrator.addMigration("broken", c.sql);
        migrator.addMigration("after_broken", "CREATE TABLE after_broken (a INTEGER);");
        EXPECT_THROW(migrator.migrate(), Poco::Exception) << c.name;

        auto tables = tableNames(session);
        auto has = [&](const std::string& t) {
            return std::find(tables.begin(), tables.end(), t) != tables.end();
        };
        EXPECT_TRUE(has("first_ok")) << c.name;
        EXPECT_FALSE(has("half_done")) << c.name;
        EXPECT_FALSE(has("after_broken")) << c.name;
        EXPECT_EQ(
            queryInt(session, "SELECT COUNT(*) FROM migrations WHERE name IN ('broken', 'after_broken')"), 0)
            << c.name;
        EXPECT_EQ(queryInt(session, "SELECT COUNT(*) FROM migrations WHERE name = 'first_ok'"), 1) << c.name;
        EXPECT_EQ(countRows(session, "configurations"), 16) << c.name;
        EXPECT_FALSE(session.isTransaction()) << c.name;
    }
}

TEST(StorageMigrations, ImagesPathWithQuotesIsStoredVerbatim) {
    const std::string path = "/home/o'brien/it''s images/";
    MigratedDatabase database(path);
    EXPECT_EQ(queryText(database.session(),
                        "SELECT value FROM configurations WHERE key = 'product_prediction_data_folder_path'"),
              path);
    EXPECT_EQ(countRows(database.session(), "configurations"), 16);
}

TEST(StorageMigrations, MigratorRunsEachNameOnce) {
    MigratedDatabase database;
    auto& session = database.session();
    Migrator migrator(session);
    migrator.addMigration("counter",
                          "INSERT INTO alert_queue (created_at, updated_at, code, description) "
                          "VALUES (CURRENT_TIMESTAMP, CURRENT_TIMESTAMP, 1, 'once');");
    migrator.migrate();
    migrator.migrate();
    Migrator second(session);
    second.addMigration("counter",
                        "INSERT INTO alert_queue (created_at, updated_at, code, description) "
                        "VALUES (CURRENT_TIMESTAMP, CURRENT_TIMESTAMP, 2, 'changed text');");
    second.migrate();
    EXPECT_EQ(countRows(session, "alert_queue"), 1);
    EXPECT_EQ(queryText(session, "SELECT description FROM alert_queue"), "once");
}

TEST(StorageDatabase, FileThatCannotBeOpenedThrows) {
    TempDir dir;
    // The library retries a failing open until the timeout ends; one second keeps this quick.
    EXPECT_THROW(SQLiteDB(dir.file("missing/dir/service.db"), 1), Poco::Exception);

    writeFile(dir.file("not.db"), std::string(4096, 'x'));
    EXPECT_THROW(
        {
            SQLiteDB db(dir.file("not.db"));
            auto session = db.GetSession();
            Migrator migrator(session);
        },
        Poco::Exception);
}

TEST(StorageDatabase, SessionsShareOneConnection) {
    MigratedDatabase database;
    auto first = database.db().GetSession();
    auto second = database.db().GetSession();
    first.begin();
    velmora::Utils::Queries::addAlertQueue(second, 400, "inside the transaction");
    first.rollback();
    EXPECT_EQ(countRows(second, "alert_queue"), 0);
}

TEST(StorageDatabase, RunsInWriteAheadModeWithFullSync) {
    MigratedDatabase database;
    EXPECT_EQ(queryText(database.session(), "PRAGMA journal_mode"), "wal");
    EXPECT_EQ(queryInt(database.session(), "PRAGMA synchronous"), 2);  // FULL
    // The mode belongs to the file: a later connection finds it too.
    SQLiteDB again(database.path());
    auto session = again.GetSession();
    EXPECT_EQ(queryText(session, "PRAGMA journal_mode"), "wal");
}

TEST(StorageDatabase, ExecuteRunsEveryStatement) {
    MigratedDatabase database;
    database.db().Execute("CREATE TABLE a (x); CREATE TABLE b (y); INSERT INTO b VALUES (1);");
    EXPECT_EQ(countRows(database.session(), "a"), 0);
    EXPECT_EQ(countRows(database.session(), "b"), 1);
}

TEST(StorageServer, MigratesItsDatabaseAndFailsOnABadOne) {
    TempDir home;
    ScopedEnv env("HOME", home.path().c_str());
    std::string path = home.file("service.db");
    {
        velmora::Engine::Test::Server server(0, path);
        auto session = server.GetDatabase().GetSession();
        EXPECT_EQ(migrationNames(session), kAllMigrations);
        expectSeed(session, home.path() + "/Documents/VELMORA/OrvixAgent/images");
    }
    // A file whose recorded migrations do not match its tables cannot be migrated.
    std::string broken = home.file("broken.db");
    {
        SQLiteDB db(broken);
        db.Execute("CREATE TABLE recognition_queue (id INTEGER);");
    }
    EXPECT_THROW(velmora::Engine::Test::Server(0, broken), Poco::Exception);
}

}  // namespace

// SQLite ends a transaction on its own after some errors (a full database among
// them). The next transaction must still begin and commit.
TEST(StorageTransaction, FullDatabaseLeavesTheSessionUsable) {
    TempDir dir;
    velmora::Engine::DB::SQLiteDB db(dir.file("small.db"));
    Poco::Data::Session session = db.GetSession();
    session << "CREATE TABLE t (v TEXT)", Poco::Data::Keywords::now;
    session << "PRAGMA max_page_count = 8", Poco::Data::Keywords::now;
    bool full = false;
    try {
        velmora::Engine::DB::Transaction transaction(session);
        const std::string big(4096, 'x');
        for (int i = 0; i < 64; ++i) {
            std::string value = big;
            session << "INSERT INTO t VALUES (?)", Poco::Data::Keywords::use(value),
                Poco::Data::Keywords::now;
        }
        transaction.commit();
    } catch (const Poco::Exception& error) {
        full = true;
        EXPECT_NE(error.displayText().find("full"), std::string::npos) << error.displayText();
    }
    ASSERT_TRUE(full);
    EXPECT_FALSE(session.isTransaction());
    session << "PRAGMA max_page_count = 100000", Poco::Data::Keywords::now;
    {
        velmora::Engine::DB::Transaction transaction(session);
        session << "INSERT INTO t VALUES ('after')", Poco::Data::Keywords::now;
        transaction.commit();
    }
    int rows = 0;
    session << "SELECT COUNT(*) FROM t WHERE v = 'after'", Poco::Data::Keywords::into(rows),
        Poco::Data::Keywords::now;
    EXPECT_EQ(rows, 1);
    // And a transaction that is not committed is rolled back.
    {
        velmora::Engine::DB::Transaction transaction(session);
        session << "INSERT INTO t VALUES ('dropped')", Poco::Data::Keywords::now;
    }
    session << "SELECT COUNT(*) FROM t WHERE v = 'dropped'", Poco::Data::Keywords::into(rows),
        Poco::Data::Keywords::now;
    EXPECT_EQ(rows, 0);
}
