#pragma once

// Archives and patterned bytes for the tests of the backup and restore tasks.

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace orvix::test {

// A ZIP archive built in memory: members with content, and directory entries (names ending in "/").
std::string zipArchive(const std::vector<std::pair<std::string, std::string>>& members);

// Sets the declared uncompressed size of the archive's only member, in its local
// header and in the central directory, without touching its data.
std::string declareSize(std::string archive, std::uint32_t size);

// Bytes that do not repeat in short runs, so a truncation or a mix-up shows.
std::string patterned(std::size_t size, char seed);

}  // namespace orvix::test
