// Who may call the local API: browser pages only from a listed origin, never a
// preflight, and the token when one is configured.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "local_api_access.h"

namespace {

using velmora::Engine::Test::Access;
using velmora::Engine::Test::CallerHeaders;
using velmora::Engine::Test::constantTimeEquals;
using velmora::Engine::Test::decideAccess;

struct AccessCase {
    const char* name;
    CallerHeaders caller;
    std::string token;
    Access expected;
};

const std::vector<std::string> kListed = {"http://till.local:8080"};

class LocalApiAccess : public ::testing::TestWithParam<AccessCase> {};

TEST_P(LocalApiAccess, Decides) {
    const AccessCase& c = GetParam();
    // This machine is reached as localhost and 127.0.0.1 here; a rebinding domain is not it.
    const auto decision = decideAccess(c.caller, kListed, c.token, [](const std::string& host) {
        return host == "localhost:5555" || host == "127.0.0.1:5555";
    });
    EXPECT_EQ(decision.access, c.expected);
    EXPECT_EQ(decision.reason.empty(), c.expected == Access::Allowed) << decision.reason;
}

const AccessCase kCases[] = {
    {"TillWithoutBrowserHeaders", {"POST", {}, {}, {}}, "", Access::Allowed},
    {"ForeignOrigin", {"POST", "http://ads.example", {}, {}}, "", Access::Forbidden},
    {"OpaqueOrigin", {"POST", "null", {}, {}}, "", Access::Forbidden},
    {"ListedOrigin", {"POST", "http://till.local:8080", "cross-site", {}}, "", Access::Allowed},
    {"ListedHostOtherPort", {"POST", "http://till.local:8081", {}, {}}, "", Access::Forbidden},
    {"CrossSiteWithoutOrigin", {"GET", {}, "cross-site", {}}, "", Access::Forbidden},
    {"SameSite", {"GET", {}, "same-site", {}}, "", Access::Forbidden},
    {"SameOrigin", {"GET", {}, "same-origin", {}, "127.0.0.1:5555"}, "", Access::Allowed},
    {"TypedByTheUser", {"GET", {}, "none", {}, "localhost:5555"}, "", Access::Allowed},
    // The agent's own page: its POSTs carry an Origin of http://<Host>.
    {"OwnPagePost",
     {"POST", "http://127.0.0.1:5555", "same-origin", {}, "127.0.0.1:5555"},
     "",
     Access::Allowed},
    {"OwnPageOriginOtherPort",
     {"POST", "http://127.0.0.1:8080", "same-site", {}, "127.0.0.1:5555"},
     "",
     Access::Forbidden},
    // A domain made to resolve to this computer looks same-origin to the browser.
    {"RebindingDomainGet", {"GET", {}, "same-origin", {}, "evil.example:5555"}, "", Access::Forbidden},
    {"RebindingDomainPost",
     {"POST", "http://evil.example:5555", "same-origin", {}, "evil.example:5555"},
     "",
     Access::Forbidden},
    {"SameOriginWithoutHost", {"GET", {}, "same-origin", {}}, "", Access::Forbidden},
    {"Preflight", {"OPTIONS", "http://till.local:8080", {}, {}}, "", Access::Forbidden},
    {"OptionsFromTheTill", {"OPTIONS", {}, {}, {}}, "", Access::Forbidden},
    {"TokenMissing", {"POST", {}, {}, {}}, "s3cret", Access::Unauthorized},
    {"TokenRight", {"POST", {}, {}, "Bearer s3cret"}, "s3cret", Access::Allowed},
    {"TokenWrong", {"POST", {}, {}, "Bearer s3creT"}, "s3cret", Access::Unauthorized},
    {"TokenLonger", {"POST", {}, {}, "Bearer s3cret2"}, "s3cret", Access::Unauthorized},
    {"TokenEmpty", {"POST", {}, {}, "Bearer "}, "s3cret", Access::Unauthorized},
    {"TokenOtherScheme", {"POST", {}, {}, "Basic s3cret"}, "s3cret", Access::Unauthorized},
    {"ForeignOriginWithToken",
     {"POST", "http://ads.example", {}, "Bearer s3cret"},
     "s3cret",
     Access::Forbidden},
    {"HeaderWithoutConfiguredToken", {"POST", {}, {}, "Bearer anything"}, "", Access::Allowed},
};

INSTANTIATE_TEST_SUITE_P(Cases, LocalApiAccess, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<AccessCase>& info) { return info.param.name; });

TEST(LocalApiAccessCompare, EqualOnlyWhenEveryByteAndTheLengthMatch) {
    EXPECT_TRUE(constantTimeEquals("abc", "abc"));
    EXPECT_TRUE(constantTimeEquals("", ""));
    EXPECT_FALSE(constantTimeEquals("abd", "abc"));
    EXPECT_FALSE(constantTimeEquals("ab", "abc"));
    EXPECT_FALSE(constantTimeEquals("abc", "ab"));
    EXPECT_FALSE(constantTimeEquals(std::string("ab\0", 3), "ab"));
}

TEST(LocalApiAccessHost, NamesThisMachineOnlyByLoopbackOrItsOwnAddresses) {
    using velmora::Engine::Test::hostNamesThisMachine;
    for (const char* host :
         {"localhost", "LOCALHOST:5555", "127.0.0.1:5555", "127.3.4.5", "[::1]:5555", "::1"}) {
        EXPECT_TRUE(hostNamesThisMachine(host)) << host;
    }
    for (const char* host :
         {"evil.example:5555", "10.255.255.254:5555", "", "[::1", "localhost.evil.example"}) {
        EXPECT_FALSE(hostNamesThisMachine(host)) << host;
    }
}

}  // namespace
