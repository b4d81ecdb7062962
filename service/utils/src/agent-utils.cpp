#include "agent-utils.h"

#include <ctime>

namespace velmora::Utils {

std::string utc_format(const std::string& stamp, bool local) {
    if (stamp.size() != 14) {
        return {};
    }
    std::tm parsed{};
    const char* end = ::strptime(stamp.c_str(), "%Y%m%d%H%M%S", &parsed);
    if (end == nullptr || *end != '\0') {
        return {};
    }
    std::time_t seconds = ::timegm(&parsed);
    std::tm broken{};
    if (local) {
        ::localtime_r(&seconds, &broken);
    } else {
        ::gmtime_r(&seconds, &broken);
    }
    char buffer[20];
    if (std::strftime(buffer, sizeof(buffer), "%Y-%m-%d %H:%M:%S", &broken) == 0) {
        return {};
    }
    return buffer;
}

bool isPlainFileName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._~-") ==
               std::string::npos;
}

}  // namespace velmora::Utils
