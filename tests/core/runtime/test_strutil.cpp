// String utilities of the adapter and the configuration code.
#include <gtest/gtest.h>

#include <string>

#include "strutil.h"

namespace {
struct Num {
    const char* text;
    int64_t value;
};
std::string shown(const char* text) { return text ? text : "(null)"; }
}  // namespace

TEST(Spans, LargestUnitFirstEachCarried) {
    const std::pair<int64_t, const char*> cases[] = {
        {-5000, "0 s"},       {999, "0 s"},         {59999, "59 s"},
        {60000, "1 m 0 s"},   {80000, "1 m 20 s"},  {3599000, "59 m 59 s"},
        {3600000, "1 h 0 m 0 s"}, {183845000, "2 d 3 h 4 m 5 s"}};
    for (const auto& [ms, text] : cases) {
        char out[64];
        spanText(ms, out, sizeof out);
        EXPECT_STREQ(out, text) << ms;
    }
    char small[8];  // cut, never past its end
    spanText(183845000, small, sizeof small);
    EXPECT_STREQ(small, "2 d 3 h");
}

TEST(Numbers, HexAndContentLengths) {
    // Only whole hexadecimal numbers, saturating at the int32 limits.
    for (Num c : {Num{"1f", 31}, Num{"0x1F", 31}, Num{"1g", 0}, Num{"", 0}, Num{nullptr, 0},
                  Num{"-a", -10}, Num{"  ff", 255}, Num{"ff ", 0}, Num{"0x", 0},
                  Num{"fffffffff", INT32_MAX}, Num{"-fffffffff", INT32_MIN}})
        EXPECT_EQ(hexstrtol(c.text), c.value) << shown(c.text);
    // A response's Content-Length is a 64-bit offset; -1 for anything but a decimal number.
    for (Num c : {Num{"0", 0}, Num{"1234", 1234}, Num{"3000000000", 3000000000}, Num{" 42 ", 42},
                  Num{"9223372036854775807", INT64_MAX}, Num{"9223372036854775808", -1},
                  Num{"-5", -1}, Num{"+5", -1}, Num{"12a", -1}, Num{"", -1}, Num{nullptr, -1}})
        EXPECT_EQ(parseContentLength(c.text), c.value) << shown(c.text);
}
