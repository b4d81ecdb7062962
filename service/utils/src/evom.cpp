#include "evom.h"

#include <Poco/Checksum.h>
#include <Poco/Zip/ZipArchive.h>
#include <Poco/Zip/ZipException.h>
#include <Poco/Zip/ZipStream.h>

#include <algorithm>
#include <iterator>
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

}  // namespace

std::vector<std::pair<std::string, std::vector<unsigned char>>> decompressEVOM(
    const std::vector<unsigned char>& archive) {
    if (!hasEndOfCentralDirectory(archive)) {
        throw Poco::Zip::ZipException("not a ZIP archive");
    }
    std::istringstream in(std::string(archive.begin(), archive.end()), std::ios::binary);
    const Poco::Zip::ZipArchive zip(in);

    std::vector<std::pair<std::string, std::vector<unsigned char>>> members;
    // The archive keeps its headers in a map by name: iteration is in byte order.
    for (auto it = zip.headerBegin(); it != zip.headerEnd(); ++it) {
        const std::string& name = it->first;
        const Poco::Zip::ZipLocalFileHeader& header = it->second;
        if (header.getCompressedSize() == 0 || (!name.empty() && name.back() == '/')) {
            continue;
        }
        // Reading the directory leaves the stream at its end with failbit set.
        in.clear();
        in.seekg(0);
        Poco::Zip::ZipInputStream member(in, header, true);
        std::vector<unsigned char> bytes;
        bytes.reserve(header.getUncompressedSize());
        char block[8192];
        while (member.read(block, sizeof block) || member.gcount() > 0) {
            bytes.insert(bytes.end(), block, block + member.gcount());
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
