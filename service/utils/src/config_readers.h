#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

#include <Poco/Dynamic/Var.h>

// Typed reads of configuration entries that must be there. Each looks the key up
// with insertion of an empty entry when absent (as the map's operator[] does), so
// the caller holds the configuration lock. Failures are std::runtime_error.
namespace velmora::Utils {

using ConfigEntries = std::unordered_map<std::string, Poco::Dynamic::Var>;

// A present string value; an empty string is accepted.
std::string readConfigString(ConfigEntries& config, const std::string& key);
// A boolean or integer value, or the strings "1"/"0"/"true"/"false" (any case).
bool readConfigBool(ConfigEntries& config, const std::string& key);
// A present integer value of any width.
int64_t readConfigInt64(ConfigEntries& config, const std::string& key);
// A TCP port 0-65535, given as an integer or as a text of decimal digits only.
unsigned short readConfigPort(ConfigEntries& config, const std::string& key);

}  // namespace velmora::Utils
