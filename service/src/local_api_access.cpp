#include "local_api_access.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <mutex>
#include <vector>

#include "local_api_settings.h"

namespace velmora::Engine::Test {

bool constantTimeEquals(const std::string& given, const std::string& expected) {
    unsigned char difference = given.size() == expected.size() ? 0 : 1;
    const std::size_t length = std::max(given.size(), expected.size());
    for (std::size_t i = 0; i < length; ++i) {
        const unsigned char a = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
        const unsigned char b = i < expected.size() ? static_cast<unsigned char>(expected[i]) : 0;
        difference |= static_cast<unsigned char>(a ^ b);
    }
    return difference == 0;
}

namespace {

bool listed(const std::optional<std::string>& origin, const std::vector<std::string>& allowedOrigins) {
    return origin && std::find(allowedOrigins.begin(), allowedOrigins.end(), *origin) != allowedOrigins.end();
}

// Sec-Fetch-Site "same-origin" cannot come from another page, and "none" is a
// request the user typed or bookmarked.
bool fromAnotherSite(const std::optional<std::string>& fetchSite) {
    return fetchSite && *fetchSite != "same-origin" && *fetchSite != "none";
}

}  // namespace

bool hostNamesThisMachine(const std::string& host) {
    std::string name = host;
    if (!name.empty() && name.front() == '[') {
        const auto close = name.find(']');
        if (close == std::string::npos) {
            return false;
        }
        name = name.substr(1, close - 1);
    } else if (std::count(name.begin(), name.end(), ':') == 1) {
        name = name.substr(0, name.find(':'));
    }
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (name == "localhost" || name == "localhost.") {
        return true;
    }
    // The status page asks every few seconds: the interfaces are listed again at
    // most every ten seconds, soon enough for an address that comes or goes.
    static std::mutex mutex;
    static std::chrono::steady_clock::time_point listedAt;
    static std::vector<Poco::Net::IPAddress> addresses;
    std::lock_guard<std::mutex> lock(mutex);
    const auto now = std::chrono::steady_clock::now();
    if (listedAt == std::chrono::steady_clock::time_point{} || now - listedAt > std::chrono::seconds(10)) {
        addresses = Utils::addressesOfThisHost();
        listedAt = now;
    }
    return Utils::isAddressOfThisHost(name, addresses);
}

AccessDecision decideAccess(const CallerHeaders& caller, const std::vector<std::string>& allowedOrigins,
                            const std::string& token,
                            const std::function<bool(const std::string& host)>& isThisMachine) {
    // No route takes OPTIONS, and a preflight must never learn of an allow list.
    if (caller.method == "OPTIONS") {
        return {Access::Forbidden, "OPTIONS is not served"};
    }
    const bool fromBrowser = caller.origin || caller.fetchSite;
    if (fromBrowser && !listed(caller.origin, allowedOrigins)) {
        // The agent's own page: its fetches are same-origin (a POST carries an Origin of
        // http://<Host>), and it was opened by typing its address.
        const bool ownPage = caller.host && (caller.origin ? *caller.origin == "http://" + *caller.host
                                                           : !fromAnotherSite(caller.fetchSite));
        if (!ownPage || !isThisMachine(*caller.host)) {
            return {Access::Forbidden, caller.origin ? "origin " + *caller.origin + " is not allowed"
                                                     : "browser requests are not allowed"};
        }
    }
    if (!token.empty()) {
        const std::string scheme = "Bearer ";
        const bool carried = caller.authorization && caller.authorization->rfind(scheme, 0) == 0;
        if (!carried || !constantTimeEquals(caller.authorization->substr(scheme.size()), token)) {
            return {Access::Unauthorized, "a valid bearer token is required"};
        }
    }
    return {};
}

}  // namespace velmora::Engine::Test
