#pragma once

// The limits that keep the agent's disk use bounded while the cloud is out of
// reach: a byte budget for the pictures folder, caps on the two queues, the age of
// daily log files and how long a picture waits for object storage. Each is a configuration key a deployment
// may set; none is seeded, so an absent key means the default of this table.

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
inline constexpr const char* kPictureUploadMaxWaitKey = "picture_upload_max_wait_seconds";

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
    // How long a recognition waits for object storage to take its picture before it
    // is sent without one.
    std::int64_t pictureUploadMaxWaitSeconds;
};

// The limits in effect for `config`: each key's value when it holds an integer in
// its range, the default otherwise.
StorageLimits readStorageLimits(const std::unordered_map<std::string, Poco::Dynamic::Var>& config);

}  // namespace velmora::Utils
