#pragma once

// Who may call the local API. A page open in the till's browser can send requests
// to 127.0.0.1 (a text/plain POST needs no preflight), so anything a browser marks
// as coming from a page is refused unless the deployment lists that page's origin;
// the till software, which is no browser, sends neither of those headers. With a
// token configured, every caller must also present it.

#include <optional>
#include <string>
#include <vector>

namespace velmora::Engine::Test {

// The request headers the decision looks at; absent ones are empty optionals.
struct CallerHeaders {
    std::string method;
    std::optional<std::string> origin;         // Origin
    std::optional<std::string> fetchSite;      // Sec-Fetch-Site
    std::optional<std::string> authorization;  // Authorization
};

enum class Access {
    Allowed,
    Forbidden,     // 403: a browser page not listed, or an OPTIONS (preflight) request
    Unauthorized,  // 401: a token is configured and the request does not carry it
};

struct AccessDecision {
    Access access = Access::Allowed;
    std::string reason;  // for the answer and the log; "" when allowed
};

// `token` empty: no token is asked for.
AccessDecision decideAccess(const CallerHeaders& caller, const std::vector<std::string>& allowedOrigins,
                            const std::string& token);

// Equality whose time depends on the lengths only, never on where the texts differ.
bool constantTimeEquals(const std::string& given, const std::string& expected);

}  // namespace velmora::Engine::Test
