#pragma once

#include <ctime>
#include <string>
#include <vector>

namespace velmora::Engine::Logging {

// Removes the daily log files ("orvix_YYYY-MM-DD.log", by local date) of
// `directory` dated more than `retentionDays` days before the local date of `now`;
// today's file and every other file stay. Returns the names removed; each removal
// is logged. A missing directory removes nothing.
std::vector<std::string> removeExpiredLogFiles(const std::string& directory, int retentionDays,
                                               std::time_t now = std::time(nullptr));

}  // namespace velmora::Engine::Logging
