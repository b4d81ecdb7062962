// Build-date formatting, application paths and service installation files.
#include <gtest/gtest.h>

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>

#include "agent-filesystem.h"
#include "agent-utils.h"
#include "daemonizer.h"
#include "log_retention.h"
#include "logger.h"
#include "test_support.h"

namespace {

using namespace velmora::Utils;
using orvix::test::ScopedEnv;
using orvix::test::TempDir;

TEST(UtcFormat, FormatsStampsAndRejectsEverythingElse) {
    struct Case {
        std::string stamp;
        std::string expected;
    };
    const Case cases[] = {
        {"20260216135248", "2026-02-16 13:52:48"},
        {"19991231235959", "1999-12-31 23:59:59"},
        {"2026021613524", ""},    // 13 characters
        {"202602161352481", ""},  // 15 characters
        {"abcdefghijklmn", ""},   // not a date
        {"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(utc_format(c.stamp, false), c.expected) << c.stamp;
    }
}

TEST(UtcFormat, LocalUsesTheMachineTimeZone) {
    ScopedEnv tz("TZ", "Europe/Moscow");  // UTC+3 without daylight saving
    tzset();
    EXPECT_EQ(utc_format("20260216135248", true), "2026-02-16 16:52:48");
    EXPECT_EQ(utc_format("20260216135248", false), "2026-02-16 13:52:48");
}

TEST(Filesystem, PathsDeriveFromHome) {
    ScopedEnv home("HOME", "/home/op");
    EXPECT_EQ(Filesystem::GetAppData(), "/home/op/.local/share/VELMORA/OrvixAgent/");
    EXPECT_EQ(Filesystem::GetDefaultDBPath(), "/home/op/.local/share/VELMORA/OrvixAgent/service.db");
    EXPECT_EQ(Filesystem::GetLogDirectory(), "/home/op/.local/share/VELMORA/OrvixAgent/logs");
    EXPECT_EQ(Filesystem::GetDefaultConfigPath(), "/home/op/.local/share/VELMORA/OrvixAgent/config.json");
    EXPECT_EQ(Filesystem::GetDocumentsDirectory(), "/home/op/Documents/VELMORA/OrvixAgent/");
    // The parent does not exist: nothing is created and the path still comes back.
    EXPECT_EQ(Filesystem::GetDefaultImagesPath(), "/home/op/Documents/VELMORA/OrvixAgent/images");
    EXPECT_FALSE(std::filesystem::exists("/home/op/Documents/VELMORA/OrvixAgent/images"));
}

// The effective user's home as the password database names it.
std::string passwordHome() {
    const passwd* entry = ::getpwuid(::geteuid());
    return entry != nullptr && entry->pw_dir != nullptr ? entry->pw_dir : "";
}

TEST(Filesystem, WithoutHomePathsComeFromThePasswordDatabase) {
    const std::string home = passwordHome();
    ASSERT_FALSE(home.empty());
    // Unset, as under a systemd unit without User=, and set but empty.
    for (const char* value : {static_cast<const char*>(nullptr), ""}) {
        SCOPED_TRACE(value == nullptr ? "unset" : "empty");
        ScopedEnv unset("HOME", value);
        EXPECT_EQ(Filesystem::GetHomeDirectory(), home);
        EXPECT_EQ(Filesystem::GetAppData(), home + "/.local/share/VELMORA/OrvixAgent/");
        EXPECT_EQ(Filesystem::GetDefaultConfigPath(), home + "/.local/share/VELMORA/OrvixAgent/config.json");
        EXPECT_EQ(Filesystem::GetDefaultDBPath(), home + "/.local/share/VELMORA/OrvixAgent/service.db");
        EXPECT_EQ(Filesystem::GetLogDirectory(), home + "/.local/share/VELMORA/OrvixAgent/logs");
        EXPECT_EQ(Filesystem::GetDocumentsDirectory(), home + "/Documents/VELMORA/OrvixAgent/");
    }
}

TEST(Filesystem, ImagesDirectoryIsCreatedOneLevelDeep) {
    TempDir dir;
    ScopedEnv home("HOME", dir.path().c_str());
    std::filesystem::create_directories(dir.path() + "/Documents/VELMORA/OrvixAgent");
    std::string images = Filesystem::GetDefaultImagesPath();
    EXPECT_EQ(images, dir.path() + "/Documents/VELMORA/OrvixAgent/images");
    EXPECT_TRUE(std::filesystem::is_directory(images));
    EXPECT_TRUE(Filesystem::CreateDirectoryIfNotExists(images));  // exists already
    EXPECT_FALSE(Filesystem::CreateDirectoryIfNotExists(dir.path() + "/missing/child"));
}

TEST(Filesystem, ExecutableDirEndsWithSeparator) {
    std::string dir = Filesystem::GetExecutableDir();
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir.back(), '/');
    EXPECT_EQ(dir, std::filesystem::canonical("/proc/self/exe").parent_path().string() + "/");
}

TEST(LocalIp, IsEmptyOrADottedAddressAndStable) {
    std::string first = getLocalIP();
    std::string second = getLocalIP();
    EXPECT_EQ(first, second);
    if (!first.empty()) {
        EXPECT_EQ(std::count(first.begin(), first.end(), '.'), 3) << first;
    }
}

TEST(Demonizer, AutostartEntryIsWrittenOnlyIntoAnExistingDirectory) {
    TempDir dir;
    ScopedEnv home("HOME", dir.path().c_str());
    std::string entry = dir.path() + "/.config/autostart/orvix-driver.desktop";

    EXPECT_EQ(velmora::Engine::Demonizer::TargetPath(velmora::Engine::Mode::Autostart), entry);
    EXPECT_FALSE(velmora::Engine::Demonizer::Setup("/opt/agent/agent", velmora::Engine::Mode::Autostart));
    EXPECT_FALSE(std::filesystem::exists(entry));

    std::filesystem::create_directories(dir.path() + "/.config/autostart");
    EXPECT_TRUE(velmora::Engine::Demonizer::Setup("/opt/agent/agent", velmora::Engine::Mode::Autostart));
    EXPECT_TRUE(velmora::Engine::Demonizer::Setup("/opt/agent/agent", velmora::Engine::Mode::Autostart));
    EXPECT_EQ(orvix::test::readFile(entry),
              "[Desktop Entry]\nType=Application\nExec=/opt/agent/agent\nX-GNOME-Autostart-enabled=true\n");
}

TEST(Demonizer, AutostartWithoutHomeGoesToThePasswordDatabaseHome) {
    ScopedEnv home("HOME", nullptr);
    EXPECT_EQ(velmora::Engine::Demonizer::TargetPath(velmora::Engine::Mode::Autostart),
              passwordHome() + "/.config/autostart/orvix-driver.desktop");
}

TEST(Demonizer, AFileThatCannotBeWrittenIsReportedAsNotWritten) {
    TempDir dir;
    ScopedEnv home("HOME", dir.path().c_str());
    // Root ignores permissions, so the failures are made of the file system's shape.
    const std::string autostart = dir.path() + "/.config/autostart";
    std::filesystem::create_directories(autostart + "/orvix-driver.desktop");  // a directory in the way
    EXPECT_FALSE(velmora::Engine::Demonizer::Setup("/opt/agent/agent", velmora::Engine::Mode::Autostart));
    std::filesystem::remove_all(dir.path() + "/.config");
    orvix::test::writeFile(dir.path() + "/.config", "a file, not a folder");
    EXPECT_FALSE(velmora::Engine::Demonizer::Setup("/opt/agent/agent", velmora::Engine::Mode::Autostart));
}

TEST(Logger, WritesDailyFileAndDropsDebug) {
    TempDir dir;
    std::string logs = dir.path() + "/a/b/logs";
    auto& logger = velmora::Engine::Logging::Logger::GetInstance();
    logger.Initialize(logs);
    EXPECT_EQ(logger.GetLogDirectory(), logs);
    logger.GetLogger()->debug("hidden debug line");
    logger.GetLogger()->info("visible {} line", "info");

    char date[11];
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::strftime(date, sizeof(date), "%Y-%m-%d", &local);
    std::string text = orvix::test::readFile(logs + "/orvix_" + date + ".log");
    EXPECT_NE(text.find("[daily_logger] [info] visible info line"), std::string::npos) << text;
    EXPECT_EQ(text.find("hidden debug line"), std::string::npos);
}

TEST(LogRetention, OnlyDailyFilesOlderThanTheRetentionGo) {
    TempDir dir;
    std::tm noon{};
    noon.tm_year = 2026 - 1900;
    noon.tm_mon = 1;  // February
    noon.tm_mday = 16;
    noon.tm_hour = 12;
    noon.tm_isdst = -1;
    const std::time_t now = std::mktime(&noon);  // local time, as the file names are
    const std::vector<std::string> files = {
        "orvix_2020-01-01.log",        // years old
        "orvix_2025-11-17.log",        // 91 days before
        "orvix_2025-11-18.log",        // 90 days before: kept
        "orvix_2026-02-15.log",        // yesterday
        "orvix_2026-02-16.log",        // today
        "orvix_2020-01-01.log.saved",  // not a daily file
        "notes.txt",
    };
    for (const auto& name : files) {
        orvix::test::writeFile(dir.file(name), "line\n");
    }
    std::filesystem::create_directories(dir.file("orvix_2019-01-01.log"));  // a directory of that name stays

    auto removed = velmora::Engine::Logging::removeExpiredLogFiles(dir.path(), 90, now);
    std::sort(removed.begin(), removed.end());
    EXPECT_EQ(removed, (std::vector<std::string>{"orvix_2020-01-01.log", "orvix_2025-11-17.log"}));
    for (const auto& name : files) {
        bool gone = std::find(removed.begin(), removed.end(), name) != removed.end();
        EXPECT_EQ(std::filesystem::exists(dir.file(name)), !gone) << name;
    }
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("orvix_2019-01-01.log")));

    // A shorter retention reaches further; one day keeps yesterday and today.
    removed = velmora::Engine::Logging::removeExpiredLogFiles(dir.path(), 1, now);
    EXPECT_EQ(removed, std::vector<std::string>{"orvix_2025-11-18.log"});
    EXPECT_TRUE(std::filesystem::exists(dir.file("orvix_2026-02-15.log")));
    EXPECT_TRUE(velmora::Engine::Logging::removeExpiredLogFiles(dir.file("missing"), 1, now).empty());
}

}  // namespace
