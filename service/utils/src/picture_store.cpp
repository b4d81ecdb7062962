#include "picture_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <stdexcept>

#include "logger.h"

namespace velmora::Utils::Filesystem {
namespace fs = std::filesystem;
namespace {

using Engine::Logging::log;

std::runtime_error systemError(const std::string& what, const std::string& path) {
    return std::runtime_error(what + " " + path + ": " + std::strerror(errno));
}

// The agent's own pictures in a folder, one name a line. It starts with a dot, as
// the temporary files do, so it is never taken for a picture.
const char* const kLedger = ".orvix-pictures";
// Past this size the list is written again with only the pictures still there.
constexpr std::uintmax_t kLedgerCompactBytes = 1024 * 1024;

// Pictures are "<sid>.jpg"; names with a dot in front are temporary files.
bool isPictureName(const std::string& name) {
    return !name.empty() && name.front() != '.' && name.find('/') == std::string::npos &&
           fs::path(name).extension() == ".jpg";
}

struct Picture {
    fs::path path;
    fs::file_time_type modified;
    std::uint64_t size;
};

std::vector<std::string> ledgerNames(const std::string& folder) {
    std::vector<std::string> names;
    std::ifstream in(fs::path(folder) / kLedger);
    for (std::string line; std::getline(in, line);) {
        if (isPictureName(line)) {
            names.push_back(line);
        }
    }
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    return names;
}

// The listed pictures that are still there (an uploaded one is gone).
std::vector<Picture> listPictures(const std::string& folder) {
    std::vector<Picture> pictures;
    for (const auto& name : ledgerNames(folder)) {
        const fs::path path = fs::path(folder) / name;
        std::error_code error;
        const fs::file_status status = fs::symlink_status(path, error);
        if (error || !fs::is_regular_file(status)) {
            continue;
        }
        const auto size = fs::file_size(path, error);
        const auto modified = fs::last_write_time(path, error);
        if (!error) {
            pictures.push_back({path, modified, size});
        }
    }
    return pictures;
}

void rewriteLedger(const std::string& folder, const std::vector<Picture>& pictures) {
    std::string text;
    for (const auto& picture : pictures) {
        text += picture.path.filename().string() + "\n";
    }
    try {
        writeFileAtomically((fs::path(folder) / kLedger).string(),
                            std::vector<uint8_t>(text.begin(), text.end()));
    } catch (const std::exception& error) {
        log().warn("Pictures folder {}: list of the agent's pictures not rewritten: {};", folder,
                   error.what());
    }
}

// What the folders' pictures took when last counted, plus what was added since.
struct KnownTotals {
    std::mutex mutex;
    std::map<std::string, std::uint64_t> bytes;
};

KnownTotals& knownTotals() {
    static KnownTotals totals;
    return totals;
}

}  // namespace

void writeFileAtomically(const std::string& path, const std::vector<uint8_t>& bytes) {
    static std::atomic<unsigned> counter{0};
    const fs::path target(path);
    // Unique per process and call, so two writers of the same name never share one.
    const fs::path temporary =
        target.parent_path() / ("." + target.filename().string() + "." + std::to_string(::getpid()) + "." +
                                std::to_string(counter++) + ".tmp");
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        throw systemError("Failed to open file for writing:", temporary.string());
    }
    auto fail = [&](const std::string& what) {
        std::runtime_error error = systemError(what, temporary.string());
        if (fd >= 0) {
            ::close(fd);
        }
        ::unlink(temporary.c_str());
        return error;
    };
    std::size_t written = 0;
    while (written < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            throw fail("Failed to write file");
        }
        written += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0) {
        throw fail("Failed to flush file");
    }
    int closed = ::close(fd);
    fd = -1;
    if (closed != 0) {
        throw fail("Failed to close file");
    }
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
        throw fail("Failed to rename into " + path + ":");
    }
}

void recordPicture(const std::string& folder, const std::string& name) {
    const fs::path ledger = fs::path(folder) / kLedger;
    const std::string line = name + "\n";
    int fd = ::open(ledger.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0 || ::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
        log().warn("Pictures folder {}: {} not put on the list of the agent's pictures: {};", folder, name,
                   std::strerror(errno));
    }
    if (fd >= 0) {
        ::close(fd);
    }
    std::error_code error;
    if (fs::file_size(ledger, error) > kLedgerCompactBytes && !error) {
        rewriteLedger(folder, listPictures(folder));
    }
}

void savePicture(const std::string& folder, const std::string& name, const std::vector<uint8_t>& bytes) {
    writeFileAtomically((fs::path(folder) / name).string(), bytes);
    recordPicture(folder, name);
}

std::vector<std::string> keepPicturesWithinBudget(const std::string& folder, std::uint64_t addedBytes,
                                                  std::uint64_t budgetBytes) {
    KnownTotals& totals = knownTotals();
    std::lock_guard<std::mutex> lock(totals.mutex);
    auto known = totals.bytes.find(folder);
    if (known != totals.bytes.end()) {
        known->second += addedBytes;
        // Pictures removed by others (uploaded ones) only make this an overestimate.
        if (known->second <= budgetBytes) {
            return {};
        }
    }
    std::vector<Picture> pictures = listPictures(folder);
    std::uint64_t total = 0;
    for (const auto& picture : pictures) {
        total += picture.size;
    }
    std::vector<std::string> removed;
    if (total > budgetBytes) {
        std::sort(pictures.begin(), pictures.end(), [](const Picture& a, const Picture& b) {
            return a.modified != b.modified ? a.modified < b.modified : a.path < b.path;
        });
        const std::uint64_t target = budgetBytes / 10 * 9;
        std::uint64_t freed = 0;
        for (const auto& picture : pictures) {
            if (total <= target) {
                break;
            }
            std::error_code error;
            if (fs::remove(picture.path, error)) {
                total -= picture.size;
                freed += picture.size;
                removed.push_back(picture.path.filename().string());
            }
        }
        log().warn(
            "Pictures folder {} is over its budget of {} bytes: removed the {} oldest pictures ({} "
            "bytes);",
            folder, budgetBytes, removed.size(), freed);
        std::vector<Picture> left;
        for (const auto& picture : pictures) {
            std::error_code error;
            if (fs::exists(picture.path, error)) {
                left.push_back(picture);
            }
        }
        rewriteLedger(folder, left);
    }
    totals.bytes[folder] = total;
    return removed;
}

std::uint64_t picturesFolderBytes(const std::string& folder) {
    std::uint64_t total = 0;
    for (const auto& picture : listPictures(folder)) {
        total += picture.size;
    }
    return total;
}

}  // namespace velmora::Utils::Filesystem
