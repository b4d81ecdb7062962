#pragma once

// The pictures folder: each picture is written whole or not at all, and the agent's
// pictures there are kept under a byte budget by removing the oldest first. A removed
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

// Writes a picture the agent owns: writeFileAtomically into `folder`/`name`, and
// the name into the folder's list of the agent's pictures. Only pictures on that
// list are counted by the budget and ever removed: a folder setting that points at
// someone else's pictures never costs them a file.
void savePicture(const std::string& folder, const std::string& name, const std::vector<uint8_t>& bytes);
// Puts a name on the folder's list of the agent's pictures (savePicture does).
void recordPicture(const std::string& folder, const std::string& name);

// Call after adding a picture of `addedBytes` to `folder`. When the agent's
// pictures in the folder exceed `budgetBytes`, the oldest are removed, by
// modification time, until they take at most nine tenths of the budget, so the next
// removal is some pictures away; one warning line says how many went. The folder's
// total is kept in memory between calls and only counted again when it seems to
// exceed the budget. Returns the names of the removed files.
std::vector<std::string> keepPicturesWithinBudget(const std::string& folder, std::uint64_t addedBytes,
                                                  std::uint64_t budgetBytes);

// The bytes the agent's pictures in the folder take now, counted from the disk
// (the same files the budget counts); 0 when the folder cannot be read.
std::uint64_t picturesFolderBytes(const std::string& folder);

}  // namespace velmora::Utils::Filesystem
