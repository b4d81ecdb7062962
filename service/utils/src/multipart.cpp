#include "multipart.h"

#include <cstddef>

#include "logger.h"

namespace velmora::Utils {

using Engine::Logging::log;

std::optional<std::vector<uint8_t>> extractFirstPart(const std::string& body, const std::string& delimiter) {
    const std::size_t partStart = body.find(delimiter);
    if (partStart == std::string::npos) {
        log().error("Boundary not found in request body");
        return std::nullopt;
    }
    const std::size_t headersEnd = body.find("\r\n\r\n", partStart);
    if (headersEnd == std::string::npos) {
        log().error("File data start not found");
        return std::nullopt;
    }
    const std::size_t fileStart = headersEnd + 4;
    const std::size_t fileEnd = body.find(delimiter, fileStart);
    if (fileEnd == std::string::npos) {
        log().error("File data end not found");
        return std::nullopt;
    }
    // The line break before the next delimiter belongs to the delimiter, not to the
    // file. Without it the form is malformed, and cutting two bytes off the file
    // would hand the module a damaged package.
    if (fileStart + 2 >= fileEnd || body.compare(fileEnd - 2, 2, "\r\n") != 0) {
        log().error("Invalid file data range");
        return std::nullopt;
    }
    return std::vector<uint8_t>(body.begin() + static_cast<std::ptrdiff_t>(fileStart),
                                body.begin() + static_cast<std::ptrdiff_t>(fileEnd - 2));
}

}  // namespace velmora::Utils
