// Unpacking of template backup archives, built here with the zip tool and Poco Zip.
#include <gtest/gtest.h>

#include <Poco/DateTime.h>
#include <Poco/Zip/Compress.h>
#include <Poco/Zip/ZipException.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "evom.h"
#include "test_support.h"

namespace {

using orvix::test::readFile;
using orvix::test::TempDir;
using orvix::test::writeFile;
using velmora::Utils::decompressEVOM;
using Members = std::vector<std::pair<std::string, std::string>>;

std::vector<unsigned char> bytesOf(const std::string& text) {
    return {text.begin(), text.end()};
}

Members unpack(const std::string& archive) {
    Members out;
    for (auto& [name, bytes] : decompressEVOM(bytesOf(archive))) {
        out.emplace_back(name, std::string(bytes.begin(), bytes.end()));
    }
    return out;
}

// Runs a shell command in `dir` and returns the bytes of `output` there.
std::string shellArchive(const TempDir& dir, const std::string& command, const std::string& output) {
    const std::string line = "cd '" + dir.path() + "' && " + command;
    EXPECT_EQ(std::system(line.c_str()), 0) << line;
    return readFile(dir.file(output));
}

std::string pattern(std::size_t size, char seed) {
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        text[i] = static_cast<char>(seed + (i * 7 + i / 13) % 61);
    }
    return text;
}

// Flips one byte of `needle` inside `archive` (member data stored uncompressed).
std::string alter(std::string archive, const std::string& needle) {
    const auto at = archive.find(needle);
    EXPECT_NE(at, std::string::npos);
    archive[at + needle.size() / 2] ^= 0x20;
    return archive;
}

TEST(DecompressEvom, MembersInNameOrderWithoutDirectoriesOrEmptyFiles) {
    TempDir dir;
    std::filesystem::create_directories(dir.file("docs"));
    writeFile(dir.file("b.evo"), pattern(100000, 'b'));
    writeFile(dir.file("a.evo"), pattern(5000, 'a'));
    writeFile(dir.file("docs/readme.txt"), "templates of the shop");
    writeFile(dir.file("empty.evo"), "");
    writeFile(dir.file("B.evo"), "upper case sorts first");
    const std::string archive =
        shellArchive(dir, "zip -q -r out.zip b.evo docs empty.evo a.evo B.evo", "out.zip");
    const Members expected{{"B.evo", "upper case sorts first"},
                           {"a.evo", pattern(5000, 'a')},
                           {"b.evo", pattern(100000, 'b')},
                           {"docs/readme.txt", "templates of the shop"}};
    EXPECT_EQ(unpack(archive), expected);
}

// zip writing to a pipe cannot seek back: sizes and CRCs follow each member's data.
TEST(DecompressEvom, ArchivesWrittenToAPipe) {
    TempDir dir;
    writeFile(dir.file("b.evo"), pattern(70000, 'q'));
    writeFile(dir.file("a.evo"), "first template");
    const std::string deflated = shellArchive(dir, "zip -q - b.evo a.evo | cat > piped.zip", "piped.zip");
    const Members expected{{"a.evo", "first template"}, {"b.evo", pattern(70000, 'q')}};
    EXPECT_EQ(unpack(deflated), expected);

    const std::string stdinMember =
        shellArchive(dir, "printf 'data from stdin' | zip -q - - > stdin.zip", "stdin.zip");
    EXPECT_EQ(unpack(stdinMember), (Members{{"-", "data from stdin"}}));
}

TEST(DecompressEvom, AlteredDataFailsTheCrcCheck) {
    TempDir dir;
    writeFile(dir.file("a.evo"), "intact template data");
    writeFile(dir.file("c.evo"), "template whose bytes get changed after archiving");
    struct Case {
        std::string label;
        std::string command;
    };
    const Case cases[] = {
        {"seekable, stored", "zip -q -0 out.zip a.evo c.evo"},
        {"piped, stored", "zip -q -0 - a.evo c.evo | cat > out.zip"},
    };
    for (const auto& c : cases) {
        std::filesystem::remove(dir.file("out.zip"));
        const std::string archive = shellArchive(dir, c.command, "out.zip");
        ASSERT_EQ(unpack(archive).size(), 2u) << c.label;
        try {
            unpack(alter(archive, "whose bytes get changed"));
            ADD_FAILURE() << c.label << ": no exception";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), "CRC failed for c.evo") << c.label;
        }
    }
    // Damage in compressed data is caught the same way.
    std::filesystem::remove(dir.file("out.zip"));
    writeFile(dir.file("big.evo"), pattern(300000, 'z'));
    std::string archive = shellArchive(dir, "zip -q out.zip big.evo", "out.zip");
    archive[archive.size() / 2] ^= 0x5A;
    EXPECT_THROW(unpack(archive), std::runtime_error);
}

TEST(DecompressEvom, ArchivesFromPocoZip) {
    std::ostringstream out(std::ios::binary);
    {
        Poco::Zip::Compress compress(out, true);
        std::istringstream b(pattern(20000, 'x')), a("second"), none("");
        compress.addFile(b, Poco::DateTime(), "templates/b.evo");
        compress.addFile(a, Poco::DateTime(), "a.evo");
        compress.addDirectory("templates/", Poco::DateTime());
        compress.addFile(none, Poco::DateTime(), "zero.evo", Poco::Zip::ZipCommon::CM_STORE);
        compress.close();
    }
    const Members expected{{"a.evo", "second"}, {"templates/b.evo", pattern(20000, 'x')}};
    EXPECT_EQ(unpack(out.str()), expected);
}

TEST(DecompressEvom, EmptyArchiveAndNonArchive) {
    std::ostringstream out(std::ios::binary);
    {
        Poco::Zip::Compress compress(out, true);
        compress.close();
    }
    EXPECT_TRUE(unpack(out.str()).empty());
    // Anything else is refused rather than passing for an empty backup.
    EXPECT_THROW(unpack("this is not a zip archive at all"), Poco::Zip::ZipException);
    EXPECT_THROW(decompressEVOM({}), Poco::Zip::ZipException);
    EXPECT_THROW(unpack(out.str().substr(0, out.str().size() - 4)), Poco::Zip::ZipException);
}

}  // namespace
