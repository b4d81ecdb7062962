#include "evom.h"

#include <Poco/Checksum.h>
#include <Poco/Zip/ZipArchive.h>
#include <Poco/Zip/ZipException.h>
#include <Poco/Zip/ZipStream.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <map>
#include <sstream>
#include <stdexcept>

namespace velmora::Utils {

namespace {

// Every ZIP archive, even an empty one, ends in an end-of-central-directory record
// (22 bytes plus a comment of at most 65535). Poco's reader stops quietly at the
// first unknown signature, so without this check any non-archive would unpack to
// an empty list and pass for an empty backup.
bool hasEndOfCentralDirectory(const std::vector<unsigned char>& archive) {
    static const unsigned char signature[] = {'P', 'K', 0x05, 0x06};
    constexpr std::size_t recordSize = 22;
    if (archive.size() < recordSize) {
        return false;
    }
    const std::size_t last = archive.size() - recordSize;
    const std::size_t first = last > 65535 ? last - 65535 : 0;
    for (std::size_t at = last + 1; at-- > first;) {
        if (std::equal(std::begin(signature), std::end(signature), archive.begin() + static_cast<long>(at))) {
            return true;
        }
    }
    return false;
}

std::uint64_t readLittleEndian(const std::vector<unsigned char>& bytes, std::size_t at, int width) {
    std::uint64_t value = 0;
    for (int i = width - 1; i >= 0; --i) {
        value = (value << 8) | bytes[at + static_cast<std::size_t>(i)];
    }
    return value;
}

// The archive library allocates the extensible data of a ZIP64 end-of-central-
// directory record by the size the record states, before reading it, wherever its
// walk through the archive (which resynchronises on any signature after bytes it
// does not know) meets one. Which signatures it meets cannot be told without
// repeating that walk exactly, so every one that claims more than the rest of the
// archive holds, or that the archive ends inside, refuses the archive: it is
// damaged or crafted to exhaust memory.
// A member's compressed data holds such bytes by chance about once in 4 GiB.
void checkZip64Records(const std::vector<unsigned char>& archive) {
    static const unsigned char kEnd64[] = {'P', 'K', 0x06, 0x06};
    const std::size_t size = archive.size();
    auto from = archive.begin();
    for (;;) {
        const auto found = std::search(from, archive.end(), std::begin(kEnd64), std::end(kEnd64));
        if (found == archive.end()) {
            return;
        }
        const auto offset = static_cast<std::size_t>(found - archive.begin());
        // One cut short before its size ends leaves the library sizing the allocation
        // by whatever its buffer held.
        if (offset + 12 > size || readLittleEndian(archive, offset + 4, 8) > size - offset - 12) {
            throw Poco::Zip::ZipException("damaged ZIP64 end of central directory record");
        }
        from = found + 1;
    }
}

bool isUnpacked(const std::string& name, std::uint64_t compressedSize) {
    return compressedSize != 0 && !(!name.empty() && name.back() == '/');
}

// What the members of an archive declare they unpack to, all together. Both the
// central directory and the members' own headers are counted, so neither can
// understate it; a member whose two headers disagree is refused.
void checkDeclaredSizes(const Poco::Zip::ZipArchive& zip, std::uint64_t limit) {
    const auto add = [limit](std::uint64_t& total, std::uint64_t size) {
        if (size > limit || total > limit - size) {
            throw std::runtime_error("Archive too large: members declare more than " + std::to_string(limit) +
                                     " bytes");
        }
        total += size;
    };
    std::map<std::string, std::uint64_t> central;
    std::uint64_t centralTotal = 0;
    for (auto it = zip.fileInfoBegin(); it != zip.fileInfoEnd(); ++it) {
        if (isUnpacked(it->first, it->second.getCompressedSize())) {
            add(centralTotal, it->second.getUncompressedSize());
            central.emplace(it->first, it->second.getUncompressedSize());
        }
    }
    std::uint64_t localTotal = 0;
    for (auto it = zip.headerBegin(); it != zip.headerEnd(); ++it) {
        if (!isUnpacked(it->first, it->second.getCompressedSize())) {
            continue;
        }
        const std::uint64_t size = it->second.getUncompressedSize();
        const auto listed = central.find(it->first);
        if (listed != central.end() && listed->second != size) {
            throw std::runtime_error("Size mismatch for " + it->first);
        }
        add(localTotal, size);
    }
}

}  // namespace

std::vector<std::pair<std::string, std::vector<unsigned char>>> decompressEVOM(
    const std::vector<unsigned char>& archive, std::uint64_t maxUnpackedBytes) {
    if (!hasEndOfCentralDirectory(archive)) {
        throw Poco::Zip::ZipException("not a ZIP archive");
    }
    checkZip64Records(archive);
    std::istringstream in(std::string(archive.begin(), archive.end()), std::ios::binary);
    const Poco::Zip::ZipArchive zip(in);
    // The archive comes from outside: its claims are checked before any member is
    // unpacked, and no member is unpacked beyond what it claims.
    checkDeclaredSizes(zip, maxUnpackedBytes);

    std::vector<std::pair<std::string, std::vector<unsigned char>>> members;
    // The archive keeps its headers in a map by name: iteration is in byte order.
    for (auto it = zip.headerBegin(); it != zip.headerEnd(); ++it) {
        const std::string& name = it->first;
        const Poco::Zip::ZipLocalFileHeader& header = it->second;
        if (!isUnpacked(name, header.getCompressedSize())) {
            continue;
        }
        // Reading the directory leaves the stream at its end with failbit set.
        in.clear();
        in.seekg(0);
        Poco::Zip::ZipInputStream member(in, header, true);
        const std::uint64_t declared = header.getUncompressedSize();
        std::vector<unsigned char> bytes;
        bytes.reserve(static_cast<std::size_t>(declared));
        char block[8192];
        while (member.read(block, sizeof block) || member.gcount() > 0) {
            const auto got = static_cast<std::uint64_t>(member.gcount());
            if (got > declared - bytes.size()) {
                // More data than declared: damaged or crafted; stop inflating here.
                throw std::runtime_error("CRC failed for " + name);
            }
            bytes.insert(bytes.end(), block, block + got);
        }
        // The library skips its own check for members whose CRC follows the data
        // (archives written to a pipe), so the sum is also checked here.
        Poco::Checksum crc(Poco::Checksum::TYPE_CRC32);
        if (!bytes.empty()) {
            crc.update(reinterpret_cast<const char*>(bytes.data()), static_cast<unsigned>(bytes.size()));
        }
        if (!member.crcValid() || crc.checksum() != header.getCRC() ||
            bytes.size() != header.getUncompressedSize()) {
            throw std::runtime_error("CRC failed for " + name);
        }
        // A deflated empty file has a few bytes of compressed data but nothing to hand on.
        if (!bytes.empty()) {
            members.emplace_back(name, std::move(bytes));
        }
    }
    return members;
}

}  // namespace velmora::Utils
