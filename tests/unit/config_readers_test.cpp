// Typed reads of required configuration entries.
#include <gtest/gtest.h>

#include "config_readers.h"

namespace {

using velmora::Utils::ConfigEntries;
using namespace velmora::Utils;

std::string errorOf(const std::function<void()>& read) {
    try {
        read();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

TEST(ConfigReaders, Booleans) {
    ConfigEntries config{{"b", true},
                         {"i", 0},
                         {"t", std::string("TRUE")},
                         {"one", std::string("1")},
                         {"f", std::string("False")},
                         {"zero", std::string("0")},
                         {"yes", std::string("yes")},
                         {"d", 1.5}};
    EXPECT_TRUE(readConfigBool(config, "b"));
    EXPECT_FALSE(readConfigBool(config, "i"));
    EXPECT_TRUE(readConfigBool(config, "t"));
    EXPECT_TRUE(readConfigBool(config, "one"));
    EXPECT_FALSE(readConfigBool(config, "f"));
    EXPECT_FALSE(readConfigBool(config, "zero"));
    EXPECT_EQ(errorOf([&] { readConfigBool(config, "yes"); }), "Expected boolean string for key: yes");
    EXPECT_EQ(errorOf([&] { readConfigBool(config, "d"); }), "Expected bool/int/string for config key: d");
    EXPECT_EQ(errorOf([&] { readConfigBool(config, "absent"); }),
              "Expected bool/int/string for config key: absent");
    EXPECT_EQ(config.count("absent"), 1u);  // looked up as the map's operator[] does
}

TEST(ConfigReaders, StringsAndIntegers) {
    ConfigEntries config{
        {"s", std::string("")}, {"n", 20000}, {"big", Poco::Int64(1) << 40}, {"text", std::string("5")}};
    EXPECT_EQ(readConfigString(config, "s"), "");
    EXPECT_EQ(errorOf([&] { readConfigString(config, "n"); }), "Expected string for config key: n");
    EXPECT_EQ(errorOf([&] { readConfigString(config, "none"); }), "Expected string for config key: none");
    EXPECT_EQ(readConfigInt64(config, "n"), 20000);
    EXPECT_EQ(readConfigInt64(config, "big"), Poco::Int64(1) << 40);
    EXPECT_EQ(errorOf([&] { readConfigInt64(config, "text"); }), "Expected integer64 for config key: text");
    EXPECT_EQ(errorOf([&] { readConfigInt64(config, "none"); }), "Expected integer64 for config key: none");
}

}  // namespace
