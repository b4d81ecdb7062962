// Conversion of JSON trees between Poco dynamic values and boost::json.
#include <gtest/gtest.h>

#include <Poco/DateTime.h>
#include <Poco/Dynamic/Var.h>
#include <Poco/Exception.h>
#include <Poco/JSON/Array.h>
#include <Poco/JSON/Object.h>
#include <Poco/JSON/Parser.h>
#include <Poco/JSON/Stringifier.h>
#include <boost/json.hpp>

#include <cstdint>
#include <limits>
#include <sstream>

#include "json_convert.h"

namespace {

using velmora::Utils::convertJsonBoost2Poco;
using velmora::Utils::convertPoco2Boost;

std::string stringify(const Poco::Dynamic::Var& value) {
    std::ostringstream out;
    Poco::JSON::Stringifier::stringify(value, out);
    return out.str();
}

TEST(JsonConvert, NestedTreeSurvivesTheRoundTrip) {
    const boost::json::value original = boost::json::parse(
        R"({"b":1.5,"a":[1,true,null,"x"],"c":{"z":{"deep":[[],{}]},"y":-7,"x":"\u0444\u0430\u0439\u043b"},)"
        R"("d":18446744073709551615,"e":-9223372036854775808,"f":false,"g":""})");
    const Poco::Dynamic::Var poco = convertJsonBoost2Poco(original);
    ASSERT_EQ(poco.type(), typeid(Poco::JSON::Object::Ptr));
    const auto object = poco.extract<Poco::JSON::Object::Ptr>();
    const auto array = object->getArray("a");
    ASSERT_EQ(array->size(), 4u);
    EXPECT_EQ(array->get(0).type(), typeid(Poco::Int64));
    EXPECT_EQ(array->get(1).type(), typeid(bool));
    EXPECT_TRUE(array->get(2).isEmpty());
    EXPECT_EQ(array->get(3).extract<std::string>(), "x");
    EXPECT_EQ(object->get("b").type(), typeid(double));
    EXPECT_EQ(object->get("d").type(), typeid(Poco::UInt64));

    const boost::json::value back = convertPoco2Boost(poco);
    EXPECT_EQ(back, original);
    // Members come back sorted by key.
    std::string keys;
    for (const auto& member : back.as_object()) {
        keys += std::string(member.key());
    }
    EXPECT_EQ(keys, "abcdefg");
    EXPECT_EQ(boost::json::serialize(back.at("a")), R"([1,true,null,"x"])");
}

TEST(JsonConvert, FreshContainersShareNothingWithTheInput) {
    Poco::JSON::Object::Ptr inner = new Poco::JSON::Object();
    inner->set("n", 1);
    Poco::JSON::Object::Ptr outer = new Poco::JSON::Object();
    outer->set("inner", inner);
    const Poco::Dynamic::Var copy = convertJsonBoost2Poco(convertPoco2Boost(outer));
    inner->set("n", 2);
    EXPECT_EQ(stringify(copy), R"({"inner":{"n":1}})");
}

TEST(JsonConvert, NullAndEmpty) {
    EXPECT_TRUE(convertPoco2Boost(Poco::Dynamic::Var()).is_null());
    EXPECT_TRUE(convertJsonBoost2Poco(boost::json::value(nullptr)).isEmpty());
    EXPECT_EQ(convertPoco2Boost(Poco::JSON::Array::Ptr(new Poco::JSON::Array())), boost::json::array());
    EXPECT_EQ(convertPoco2Boost(Poco::JSON::Object::Ptr(new Poco::JSON::Object())), boost::json::object());
    EXPECT_EQ(stringify(convertJsonBoost2Poco(boost::json::parse("{}"))), "{}");
    EXPECT_EQ(stringify(convertJsonBoost2Poco(boost::json::parse("[]"))), "[]");
}

TEST(JsonConvert, PocoScalarsByHeldType) {
    struct Case {
        Poco::Dynamic::Var input;
        boost::json::value expected;
        boost::json::kind kind;
    };
    const Case cases[] = {
        {std::string("text"), "text", boost::json::kind::string},
        {"literal", "literal", boost::json::kind::string},
        {true, true, boost::json::kind::bool_},
        {Poco::Int64(-5000000000), std::int64_t(-5000000000), boost::json::kind::int64},
        {long(-3), std::int64_t(-3), boost::json::kind::int64},
        {int(42), std::int64_t(42), boost::json::kind::int64},
        {Poco::UInt64(5000000000), std::uint64_t(5000000000), boost::json::kind::uint64},
        {unsigned(7), std::uint64_t(7), boost::json::kind::uint64},
        {2.5, 2.5, boost::json::kind::double_},
        {0.5f, 0.5, boost::json::kind::double_},
        // 8- and 16-bit integers travel as text.
        {Poco::Int16(7), "7", boost::json::kind::string},
        {Poco::UInt16(65535), "65535", boost::json::kind::string},
        {Poco::Int8(-8), "-8", boost::json::kind::string},
        {'c', "c", boost::json::kind::string},
    };
    for (const auto& c : cases) {
        const boost::json::value result = convertPoco2Boost(c.input);
        EXPECT_EQ(result.kind(), c.kind) << boost::json::serialize(c.expected);
        EXPECT_EQ(result, c.expected);
    }
    const boost::json::value date = convertPoco2Boost(Poco::DateTime(2026, 2, 16, 13, 52, 48));
    ASSERT_TRUE(date.is_string());
    EXPECT_EQ(std::string(date.as_string()), "2026-02-16T13:52:48Z");
}

TEST(JsonConvert, BoostScalarsByKind) {
    EXPECT_EQ(convertJsonBoost2Poco(boost::json::value(true)).type(), typeid(bool));
    EXPECT_EQ(convertJsonBoost2Poco(boost::json::value(std::int64_t(-1))).extract<Poco::Int64>(), -1);
    EXPECT_EQ(convertJsonBoost2Poco(boost::json::value(0.25)).extract<double>(), 0.25);
    const std::string bytes("a\0b\xD1\x84", 5);
    EXPECT_EQ(convertJsonBoost2Poco(boost::json::value(boost::json::string(bytes))).extract<std::string>(),
              bytes);
}

TEST(JsonConvert, UnsignedAboveTheSignedRangeStaysUnsigned) {
    const std::uint64_t big = std::uint64_t(std::numeric_limits<std::int64_t>::max()) + 1;
    const Poco::Dynamic::Var poco = convertJsonBoost2Poco(boost::json::value(big));
    ASSERT_EQ(poco.type(), typeid(Poco::UInt64));
    EXPECT_EQ(poco.extract<Poco::UInt64>(), big);
    const boost::json::value back = convertPoco2Boost(poco);
    ASSERT_TRUE(back.is_uint64());
    EXPECT_EQ(back.as_uint64(), big);
    EXPECT_EQ(boost::json::serialize(back), "9223372036854775808");
}

TEST(JsonConvert, ParsedPocoDocumentConvertsWhole) {
    Poco::JSON::Parser parser;
    const Poco::Dynamic::Var parsed =
        parser.parse(R"({"items":[{"id":"123","score":0.75}],"sid":42,"ok":null})");
    EXPECT_EQ(convertPoco2Boost(parsed),
              boost::json::parse(R"({"items":[{"id":"123","score":0.75}],"ok":null,"sid":42})"));
}

TEST(JsonConvert, NullContainerPointersRaise) {
    EXPECT_THROW(convertPoco2Boost(Poco::JSON::Array::Ptr()), Poco::NullPointerException);
    Poco::JSON::Object::Ptr outer = new Poco::JSON::Object();
    outer->set("broken", Poco::JSON::Object::Ptr());
    EXPECT_THROW(convertPoco2Boost(outer), Poco::NullPointerException);
}

}  // namespace
