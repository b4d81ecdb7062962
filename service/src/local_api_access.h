#pragma once

// Who may call the local API. A page open in the till's browser can send requests
// to 127.0.0.1 (a text/plain POST needs no preflight), so anything a browser marks
// as coming from a page is refused unless the deployment lists that page's origin;
// the till software, which is no browser, sends neither of those headers. The
// agent's own status page is let through when it is served under a name of this
// computer. With a token configured, every caller must also present it.

#include <functional>
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
    std::optional<std::string> host = {};      // Host
};

// Whether a Host header names this computer: localhost, a loopback address or one of
// its own addresses, with any port. A page served under another name (a domain made
// to resolve to this computer) is not the agent's own page.
bool hostNamesThisMachine(const std::string& host);

enum class Access {
    Allowed,
    Forbidden,     // 403: a browser page not listed, or an OPTIONS (preflight) request
    Unauthorized,  // 401: a token is configured and the request does not carry it
};

struct AccessDecision {
    Access access = Access::Allowed;
    std::string reason;  // for the answer and the log; "" when allowed
};

// `token` empty: no token is asked for. A browser request of the agent's own page
// (same-origin, typed in, or an Origin equal to http://<Host>) is allowed when
// `isThisMachine` says its Host names this computer; it is only asked for then.
AccessDecision decideAccess(const CallerHeaders& caller, const std::vector<std::string>& allowedOrigins,
                            const std::string& token,
                            const std::function<bool(const std::string& host)>& isThisMachine);

// Equality whose time depends on the lengths only, never on where the texts differ.
bool constantTimeEquals(const std::string& given, const std::string& expected);

}  // namespace velmora::Engine::Test
