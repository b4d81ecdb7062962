#pragma once

#include <string>

namespace velmora::Utils {

// Formats a 14-character UTC stamp YYYYMMDDhhmmss as "YYYY-MM-DD hh:mm:ss",
// in local time when `local` is true; "" for anything else.
std::string utc_format(const std::string& stamp, bool local);

}  // namespace velmora::Utils
