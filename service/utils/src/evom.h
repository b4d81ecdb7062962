#pragma once

// Unpacking of template backups (".evom": a ZIP archive of ".evo" packages).

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace velmora::Utils {

// The most a backup archive may unpack to, all members together. Backups are a few
// megabytes; anything claiming more is refused before memory is set aside for it.
constexpr std::uint64_t kMaxUnpackedArchiveBytes = 512ull * 1024 * 1024;

// The archive's members in ascending byte order of their stored names (directory
// part included), each with its uncompressed bytes. Directory entries and empty
// members are left out. Everything happens in memory; member names are only
// returned, never used as paths.
// Throws std::runtime_error:
//   "CRC failed for <name>"       a damaged member, or one that unpacks to another size
//                                 than its headers declare (inflation stops at the
//                                 declared size);
//   "Archive too large: ..."      the members declare more than `maxUnpackedBytes`
//                                 together (checked before anything is unpacked);
//   "Size mismatch for <name>"    the central directory and the member's own header
//                                 declare different sizes.
// Throws Poco::Zip::ZipException for data that is not a ZIP archive or whose
// structure is damaged (an archive cut short has no central directory).
std::vector<std::pair<std::string, std::vector<unsigned char>>> decompressEVOM(
    const std::vector<unsigned char>& archive, std::uint64_t maxUnpackedBytes = kMaxUnpackedArchiveBytes);

}  // namespace velmora::Utils
