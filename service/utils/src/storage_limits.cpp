#include "storage_limits.h"

namespace velmora::Utils {

const std::vector<StorageLimitKey>& storageLimitKeys() {
    // The budget is counted in MiB: the configurations table reloads an "int" row
    // as a 32-bit value, and a byte count of a few GiB would not fit.
    static const std::vector<StorageLimitKey> keys = {
        {kImagesFolderBudgetKey, 2048, 1, 1024 * 1024},   {kRecognitionQueueCapKey, 100000, 1, 10000000},
        {kAlertQueueCapKey, 10000, 1, 1000000},           {kLogRetentionDaysKey, 90, 1, 3650},
        {kPictureUploadMaxWaitKey, 86400, 0, 30 * 86400},
    };
    return keys;
}

namespace {

std::int64_t limitValue(const std::unordered_map<std::string, Poco::Dynamic::Var>& config,
                        const StorageLimitKey& limit) {
    auto found = config.find(limit.key);
    if (found == config.end() || found->second.isEmpty() || !found->second.isInteger()) {
        return limit.defaultValue;
    }
    try {
        std::int64_t value = found->second.convert<std::int64_t>();
        return value >= limit.min && value <= limit.max ? value : limit.defaultValue;
    } catch (const std::exception&) {
        return limit.defaultValue;  // an unsigned value beyond the signed range
    }
}

const StorageLimitKey& limitKey(const char* key) {
    for (const auto& limit : storageLimitKeys()) {
        if (std::string(limit.key) == key) {
            return limit;
        }
    }
    throw std::logic_error(std::string("not a storage limit: ") + key);
}

}  // namespace

StorageLimits readStorageLimits(const std::unordered_map<std::string, Poco::Dynamic::Var>& config) {
    StorageLimits limits{};
    limits.imagesFolderBudgetBytes =
        static_cast<std::uint64_t>(limitValue(config, limitKey(kImagesFolderBudgetKey))) * 1024 * 1024;
    limits.recognitionQueueCap = static_cast<int>(limitValue(config, limitKey(kRecognitionQueueCapKey)));
    limits.alertQueueCap = static_cast<int>(limitValue(config, limitKey(kAlertQueueCapKey)));
    limits.logRetentionDays = static_cast<int>(limitValue(config, limitKey(kLogRetentionDaysKey)));
    limits.pictureUploadMaxWaitSeconds = limitValue(config, limitKey(kPictureUploadMaxWaitKey));
    return limits;
}

}  // namespace velmora::Utils
