// Unpacking of template backup archives, built here with the zip tool and Poco Zip.
#include <gtest/gtest.h>

#include <Poco/DateTime.h>
#include <Poco/Zip/Compress.h>
#include <Poco/Zip/ZipException.h>

#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <streambuf>

#include "evom.h"
#include "test_support.h"
#include "zip_archive.h"

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

// Sets or clears the "names are UTF-8" flag of every member, in both of its headers.
std::string withUtf8Flag(std::string archive, bool on) {
    for (const auto& [signature, flags] : {std::pair<std::string, std::size_t>{"PK\x03\x04", 6},
                                           std::pair<std::string, std::size_t>{"PK\x01\x02", 8}}) {
        for (auto at = archive.find(signature); at != std::string::npos;
             at = archive.find(signature, at + 4)) {
            auto& bits = archive[at + flags + 1];
            bits = static_cast<char>(on ? (bits | 0x08) : (bits & ~0x08));
        }
    }
    return archive;
}

// Names come out as stored, whatever their charset and the process's locale.
TEST(DecompressEvom, NamesAreHandedOnByteForByte) {
    const struct {
        std::string name;
        bool utf8Flag;
    } cases[] = {
        {"шаблоны/магазин 1+2.evo", true},
        {"шаблоны/магазин 1+2.evo", false},
        {"caf\xE9.evo", false},
        {"plain.evo", true},
    };
    for (const auto& c : cases) {
        const std::string archive = withUtf8Flag(orvix::test::zipArchive({{c.name, "content"}}), c.utf8Flag);
        try {
            EXPECT_EQ(unpack(archive), (Members{{c.name, "content"}})) << c.name << ", flag " << c.utf8Flag;
        } catch (const Poco::Exception& e) {
            ADD_FAILURE() << c.name << ", flag " << c.utf8Flag << ": " << e.displayText();
        }
    }
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
    const std::string empty = out.str();
    EXPECT_TRUE(unpack(empty).empty());
    // Anything else is refused rather than passing for an empty backup, and so is an
    // archive cut short anywhere: without its central directory it is not one.
    const std::string full = orvix::test::zipArchive({{"a.evo", pattern(3000, 'a')}, {"b.evo", "second"}});
    const std::string refused[] = {
        "this is not a zip archive at all",
        "",
        empty.substr(0, empty.size() - 4),
        full.substr(0, full.size() / 2),
        full.substr(0, full.rfind(std::string("PK\x01\x02", 4))),
        full.substr(0, full.size() - 1),
    };
    for (const std::string& bytes : refused) {
        EXPECT_THROW(unpack(bytes), Poco::Zip::ZipException) << bytes.size() << " bytes";
    }
}

// A stream of `size` zero bytes that never holds more than one block in memory.
class Zeros : public std::streambuf {
public:
    explicit Zeros(std::uint64_t size) : left_(size) {}

protected:
    int_type underflow() override {
        if (left_ == 0) {
            return traits_type::eof();
        }
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(left_, sizeof block_));
        left_ -= n;
        setg(block_, block_, block_ + n);
        return traits_type::to_int_type(block_[0]);
    }

private:
    char block_[65536] = {};
    std::uint64_t left_;
};

std::string oneMemberArchive(const std::string& name, std::istream& content) {
    std::ostringstream out(std::ios::binary);
    Poco::Zip::Compress compress(out, true);
    compress.addFile(content, Poco::DateTime(), name);
    compress.close();
    return out.str();
}

// Overwrites the declared uncompressed size of the only member: in its local
// header, in the central directory, or both.
std::string declareSize(std::string archive, std::uint32_t size, bool local, bool central) {
    const auto put = [&](std::size_t at) {
        for (int i = 0; i < 4; ++i) {
            archive[at + i] = static_cast<char>((size >> (8 * i)) & 0xFF);
        }
    };
    if (local) {
        put(archive.find(std::string("PK\x03\x04", 4)) + 22);
    }
    if (central) {
        put(archive.find(std::string("PK\x01\x02", 4)) + 24);
    }
    return archive;
}

std::string failureOf(const std::string& archive,
                      std::uint64_t limit = velmora::Utils::kMaxUnpackedArchiveBytes) {
    try {
        decompressEVOM(bytesOf(archive), limit);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "no failure";
}

TEST(DecompressEvom, ArchivesDeclaringMoreThanTheLimitAreRefused) {
    std::ostringstream out(std::ios::binary);
    {
        Poco::Zip::Compress compress(out, true);
        for (const char* name : {"a.evo", "b.evo", "c.evo"}) {
            Zeros zeros(40000);
            std::istream in(&zeros);
            compress.addFile(in, Poco::DateTime(), name);
        }
        compress.close();
    }
    const std::string archive = out.str();
    ASSERT_LT(archive.size(), 2000u);  // deflated zeros: a tiny archive that unpacks 60 times larger
    EXPECT_EQ(failureOf(archive, 119999), "Archive too large: members declare more than 119999 bytes");
    EXPECT_EQ(decompressEVOM(bytesOf(archive), 120000).size(), 3u);
    EXPECT_EQ(velmora::Utils::kMaxUnpackedArchiveBytes, 512u * 1024 * 1024);
    // One member claiming 4 GB is refused with the default limit, before anything is set aside for it.
    std::istringstream small(pattern(3000, 's'));
    const std::string claimsMuch = declareSize(oneMemberArchive("big.evo", small), 0xFFFFFF00u, true, true);
    EXPECT_EQ(failureOf(claimsMuch), "Archive too large: members declare more than 536870912 bytes");
}

TEST(DecompressEvom, HeadersThatDisagreeAreRefused) {
    std::istringstream content(pattern(3000, 'h'));
    const std::string archive = oneMemberArchive("t.evo", content);
    EXPECT_EQ(failureOf(declareSize(archive, 100, true, false)), "Size mismatch for t.evo");
    EXPECT_EQ(failureOf(declareSize(archive, 100, false, true)), "Size mismatch for t.evo");
    // Headers that disagree on the CRC: one of them tells of other data.
    std::string otherCrc = archive;
    otherCrc[otherCrc.find(std::string("PK\x03\x04", 4)) + 14] ^= 0x01;
    EXPECT_EQ(failureOf(otherCrc), "CRC failed for t.evo");
    // Both headers understate the member: inflation stops at the declared size.
    EXPECT_EQ(failureOf(declareSize(archive, 100, true, true)), "CRC failed for t.evo");
}

// How unpacking with little room went, as the exit code of the child that did it.
enum Outcome {
    kRefusedAsExpected = 0,
    kOutOfMemory = 2,
    kOtherRefusal = 3,
    kUnpacked = 4,
    kNotAnArchive = 5
};

// Unpacks `archive` with an address space that has 96 MiB of room left; a refusal
// counts as expected when its message is `expected`.
int unpackWithLittleRoom(const std::string& archive, const std::string& expected) {
    std::ifstream status("/proc/self/status");
    std::uint64_t vmKb = 0;
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmSize:", 0) == 0) {
            vmKb = std::stoull(line.substr(7));
        }
    }
    const rlim_t room = (vmKb + 96 * 1024) * 1024;
    const rlimit limit{room, room};
    ::setrlimit(RLIMIT_AS, &limit);
    try {
        decompressEVOM(bytesOf(archive));
    } catch (const std::bad_alloc&) {
        return kOutOfMemory;
    } catch (const Poco::Zip::ZipException&) {
        return kNotAnArchive;
    } catch (const std::runtime_error& e) {
        return e.what() == expected ? kRefusedAsExpected : kOtherRefusal;
    }
    return kUnpacked;
}

// A member that declares 1000 bytes but inflates to 256 MiB is refused, not unpacked.
TEST(DecompressEvom, LyingBombIsNotInflatedBeyondItsClaim) {
    Zeros zeros(256ull * 1024 * 1024);
    std::istream in(&zeros);
    const std::string bomb = declareSize(oneMemberArchive("bomb.evo", in), 1000, true, true);
    ASSERT_LT(bomb.size(), 400000u);
    EXPECT_EXIT(std::_Exit(unpackWithLittleRoom(bomb, "CRC failed for bomb.evo")),
                ::testing::ExitedWithCode(kRefusedAsExpected), "");
}

}  // namespace

namespace {

// A ZIP64 end-of-central-directory record put right after the central directory,
// stating `recordSize` bytes of its own.
std::string withZip64EndRecord(std::string archive, std::uint64_t recordSize, std::size_t extra) {
    const auto end = archive.rfind(std::string("PK\x05\x06", 4));
    EXPECT_NE(end, std::string::npos);
    std::string record("PK\x06\x06", 4);
    for (int i = 0; i < 8; ++i) {
        record.push_back(static_cast<char>((recordSize >> (8 * i)) & 0xFF));
    }
    record.append(extra, '\0');
    archive.insert(end, record);
    return archive;
}

}  // namespace

// ZIP64 records that claim more than the archive holds, or that the archive ends
// inside, are either refused as damage or passed over: nothing is set aside by what
// they claim. The seeds are the inputs that once made a reader allocate by them.
TEST(DecompressEvom, Zip64RecordsClaimingTooMuchAllocateNothing) {
    const std::string archive = orvix::test::zipArchive({{"a.evo", pattern(300, 'a')}});
    ASSERT_EQ(unpack(archive).size(), 1u);
    const std::string seeds = std::string(ORVIX_SOURCE_DIR) + "/tests/fuzz/corpus/fuzz_evom/";
    const std::pair<std::string, std::string> cases[] = {
        {"record claiming petabytes", withZip64EndRecord(archive, 0x0606060606060606ULL, 44)},
        {"cut in its signature", archive + std::string("PK\x06\x06", 4)},
        {"cut in its size", archive + std::string("PK\x06\x06\x00\x02", 6)},
        {"two records, the last cut", archive + std::string("PK\x06\x06gPK\x06\x06\x00\x02", 11)},
        {"seed: after garbage", readFile(seeds + "zip64-end-record-after-garbage")},
        {"seed: claiming petabytes", readFile(seeds + "zip64-end-record-claiming-petabytes")},
        {"seed: cut short", readFile(seeds + "zip64-end-record-cut-short")},
        {"seed: in a resynchronised walk", readFile(seeds + "zip64-end-record-in-a-resynchronised-walk")},
    };
    for (const auto& [label, bytes] : cases) {
        EXPECT_EXIT(
            std::_Exit(unpackWithLittleRoom(bytes, "")),
            [](int status) {
                return WIFEXITED(status) &&
                       (WEXITSTATUS(status) == kUnpacked || WEXITSTATUS(status) == kNotAnArchive);
            },
            "")
            << label;
    }
}
