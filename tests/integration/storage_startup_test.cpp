// A started agent leaves a migrated, seeded database in its data directory.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <map>

#include <Poco/Data/Session.h>

#include "db.h"
#include "storage_fixture.h"
#include "test_support.h"

namespace {

using namespace orvix::test;
using namespace Poco::Data::Keywords;

TEST(StorageStartup, AgentCreatesItsDatabaseOnFirstStart) {
    TempDir home;
    {
        ChildProcess agent({std::string(ORVIX_BINARY_DIR) + "/orvix-agent"}, {{"HOME", home.path()}},
                           home.path());
        ASSERT_TRUE(waitForPort(5555, std::chrono::seconds(20))) << agent.stderrText();
        agent.signal(SIGTERM);
        EXPECT_EQ(agent.wait(std::chrono::seconds(20)), 0) << agent.stderrText();
    }

    std::string path = home.path() + "/.local/share/VELMORA/OrvixAgent/service.db";
    velmora::Engine::DB::SQLiteDB db(path, 1);
    auto session = db.GetSession();
    // The eight tables of the migrations and the bookkeeping table itself.
    EXPECT_EQ(tableNames(session),
              (std::vector<std::string>{"alert_queue", "configurations", "migrations", "prediction_daily",
                                        "prediction_monthly", "prediction_yearly", "predictions",
                                        "recognition_queue", "recognition_values"}));
    std::vector<std::string> migrations;
    session << "SELECT name FROM migrations ORDER BY id", into(migrations), now;
    EXPECT_EQ(migrations, (std::vector<std::string>{"db_initials", "config_initials", "db_add_statistic",
                                                    "db_add_alert", "db_add_delivery"}));
    EXPECT_EQ(countRows(session, "configurations"), 16);
    EXPECT_EQ(queryText(session,
                        "SELECT value FROM configurations WHERE key = 'product_prediction_data_folder_path'"),
              home.path() + "/Documents/VELMORA/OrvixAgent/images");
    EXPECT_EQ(queryText(session, "SELECT value FROM configurations WHERE key = 'device_ip'"), "172.22.0.7");

    // Every daily file of the run (the run may cross midnight).
    std::string log;
    for (const auto& entry :
         std::filesystem::directory_iterator(home.path() + "/.local/share/VELMORA/OrvixAgent/logs")) {
        log += readFile(entry.path().string());
    }
    EXPECT_NE(log.find("Saved images location: " + home.path() + "/Documents/VELMORA/OrvixAgent/images;"),
              std::string::npos)
        << log;
}

}  // namespace
