#pragma once

#include <string>

namespace velmora::Utils {

// Formats a 14-character UTC stamp YYYYMMDDhhmmss as "YYYY-MM-DD hh:mm:ss",
// in local time when `local` is true; "" for anything else.
std::string utc_format(const std::string& stamp, bool local);

// True for one plain file name: letters, digits and "._~-" only, not "." or "..".
// Such a name stays one path segment whatever the HTTP layer decodes or resolves.
bool isPlainFileName(const std::string& name);

}  // namespace velmora::Utils
