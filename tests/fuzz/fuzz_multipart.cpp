// The upload routes' reading of a multipart form: the boundary from the request's
// content type (first line of the input), then the file from the body (the rest).
// What comes out is always a piece of the body after the delimiter.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "multipart.h"
#include "route_helpers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::size_t lineEnd = input.find('\n');
    const std::string contentType = input.substr(0, lineEnd);
    const std::string body = lineEnd == std::string::npos ? std::string() : input.substr(lineEnd + 1);
    const auto delimiter = velmora::Engine::Test::multipartDelimiter(contentType);
    if (!delimiter) {
        return 0;
    }
    if (delimiter->rfind("--", 0) != 0 || delimiter->size() < 3) {
        std::abort();  // a delimiter is "--" and a boundary of at least one character
    }
    const auto file = velmora::Utils::extractFirstPart(body, *delimiter);
    if (file) {
        const std::string content(file->begin(), file->end());
        const std::size_t first = body.find(*delimiter);
        if (first == std::string::npos || file->size() >= body.size() ||
            body.find(content, first + delimiter->size()) == std::string::npos) {
            std::abort();
        }
    }
    return 0;
}
