// Unit tests of what the back-end decodes by itself: property text, the bounds-checked
// cursor and the items of a request message.
#include <gtest/gtest.h>

#include "properties.h"
#include "service_message.h"
#include "wire.h"
#include "wire_client.h"

namespace quon_backend {
namespace {

using backend_test::be32;
using backend_test::cgiItems;
using backend_test::item;
using backend_test::str;

struct PropertyCase {
    const char* name;
    std::string text;
    PropertyList expected;
};

void PrintTo(const PropertyCase& c, std::ostream* os) { *os << c.name; }

class PropertyTextTest : public testing::TestWithParam<PropertyCase> {};

TEST_P(PropertyTextTest, ParsesToTheExpectedPairs) {
    const PropertyList got = parsePropertyText(GetParam().text);
    ASSERT_EQ(got.size(), GetParam().expected.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].key, GetParam().expected[i].key) << i;
        EXPECT_EQ(got[i].value, GetParam().expected[i].value) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Syntax, PropertyTextTest,
    testing::Values(PropertyCase{"Plain", "a=1\nb=2\n", {{"a", "1"}, {"b", "2"}}},
                    PropertyCase{"BlanksKept", "k = v\n", {{"k ", " v"}}},
                    PropertyCase{"CrLfLikeLf", "a=1\r\nb=2\r\n", {{"a", "1"}, {"b", "2"}}},
                    PropertyCase{"CrCrLfKeepsOneCr", "a=1\r\r\n", {{"a", "1\r"}}},
                    PropertyCase{"CommentsAndEmptyLines", "# c\n\n\na=1\n#x=2", {{"a", "1"}}},
                    PropertyCase{"HashInsideIsPlain", "a=#1\n", {{"a", "#1"}}},
                    PropertyCase{"Backslashes",
                                 "a=x\\yz\nb=\\\\\nc=q\\\nd=4",
                                 {{"a", "xyz"}, {"b", "\\"}, {"c", "q"}, {"d", "4"}}},
                    PropertyCase{"NoValueSkipped", "lonely\na=1\n", {{"a", "1"}}},
                    PropertyCase{"UnfinishedLastKeyDropped", "a=1\nb", {{"a", "1"}}},
                    PropertyCase{"EmptyValue", "a=\n", {{"a", ""}}},
                    PropertyCase{"LeadingEquals", "==x\n", {{"=", "x"}}},
                    PropertyCase{"MoreEqualsInValue", "/a/*=x=y\n", {{"/a/*", "x=y"}}},
                    PropertyCase{"CtrlZEndsText",
                                 "a=1\n\x1A"
                                 "b=2\n",
                                 {{"a", "1"}}},
                    PropertyCase{"NulEndsText", std::string("a=1\n\0b=2\n", 9), {{"a", "1"}}},
                    PropertyCase{"DuplicatesKept", "a=1\na=2\n", {{"a", "1"}, {"a", "2"}}}),
    [](const testing::TestParamInfo<PropertyCase>& info) { return info.param.name; });

TEST(PropertyLookup, FindsTheFirstEntryOfAKey) {
    const PropertyList list = parsePropertyText("rep_id=AAAA\nrep_id=BBBB\n");
    ASSERT_NE(findProperty(list, "rep_id"), nullptr);
    EXPECT_EQ(*findProperty(list, "rep_id"), "AAAA");
    EXPECT_EQ(findProperty(list, "missing"), nullptr);
}

TEST(ByteCursorTest, RefusesStringsThatRunPastTheEnd) {
    struct Case {
        std::string bytes;
        bool ok;
    };
    const Case cases[] = {{be32(3) + "abc", true},
                          {be32(4) + "abc", false},
                          {be32(-1) + "abc", false},
                          {be32(0x7FFFFFFF) + "abc", false},
                          {std::string("\0\0\1", 3), false}};
    for (const Case& c : cases) {
        ByteCursor cursor(c.bytes);
        std::string text;
        EXPECT_EQ(cursor.readString(text), c.ok) << testing::PrintToString(c.bytes);
        if (c.ok) {
            EXPECT_EQ(text, "abc");
            EXPECT_EQ(cursor.remaining(), 0u);
        }
    }
}

TEST(ServiceItemsTest, ReadsEveryKindOfItem) {
    const std::string items = be32(18) + str("attr") + str(std::string("v\0w", 3)) +
                              cgiItems("POST", "a=1") + item(23, "/app/echo") + item(30, "arg") +
                              be32(32) + str("Host") + str("h") + item(42, "SESSION") + be32(31);
    AppRequest r;
    std::string error;
    ASSERT_TRUE(parseServiceItems(items, r, error)) << error;
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.queryString, "a=1");
    EXPECT_EQ(r.uri, "/app/echo");
    ASSERT_EQ(r.attributes.size(), 1u);
    EXPECT_EQ(r.attributes[0].value, std::string("v\0w", 3));
    ASSERT_EQ(r.cgi.size(), 13u);
    EXPECT_EQ(r.cgi[12].name, "AUTH_TYPE");
    EXPECT_EQ(r.arg, "arg");
    ASSERT_EQ(r.headers.size(), 1u);
    EXPECT_EQ(r.headers[0].name, "Host");
    EXPECT_EQ(r.sessionId, "SESSION");
}

struct BadItemsCase {
    const char* name;
    std::string items;
    const char* error;  // a part of the reason given
};

void PrintTo(const BadItemsCase& c, std::ostream* os) { *os << c.name; }

class BadServiceItemsTest : public testing::TestWithParam<BadItemsCase> {};

TEST_P(BadServiceItemsTest, IsRefusedWithAReason) {
    AppRequest r;
    std::string error;
    EXPECT_FALSE(parseServiceItems(GetParam().items, r, error));
    EXPECT_NE(error.find(GetParam().error), std::string::npos) << error;
}

const std::string kCgi = cgiItems("GET", "");

INSTANTIATE_TEST_SUITE_P(
    Order, BadServiceItemsTest,
    testing::Values(
        BadItemsCase{"Empty", "", "truncated item code"},
        BadItemsCase{"CgiOutOfOrder", item(22, "GET") + item(19, ""), "expected item 19"},
        BadItemsCase{"MissingUri", kCgi + be32(31), "expected item 23"},
        BadItemsCase{"MissingEnd", kCgi + item(23, "/"), "truncated item code"},
        BadItemsCase{"UnknownItem", kCgi + item(23, "/") + be32(77), "expected item 31"},
        BadItemsCase{
            "HeaderAfterSession",
            kCgi + item(23, "/") + item(42, "s") + be32(32) + str("a") + str("b") + be32(31),
            "expected item 31"},
        BadItemsCase{"BytesAfterEnd", kCgi + item(23, "/") + be32(31) + "x", "after item 31"},
        BadItemsCase{"StringPastEnd", kCgi + be32(23) + be32(1000) + "/", "bad string in item 23"},
        BadItemsCase{"NegativeLength", kCgi + be32(23) + be32(-5), "bad string in item 23"}),
    [](const testing::TestParamInfo<BadItemsCase>& info) { return info.param.name; });

}  // namespace
}  // namespace quon_backend
