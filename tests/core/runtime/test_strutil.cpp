// String utilities of the adapter and the configuration code.
#include <gtest/gtest.h>

#include <string>

#include "strutil.h"

struct NumberCase {
    const char* text;
    int64_t value;
};
void PrintTo(const NumberCase& c, std::ostream* out) { *out << (c.text ? c.text : "(null)"); }

class Hex : public ::testing::TestWithParam<NumberCase> {};

TEST_P(Hex, ConvertsOnlyWholeNumbers) {
    EXPECT_EQ(hexstrtol(GetParam().text), GetParam().value) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Hex,
    ::testing::Values(NumberCase{"1f", 31}, NumberCase{"0x1F", 31}, NumberCase{"1g", 0},
                      NumberCase{"", 0}, NumberCase{nullptr, 0}, NumberCase{"-a", -10},
                      NumberCase{"  ff", 255}, NumberCase{"ff ", 0}, NumberCase{"0x", 0},
                      NumberCase{"fffffffff", INT32_MAX}, NumberCase{"-fffffffff", INT32_MIN}));

// Time-out keys read seconds as atoi does and saturate in milliseconds.
class TimeoutKey : public ::testing::TestWithParam<NumberCase> {};

TEST_P(TimeoutKey, SaturatesInMilliseconds) {
    EXPECT_EQ(secondsToMillis(GetParam().text), GetParam().value) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, TimeoutKey,
    ::testing::Values(NumberCase{"15", 15000}, NumberCase{" 7s", 7000}, NumberCase{"x", 0},
                      NumberCase{nullptr, 0}, NumberCase{"-2", -2000},
                      NumberCase{"2147483", 2147483000}, NumberCase{"2147484", INT32_MAX},
                      NumberCase{"99999999999999999999", INT32_MAX},
                      NumberCase{"-2147484", INT32_MIN}));

// A response's Content-Length as a 64-bit offset; -1 for anything but a decimal number.
class ContentLength : public ::testing::TestWithParam<NumberCase> {};

TEST_P(ContentLength, IsA64BitOffset) {
    EXPECT_EQ(parseContentLength(GetParam().text), GetParam().value) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ContentLength,
    ::testing::Values(NumberCase{"0", 0}, NumberCase{"1234", 1234},
                      NumberCase{"3000000000", 3000000000}, NumberCase{" 42 ", 42},
                      NumberCase{"9223372036854775807", INT64_MAX},
                      NumberCase{"9223372036854775808", -1}, NumberCase{"-5", -1},
                      NumberCase{"+5", -1}, NumberCase{"12a", -1}, NumberCase{"", -1},
                      NumberCase{nullptr, -1}));

TEST(CaseMapping, DashesUnderscoresAndCase) {
    char out[32];
    toUpperCaseWithDashes(nullptr, "content_type", out);
    EXPECT_STREQ(out, "CONTENT-TYPE");
    toLowerCaseWithUnderscores(nullptr, "Content-Type", out);
    EXPECT_STREQ(out, "content_type");
    char dashed[] = "a-b";
    EXPECT_EQ(fromDashesToUnderscores(nullptr, dashed), 1);
    EXPECT_EQ(fromDashesToUnderscores(nullptr, dashed), 0);  // nothing left to replace
}
