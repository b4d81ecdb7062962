#pragma once

// The file of an upload as the till sends it: the first part of a multipart form.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velmora::Utils {

// The content of the form's first part; `delimiter` is "--" followed by the
// boundary of the request's content type. Only the part's headers are skipped; the
// content may hold any bytes, zero bytes included. Logs why and gives nothing when
// the body does not have that shape.
std::optional<std::vector<uint8_t>> extractFirstPart(const std::string& body, const std::string& delimiter);

}  // namespace velmora::Utils
