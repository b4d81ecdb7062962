#pragma once

// Unpacking of template backups (".evom": a ZIP archive of ".evo" packages).

#include <string>
#include <utility>
#include <vector>

namespace velmora::Utils {

// The archive's members in ascending byte order of their stored names (directory
// part included), each with its uncompressed bytes. Directory entries and empty
// members are left out. Everything happens in memory.
// Throws std::runtime_error("CRC failed for <name>") on a damaged member; data that
// is not a ZIP archive makes the ZIP library throw.
std::vector<std::pair<std::string, std::vector<unsigned char>>> decompressEVOM(
    const std::vector<unsigned char>& archive);

}  // namespace velmora::Utils
