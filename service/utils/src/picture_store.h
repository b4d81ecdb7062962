#pragma once

// The pictures folder: each picture is written whole or not at all, and the folder
// is kept under a byte budget by removing the oldest pictures first. A removed
// picture's recognition is still sent to the cloud, without its picture.

#include <cstdint>
#include <string>
#include <vector>

namespace velmora::Utils::Filesystem {

// Writes `bytes` to a temporary name in the same folder (mode 0600), flushes it to
// the disk and renames it to `path`: a reader or a crash sees the old file or the
// complete new one, never a truncated one. Throws std::runtime_error; the
// temporary file is gone either way.
void writeFileAtomically(const std::string& path, const std::vector<uint8_t>& bytes);

// Call after adding a picture of `addedBytes` to `folder`. When the folder's
// pictures (its "*.jpg" files) exceed `budgetBytes`, the oldest are removed, by
// modification time, until they take at most nine tenths of the budget, so the next
// removal is some pictures away; one warning line says how many went. The folder's
// total is kept in memory between calls and only counted again when it seems to
// exceed the budget. Returns the names of the removed files.
std::vector<std::string> keepPicturesWithinBudget(const std::string& folder, std::uint64_t addedBytes,
                                                  std::uint64_t budgetBytes);

// The bytes the folder's pictures take now, counted from the disk (the same files
// the budget counts); 0 when the folder cannot be read.
std::uint64_t picturesFolderBytes(const std::string& folder);

}  // namespace velmora::Utils::Filesystem
