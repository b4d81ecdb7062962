#include "agent-filesystem.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>

namespace velmora::Utils::Filesystem {
namespace {

std::string fromHome(const char* suffix) {
    std::string home = GetHomeDirectory();
    if (home.empty()) {
        return {};
    }
    return home + suffix;
}

}  // namespace

std::string GetHomeDirectory() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && *home != '\0') {
        return home;
    }
    // A service started without a user environment (a systemd unit without User=)
    // has no HOME; its files still belong in the effective user's home, not in
    // whatever directory it was started in.
    long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(hint > 0 ? static_cast<size_t>(hint) : 16384);
    for (int attempt = 0; attempt < 8; ++attempt) {
        passwd entry{};
        passwd* found = nullptr;
        int result = ::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found);
        if (result == ERANGE) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (result == 0 && found != nullptr && found->pw_dir != nullptr && *found->pw_dir != '\0') {
            return found->pw_dir;
        }
        break;
    }
    return {};
}

std::string GetAppData() {
    return fromHome("/.local/share/VELMORA/OrvixAgent/");
}

std::string GetDocumentsDirectory() {
    return fromHome("/Documents/VELMORA/OrvixAgent/");
}

std::string GetLogDirectory() {
    return GetAppData() + "logs";
}

std::string GetDefaultDBPath() {
    return GetAppData() + "service.db";
}

std::string GetDefaultConfigPath() {
    return GetAppData() + "config.json";
}

std::string GetDefaultImagesPath() {
    std::string path = GetDocumentsDirectory() + "images";
    ::mkdir(path.c_str(), 0755);  // one level only; a missing parent is not our business here
    return path;
}

std::string GetExecutableDir() {
    char buffer[4096];
    ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof(buffer));
    if (length <= 0 || static_cast<size_t>(length) >= sizeof(buffer)) {
        return {};
    }
    std::string path(buffer, static_cast<size_t>(length));
    auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

bool CreateDirectoryIfNotExists(const std::string& path) {
    return ::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

}  // namespace velmora::Utils::Filesystem

namespace velmora::Utils {

std::string getLocalIP() {
    try {
        boost::asio::io_context context;
        boost::asio::ip::udp::socket socket(context);
        // Connecting a UDP socket sends nothing; it only makes the kernel pick the route.
        socket.connect({boost::asio::ip::make_address_v4("8.8.8.8"), 53});
        return socket.local_endpoint().address().to_string();
    } catch (...) {
        return {};
    }
}

}  // namespace velmora::Utils
