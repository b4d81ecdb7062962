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
    const auto decision = decideAccess(c.caller, kListed, c.token);
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
    {"SameOrigin", {"GET", {}, "same-origin", {}}, "", Access::Allowed},
    {"TypedByTheUser", {"GET", {}, "none", {}}, "", Access::Allowed},
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

}  // namespace
