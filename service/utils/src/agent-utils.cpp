#include "agent-utils.h"

#include <ctime>

namespace velmora::Utils {

std::string isoUtc(std::chrono::system_clock::time_point moment) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(moment);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

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

bool isFolderLocalName(const std::string& name) {
    static const std::string separators("/\\\0", 3);
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(separators) == std::string::npos;
}

std::string encodePathSegment(const std::string& text) {
    static const std::string unreserved =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~";
    static const char hex[] = "0123456789ABCDEF";
    std::string encoded;
    encoded.reserve(text.size());
    for (const char c : text) {
        if (unreserved.find(c) != std::string::npos) {
            encoded += c;
            continue;
        }
        const auto byte = static_cast<unsigned char>(c);
        encoded += '%';
        encoded += hex[byte >> 4];
        encoded += hex[byte & 0x0F];
    }
    return encoded;
}

}  // namespace velmora::Utils
