#include "aws_sigv4.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace velmora::Utils::SigV4 {

namespace {

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// Header values are signed trimmed, with inner runs of blanks folded to one space.
std::string foldValue(const std::string& value) {
    std::string out;
    bool blank = false;
    for (char c : value) {
        if (c == ' ' || c == '\t') {
            blank = true;
            continue;
        }
        if (blank && !out.empty()) {
            out += ' ';
        }
        blank = false;
        out += c;
    }
    return out;
}

Pairs encodedQuery(const Pairs& query) {
    Pairs encoded;
    encoded.reserve(query.size());
    for (const auto& [name, value] : query) {
        encoded.emplace_back(uriEncode(name, false), uriEncode(value, false));
    }
    std::sort(encoded.begin(), encoded.end());
    return encoded;
}

std::string joinQuery(const Pairs& encoded) {
    std::string out;
    for (const auto& [name, value] : encoded) {
        if (!out.empty()) {
            out += '&';
        }
        out += name + "=" + value;
    }
    return out;
}

std::string canonicalPath(const std::string& path) {
    if (path.empty()) {
        return "/";
    }
    std::string encoded = uriEncode(path, true);
    return encoded.front() == '/' ? encoded : "/" + encoded;
}

}  // namespace

std::string toHex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 0x0F];
    }
    return out;
}

std::string sha256Hex(const std::string& data) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest);
    return toHex(std::string(reinterpret_cast<const char*>(digest), sizeof digest));
}

std::string hmacSha256(const std::string& key, const std::string& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
             reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest, &length) == nullptr) {
        throw std::runtime_error("HMAC-SHA256 failed");
    }
    return std::string(reinterpret_cast<const char*>(digest), length);
}

std::string uriEncode(const std::string& text, bool keepSlash) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() * 3);
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' || (keepSlash && c == '/')) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 0x0F];
        }
    }
    return out;
}

std::string requestTarget(const std::string& path, const Pairs& query) {
    std::string target = canonicalPath(path);
    if (!query.empty()) {
        target += "?" + joinQuery(encodedQuery(query));
    }
    return target;
}

std::string formatAmzDate(std::time_t time) {
    std::tm parts{};
    gmtime_r(&time, &parts);
    char text[17];
    std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &parts);
    return text;
}

Signed sign(const Request& request, const std::string& region, const std::string& service,
            const Credentials& credentials, std::time_t time) {
    Signed result;
    result.amzDate = formatAmzDate(time);
    const std::string day = result.amzDate.substr(0, 8);

    // The signer owns the date and payload headers so they always match what was signed.
    Pairs headers;
    for (const auto& [name, value] : request.headers) {
        const std::string key = lower(name);
        if (key == "x-amz-date" || key == "x-amz-content-sha256" || key == "authorization") {
            continue;
        }
        headers.emplace_back(name, value);
    }
    headers.emplace_back("x-amz-content-sha256", request.payloadHash);
    headers.emplace_back("x-amz-date", result.amzDate);

    Pairs canonical;
    for (const auto& [name, value] : headers) {
        canonical.emplace_back(lower(name), foldValue(value));
    }
    std::stable_sort(canonical.begin(), canonical.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    // Repeated names are signed once, their values joined by commas in the order given.
    Pairs merged;
    for (const auto& entry : canonical) {
        if (!merged.empty() && merged.back().first == entry.first) {
            merged.back().second += "," + entry.second;
        } else {
            merged.push_back(entry);
        }
    }
    if (std::none_of(merged.begin(), merged.end(), [](const auto& h) { return h.first == "host"; })) {
        throw std::invalid_argument("signed request without a host header");
    }

    std::string canonicalHeaders;
    std::string signedHeaders;
    for (const auto& [name, value] : merged) {
        canonicalHeaders += name + ":" + value + "\n";
        signedHeaders += (signedHeaders.empty() ? "" : ";") + name;
    }

    result.canonicalRequest = request.method + "\n" + canonicalPath(request.path) + "\n" +
                              joinQuery(encodedQuery(request.query)) + "\n" + canonicalHeaders + "\n" +
                              signedHeaders + "\n" + request.payloadHash;

    const std::string scope = day + "/" + region + "/" + service + "/aws4_request";
    result.stringToSign =
        "AWS4-HMAC-SHA256\n" + result.amzDate + "\n" + scope + "\n" + sha256Hex(result.canonicalRequest);

    const std::string dateKey = hmacSha256("AWS4" + credentials.secretAccessKey, day);
    const std::string regionKey = hmacSha256(dateKey, region);
    const std::string serviceKey = hmacSha256(regionKey, service);
    const std::string signingKey = hmacSha256(serviceKey, "aws4_request");
    result.signature = toHex(hmacSha256(signingKey, result.stringToSign));

    result.authorization = "AWS4-HMAC-SHA256 Credential=" + credentials.accessKeyId + "/" + scope +
                           ", SignedHeaders=" + signedHeaders + ", Signature=" + result.signature;
    result.headers = std::move(headers);
    result.headers.emplace_back("Authorization", result.authorization);
    return result;
}

}  // namespace velmora::Utils::SigV4
