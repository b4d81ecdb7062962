#include "picture_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
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

// Pictures are "<sid>.jpg"; temporary files start with a dot and are not counted.
bool isPicture(const fs::directory_entry& entry) {
    const std::string name = entry.path().filename().string();
    std::error_code error;
    return !name.empty() && name.front() != '.' && entry.path().extension() == ".jpg" &&
           entry.is_regular_file(error);
}

struct Picture {
    fs::path path;
    fs::file_time_type modified;
    std::uint64_t size;
};

std::vector<Picture> listPictures(const std::string& folder) {
    std::vector<Picture> pictures;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        if (!isPicture(*it)) {
            continue;
        }
        std::error_code statError;
        auto size = it->file_size(statError);
        auto modified = it->last_write_time(statError);
        if (!statError) {
            pictures.push_back({it->path(), modified, size});
        }
    }
    return pictures;
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
