// The pictures folder: whole-or-nothing writes, the byte budget and the folder's size.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>

#include "picture_store.h"
#include "test_support.h"

namespace {

using namespace velmora::Utils::Filesystem;
using orvix::test::TempDir;
namespace fs = std::filesystem;

std::vector<std::string> names(const std::string& folder) {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(folder)) {
        found.push_back(entry.path().filename().string());
    }
    std::sort(found.begin(), found.end());
    return found;
}

TEST(PictureWrite, ReplacesTheFileWholeAndLeavesNothingElse) {
    TempDir dir;
    const std::string path = dir.file("S1.jpg");
    orvix::test::writeFile(path, "an older, longer picture");
    writeFileAtomically(path, {'J', 'P', 'G'});
    EXPECT_EQ(orvix::test::readFile(path), "JPG");
    EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(names(dir.path()), std::vector<std::string>{"S1.jpg"});

    writeFileAtomically(dir.file("empty.jpg"), {});
    EXPECT_EQ(fs::file_size(dir.file("empty.jpg")), 0u);
}

TEST(PictureWrite, AFailureLeavesNoTemporaryFile) {
    TempDir dir;
    fs::create_directories(dir.file("S2.jpg"));  // the name is taken by a directory
    EXPECT_THROW(writeFileAtomically(dir.file("S2.jpg"), {1, 2, 3}), std::runtime_error);
    EXPECT_EQ(names(dir.path()), std::vector<std::string>{"S2.jpg"});
    EXPECT_THROW(writeFileAtomically(dir.file("missing/S3.jpg"), {1}), std::runtime_error);
}

TEST(PictureBudget, TheOldestPicturesGoFirstDownToNineTenths) {
    TempDir dir;
    const auto now = fs::file_time_type::clock::now();
    // Ten pictures of 100 bytes, p0 the oldest; a temporary file and another kind of file beside them.
    for (int i = 0; i < 10; ++i) {
        const std::string name = "p" + std::to_string(i) + ".jpg";
        orvix::test::writeFile(dir.file(name), std::string(100, 'x'));
        recordPicture(dir.path(), name);
        fs::last_write_time(dir.file(name), now - std::chrono::minutes(60 - i));
    }
    orvix::test::writeFile(dir.file(".p9.jpg.1.2.tmp"), std::string(5000, 't'));
    orvix::test::writeFile(dir.file("notes.txt"), std::string(5000, 'n'));
    fs::last_write_time(dir.file("notes.txt"), now - std::chrono::hours(10));

    // 1000 bytes of pictures within 1000: nothing goes.
    EXPECT_TRUE(keepPicturesWithinBudget(dir.path(), 100, 1000).empty());
    // Over 500: down to 450, the oldest first.
    EXPECT_EQ(keepPicturesWithinBudget(dir.path(), 0, 500),
              (std::vector<std::string>{"p0.jpg", "p1.jpg", "p2.jpg", "p3.jpg", "p4.jpg", "p5.jpg"}));
    EXPECT_EQ(names(dir.path()), (std::vector<std::string>{".orvix-pictures", ".p9.jpg.1.2.tmp", "notes.txt",
                                                           "p6.jpg", "p7.jpg", "p8.jpg", "p9.jpg"}));

    // A new picture within the budget: the count in memory says so without a look.
    savePicture(dir.path(), "p10.jpg", std::vector<uint8_t>(100, 'x'));
    EXPECT_TRUE(keepPicturesWithinBudget(dir.path(), 100, 500).empty());
    // One more over it: the folder is counted again and the oldest goes.
    savePicture(dir.path(), "p11.jpg", std::vector<uint8_t>(100, 'x'));
    EXPECT_EQ(keepPicturesWithinBudget(dir.path(), 100, 500), (std::vector<std::string>{"p6.jpg", "p7.jpg"}));
}

TEST(PictureBudget, NeverRemovesAPictureTheAgentDidNotWrite) {
    TempDir dir;
    const auto now = fs::file_time_type::clock::now();
    // Someone's photos, older than anything the agent writes, and a link to one elsewhere.
    TempDir elsewhere;
    orvix::test::writeFile(elsewhere.file("precious.jpg"), std::string(400, 'p'));
    for (const char* name : {"holiday.jpg", "wedding.jpg"}) {
        orvix::test::writeFile(dir.file(name), std::string(400, 's'));
        fs::last_write_time(dir.file(name), now - std::chrono::hours(100));
    }
    fs::create_symlink(elsewhere.file("precious.jpg"), dir.file("link.jpg"));
    recordPicture(dir.path(), "link.jpg");  // a link on the list is still not a picture of the agent's
    for (int i = 0; i < 6; ++i) {
        savePicture(dir.path(), "s" + std::to_string(i) + ".jpg", std::vector<uint8_t>(100, 'x'));
        fs::last_write_time(dir.file("s" + std::to_string(i) + ".jpg"), now - std::chrono::minutes(10 - i));
    }
    EXPECT_EQ(picturesFolderBytes(dir.path()), 600u);
    EXPECT_EQ(keepPicturesWithinBudget(dir.path(), 100, 500), (std::vector<std::string>{"s0.jpg", "s1.jpg"}));
    EXPECT_TRUE(fs::exists(dir.file("holiday.jpg")));
    EXPECT_TRUE(fs::exists(dir.file("wedding.jpg")));
    EXPECT_TRUE(fs::exists(elsewhere.file("precious.jpg")));
}

TEST(PictureFolderSize, CountsThePicturesTheBudgetCounts) {
    TempDir dir;
    savePicture(dir.path(), "a.jpg", std::vector<uint8_t>(300, 'a'));
    savePicture(dir.path(), "b.jpg", std::vector<uint8_t>(45, 'b'));
    orvix::test::writeFile(dir.file("stranger.jpg"), std::string(5000, 's'));
    orvix::test::writeFile(dir.file(".b.jpg.1.2.tmp"), std::string(5000, 't'));
    orvix::test::writeFile(dir.file("notes.txt"), std::string(5000, 'n'));
    fs::create_directories(dir.file("folder.jpg"));
    recordPicture(dir.path(), "folder.jpg");
    EXPECT_EQ(picturesFolderBytes(dir.path()), 345u);
    EXPECT_EQ(picturesFolderBytes(dir.file("missing")), 0u);
}

}  // namespace
