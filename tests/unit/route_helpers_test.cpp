// The multipart boundary as RFC 2046 lets a client write it.
#include <gtest/gtest.h>

#include "route_helpers.h"

namespace {

using velmora::Engine::Test::multipartDelimiter;

struct BoundaryCase {
    const char* name;
    const char* contentType;
    const char* delimiter;  // null: no usable boundary
};

const BoundaryCase kBoundaries[] = {
    {"Plain", "multipart/form-data; boundary=----VelmoraBoundary7d91d0a123456",
     "------VelmoraBoundary7d91d0a123456"},
    {"Quoted", R"(multipart/form-data; boundary="abc")", "--abc"},
    {"QuotedWithBlank", R"(multipart/form-data; boundary="gc0p4Jq0M2Yt08j34c0p")", "--gc0p4Jq0M2Yt08j34c0p"},
    {"QuotedThenCharset", R"(multipart/form-data; boundary="simple boundary"; charset=utf-8)",
     "--simple boundary"},
    {"PlainThenCharset", "multipart/form-data; boundary=xyz; charset=utf-8", "--xyz"},
    {"AfterOtherParameter", "multipart/form-data; charset=utf-8; boundary=xyz", "--xyz"},
    {"NameInCapitals", "multipart/form-data; BOUNDARY=xyz", "--xyz"},
    {"None", "multipart/form-data", nullptr},
    {"Empty", R"(multipart/form-data; boundary="")", nullptr},
    {"LongerThanSeventy",
     "multipart/form-data; boundary=aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa",
     nullptr},
};

class MultipartBoundary : public ::testing::TestWithParam<BoundaryCase> {};

TEST_P(MultipartBoundary, IsReadAsTheMimeRulesWriteIt) {
    const BoundaryCase& c = GetParam();
    auto delimiter = multipartDelimiter(c.contentType);
    if (c.delimiter == nullptr) {
        EXPECT_FALSE(delimiter.has_value()) << *delimiter;
    } else {
        ASSERT_TRUE(delimiter.has_value());
        EXPECT_EQ(*delimiter, c.delimiter);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, MultipartBoundary, ::testing::ValuesIn(kBoundaries),
                         [](const auto& info) { return info.param.name; });

}  // namespace
