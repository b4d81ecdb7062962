#pragma once

// The limits that keep the agent's disk use bounded while the cloud is out of
// reach: a byte budget for the pictures folder, caps on the two queues and the
// age of daily log files. Each is a configuration key a deployment may set; none
// is seeded, so an absent key means the default of this table.

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include <Poco/Dynamic/Var.h>

namespace velmora::Utils {

inline constexpr const char* kImagesFolderBudgetKey = "images_folder_budget_mb";
inline constexpr const char* kRecognitionQueueCapKey = "recognition_queue_cap";
inline constexpr const char* kAlertQueueCapKey = "alert_queue_cap";
inline constexpr const char* kLogRetentionDaysKey = "log_retention_days";

// One limit key: its default and the values it may take (integers, bounds included).
struct StorageLimitKey {
    const char* key;
    std::int64_t defaultValue;
    std::int64_t min;
    std::int64_t max;
};

const std::vector<StorageLimitKey>& storageLimitKeys();

struct StorageLimits {
    std::uint64_t imagesFolderBudgetBytes;
    int recognitionQueueCap;
    int alertQueueCap;
    int logRetentionDays;
};

// The limits in effect for `config`: each key's value when it holds an integer in
// its range, the default otherwise.
StorageLimits readStorageLimits(const std::unordered_map<std::string, Poco::Dynamic::Var>& config);

}  // namespace velmora::Utils
