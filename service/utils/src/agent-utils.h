#pragma once

#include <chrono>
#include <string>

namespace velmora::Utils {

// Formats a 14-character UTC stamp YYYYMMDDhhmmss as "YYYY-MM-DD hh:mm:ss",
// in local time when `local` is true; "" for anything else.
std::string utc_format(const std::string& stamp, bool local);

// A moment as ISO 8601 in UTC to the second: "2026-12-10T13:39:13Z".
std::string isoUtc(std::chrono::system_clock::time_point moment);

// True for one plain file name: letters, digits and "._~-" only, not "." or "..".
// Such a name stays one path segment whatever the HTTP layer decodes or resolves.
bool isPlainFileName(const std::string& name);

// True for a name that stays one file name inside its folder whatever else it holds:
// not empty, not "." or "..", and without "/", "\\" or NUL. Used for names the module
// itself reported, which may hold blanks, "+" or non-ASCII letters.
bool isFolderLocalName(const std::string& name);

// Every byte outside letters, digits and "-._~" as %XX (upper-case hex), so that any
// text travels as one URL path segment and comes back unchanged when decoded once.
std::string encodePathSegment(const std::string& text);

}  // namespace velmora::Utils
