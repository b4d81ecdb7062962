#pragma once

// Request signing for S3-compatible storage (AWS Signature Version 4, header form).
// Pure functions: the signing time is a parameter, so a request signs the same way
// every time it is given the same inputs.

#include <ctime>
#include <string>
#include <utility>
#include <vector>

namespace velmora::Utils::SigV4 {

using Pairs = std::vector<std::pair<std::string, std::string>>;

struct Credentials {
    std::string accessKeyId;
    std::string secretAccessKey;
};

// What is signed. Path and query are given decoded; the signer encodes them the
// way S3 expects (each byte outside A-Z a-z 0-9 - _ . ~ as %XX, slashes of the
// path kept). Headers must hold "host"; names may come in any case.
struct Request {
    std::string method;
    std::string path;
    Pairs query;
    Pairs headers;
    // Hex SHA-256 of the body, or "UNSIGNED-PAYLOAD".
    std::string payloadHash;
};

struct Signed {
    std::string amzDate;           // YYYYMMDD'T'HHMMSS'Z'
    std::string canonicalRequest;  // the text whose hash is signed
    std::string stringToSign;
    std::string signature;      // 64 lower-case hex digits
    std::string authorization;  // value of the Authorization header
    Pairs headers;  // the request's headers plus x-amz-date, x-amz-content-sha256 and authorization
};

inline constexpr const char* kUnsignedPayload = "UNSIGNED-PAYLOAD";

// Signs `request` for `region` and `service` at `time` (UTC seconds).
Signed sign(const Request& request, const std::string& region, const std::string& service,
            const Credentials& credentials, std::time_t time);

// Percent-encoding of RFC 3986 unreserved-only text; '/' kept when `keepSlash`.
std::string uriEncode(const std::string& text, bool keepSlash);
// The request target as sent: encoded path, then "?" and the encoded query when there is one.
std::string requestTarget(const std::string& path, const Pairs& query);
// "YYYYMMDDTHHMMSSZ" of a UTC time.
std::string formatAmzDate(std::time_t time);

std::string sha256Hex(const std::string& data);
std::string hmacSha256(const std::string& key, const std::string& data);  // raw 32 bytes
std::string toHex(const std::string& bytes);

}  // namespace velmora::Utils::SigV4
