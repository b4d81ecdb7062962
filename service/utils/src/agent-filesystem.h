#pragma once

#include <string>

// Where the agent keeps its files. Everything derives from the home directory;
// nothing here throws or keeps state, so any thread may call it.
namespace velmora::Utils::Filesystem {

// HOME; when it is unset or empty, the effective user's home directory from the
// password database; "" when neither names one.
std::string GetHomeDirectory();
std::string GetAppData();             // home + "/.local/share/VELMORA/OrvixAgent/", "" without a home
std::string GetDocumentsDirectory();  // home + "/Documents/VELMORA/OrvixAgent/", "" without a home
std::string GetLogDirectory();
std::string GetDefaultDBPath();
std::string GetDefaultConfigPath();
std::string GetDefaultImagesPath();  // creates its last level when it can
std::string GetExecutableDir();      // with its trailing "/", "" on failure
bool CreateDirectoryIfNotExists(const std::string& path);

}  // namespace velmora::Utils::Filesystem

namespace velmora::Utils {

// IPv4 address of the interface the kernel would route internet traffic through;
// "" when there is none. Sends nothing.
std::string getLocalIP();

}  // namespace velmora::Utils
