// String utilities of the adapter and the configuration code.
#include <gtest/gtest.h>

#include <string>

#include "strutil.h"

struct HexCase {
    const char* text;
    int32_t value;
};

class Hex : public ::testing::TestWithParam<HexCase> {};

TEST_P(Hex, ConvertsOnlyWholeNumbers) {
    EXPECT_EQ(hexstrtol(GetParam().text), GetParam().value) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Hex,
    ::testing::Values(HexCase{"1f", 31}, HexCase{"0x1F", 31}, HexCase{"0X3", 3},
                      HexCase{"1g", 0}, HexCase{"", 0}, HexCase{"-a", -10},
                      HexCase{"  ff", 255}, HexCase{"ff ", 0}, HexCase{"0x", 0},
                      HexCase{"fffffffff", 2147483647}, HexCase{"-fffffffff", INT32_MIN},
                      HexCase{"3z", 0}));

TEST(Hex, NullIsZero) { EXPECT_EQ(hexstrtol(nullptr), 0); }

TEST(CaseMapping, DashesUnderscoresAndCase) {
    char out[32];
    toUpperCaseWithDashes(nullptr, "content_type", out);
    EXPECT_STREQ(out, "CONTENT-TYPE");
    toLowerCaseWithUnderscores(nullptr, "Content-Type", out);
    EXPECT_STREQ(out, "content_type");
    toUpperCaseWithUnderscores(nullptr, "x-a_b.9", out);
    EXPECT_STREQ(out, "X_A_B.9");
    toLowerCaseWithDashes(nullptr, "X_A-B", out);
    EXPECT_STREQ(out, "x-a-b");
    toLowerCaseWithDashes(nullptr, "", out);
    EXPECT_STREQ(out, "");
}

TEST(CaseMapping, InPlaceReplacementReportsWhetherItChangedAnything) {
    char plain[] = "plain";
    EXPECT_EQ(fromDashesToUnderscores(nullptr, plain), 0);
    EXPECT_STREQ(plain, "plain");
    char dashed[] = "a-b-c";
    EXPECT_EQ(fromDashesToUnderscores(nullptr, dashed), 1);
    EXPECT_STREQ(dashed, "a_b_c");
    EXPECT_EQ(fromUnderscoresToDashes(nullptr, dashed), 1);
    EXPECT_STREQ(dashed, "a-b-c");
    EXPECT_EQ(fromUnderscoresToDashes(nullptr, nullptr), 0);
    EXPECT_STREQ(normalizeURI(nullptr, "/a/../b"), "/a/../b");
}
