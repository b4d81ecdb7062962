// Build-date formatting, application paths and service installation files.
#include <gtest/gtest.h>

#include <filesystem>

#include "agent-filesystem.h"
#include "agent-utils.h"
#include "daemonizer.h"
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

TEST(Filesystem, WithoutHomeEverythingIsRelative) {
    ScopedEnv home("HOME", nullptr);
    EXPECT_EQ(Filesystem::GetAppData(), "");
    EXPECT_EQ(Filesystem::GetDefaultConfigPath(), "config.json");
    EXPECT_EQ(Filesystem::GetDefaultDBPath(), "service.db");
    EXPECT_EQ(Filesystem::GetLogDirectory(), "logs");
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

    velmora::Engine::Demonizer::Setup("/opt/agent/agent", velmora::Engine::Mode::Autostart);
    EXPECT_FALSE(std::filesystem::exists(entry));

    std::filesystem::create_directories(dir.path() + "/.config/autostart");
    velmora::Engine::Demonizer::Setup("/opt/agent/agent", velmora::Engine::Mode::Autostart);
    velmora::Engine::Demonizer::Setup("/opt/agent/agent", velmora::Engine::Mode::Autostart);
    EXPECT_EQ(orvix::test::readFile(entry),
              "[Desktop Entry]\nType=Application\nExec=/opt/agent/agent\nX-GNOME-Autostart-enabled=true\n");
}

TEST(Demonizer, AutostartWithoutHomeIsALogicError) {
    ScopedEnv home("HOME", nullptr);
    EXPECT_THROW(velmora::Engine::Demonizer::Setup("/x", velmora::Engine::Mode::Autostart), std::logic_error);
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

}  // namespace
