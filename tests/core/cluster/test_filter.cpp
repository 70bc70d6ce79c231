// Request filtering: which entry a request falls under, as one table of cases, and
// path-parameter removal.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cluster_fixture.h"
#include "fake_web_server.h"
#include "filter.h"

namespace {
enum Ignore { kHonoured, kFlagSet, kFlagSetNotAsked };  // table flag and the caller's wish

struct MatchCase {
    const char* name;
    std::vector<std::string> patterns;  // in table order
    std::string uri;
    const char* filterPath;  // null: none
    const char* host;        // null: no HOST header
    int expected;            // entry index, or -1
    std::string trace = "";  // a trace line the call must write
    Ignore ignore = kHonoured;
};

void PrintTo(const MatchCase& c, std::ostream* out) { *out << c.name; }

class Matching : public ::testing::TestWithParam<MatchCase> {};
}  // namespace

TEST_P(Matching, FirstMatchingEntryInTableOrder) {
    const MatchCase& c = GetParam();
    FakeWebServer web;
    HandTable table(web.get());
    table.addPatterns(c.patterns);
    table->ignoreSuffixes = c.ignore == kHonoured ? 0 : 1;
    if (c.host) web.headers.emplace_back("Host", c.host);
    web.uri = c.uri;
    web.prepare();
    web->filterPath = c.filterPath;
    web.recorder.clear();
    int index = filterRequest(table.get(), web.get(), c.ignore == kFlagSetNotAsked ? 0 : 1);
    EXPECT_EQ(index, c.expected) << web.recorder.dump();
    const char* last = index < 0 ? "filterRequest:   no match" : nullptr;
    std::string matched = index < 0 ? "" : "filterRequest:   matched " + c.patterns[size_t(index)];
    EXPECT_EQ(web.recorder.count("trace", last ? last : matched.c_str()), 1) << web.recorder.dump();
    if (!c.trace.empty()) {
        EXPECT_EQ(web.recorder.count("trace", c.trace), 1) << web.recorder.dump();
    }
    EXPECT_EQ(web.headersHandedBack, 1);
    EXPECT_EQ(web.liveBlocks(), 0);
    EXPECT_EQ(table->lastActivity, QN_ACTIVITY_REQUEST);
}

INSTANTIATE_TEST_SUITE_P(
    Patterns, Matching,
    ::testing::Values(
        MatchCase{"OrderDecidesPrefixFirst", {"/app*", "*.jsp"}, "/app/x.jsp", nullptr, nullptr, 0},
        MatchCase{"OrderDecidesExtensionFirst", {"*.jsp", "/app*"}, "/app/x.jsp", nullptr, nullptr, 0,
                  "filterRequest:   matched *.jsp"},
        MatchCase{"PrefixAlone", {"/b*", "/app*"}, "/app", nullptr, nullptr, 1},
        MatchCase{"PrefixThenSlash", {"/app*"}, "/app/x", nullptr, nullptr, 0},
        MatchCase{"PrefixThenAmpersand", {"/app*"}, "/app&x", nullptr, nullptr, 0},
        MatchCase{"PrefixThenHash", {"/app*"}, "/app#x", nullptr, nullptr, 0},
        MatchCase{"PrefixNotAtBoundary", {"/app*"}, "/apple", nullptr, nullptr, -1},
        MatchCase{"PrefixIsCaseSensitive", {"/app*"}, "/APP/x", nullptr, nullptr, -1},
        MatchCase{"ExtensionIgnored", {"*.jsp", "/a*"}, "/a/x.jsp", nullptr, nullptr, 1,
                  "filtering ignored suffix: *.jsp", kFlagSet},
        MatchCase{"ExtensionIgnoredOnlyWhenAsked", {"*.jsp"}, "/a/x.jsp", nullptr, nullptr, 0, "",
                  kFlagSetNotAsked},
        MatchCase{"PrefixAndExtensionNotIgnored", {"/a*.jsp"}, "/a/x.jsp", nullptr, nullptr, 0, "",
                  kFlagSet},
        MatchCase{"ExtensionInParameters", {"*.jsp"}, "/a/page;id=x.jsp", nullptr, nullptr, -1,
                  "filterRequest: ignoring extension match after \";\""},
        MatchCase{"ExtensionBeforeParameters", {"*.jsp"}, "/a/x.jsp;id=y", nullptr, nullptr, 0,
                  "filtering /a/x.jsp;id=y (/a/x.jsp) HOST=null"},
        MatchCase{"ExtensionOfTheFileName", {"*.jsp"}, "/a/x", "/srv/www/x.jsp", "h", 0,
                  "filtering /a/x (/srv/www/x.jsp) HOST=h"},
        MatchCase{"PrefixAndExtension", {"/app*.do"}, "/app/a.do", nullptr, nullptr, 0},
        MatchCase{"PrefixAndExtensionWrongEnd", {"/app*.do"}, "/app/a.jsp", nullptr, nullptr, -1},
        MatchCase{"PrefixAndExtensionNotAtBoundary", {"/app*.do"}, "/apple.do", nullptr, nullptr, -1},
        MatchCase{"Exact", {"/status"}, "/status", nullptr, nullptr, 0},
        MatchCase{"ExactAsDirectory", {"/status"}, "/status/x", nullptr, nullptr, 0},
        MatchCase{"ExactNotLonger", {"/status"}, "/statusx", nullptr, nullptr, -1},
        MatchCase{"HostInAnyCase", {"//shop.test/app*"}, "/app/x", nullptr, "SHOP.Test", 0},
        MatchCase{"HostOtherName", {"//shop.test/app*"}, "/app/x", nullptr, "shop.tes", -1},
        MatchCase{"HostWithPortAgainstNone", {"//shop.test/app*"}, "/app/x", nullptr,
                  "shop.test:8080", -1},
        MatchCase{"HostWithSamePort", {"//shop.test:8080/app*"}, "/app/x", nullptr,
                  "Shop.test:8080", 0},
        MatchCase{"HostMissing", {"//shop.test/app*", "/app*"}, "/app/x", nullptr, nullptr, 1,
                  "filtering /app/x (/app/x) HOST=null"},
        MatchCase{"HostWithoutPath", {"//shop.test"}, "/x", nullptr, "shop.test", 0},
        MatchCase{"StarAloneTakesSlash", {"*"}, "/anything/at.all", nullptr, nullptr, 0},
        MatchCase{"StarAloneNeedsSlash", {"*"}, "x", nullptr, nullptr, -1},
        MatchCase{"SlashAlone", {"/"}, "/", nullptr, nullptr, 0},
        MatchCase{"SlashAloneThenSlash", {"/"}, "//x", nullptr, nullptr, 0},
        MatchCase{"SlashAloneThenAmpersand", {"/"}, "/&x", nullptr, nullptr, 0},
        MatchCase{"SlashAloneNotPath", {"/"}, "/x", nullptr, nullptr, -1},
        MatchCase{"Contains", {"/app*admin*"}, "/app/x/admin/y", nullptr, nullptr, 0},
        MatchCase{"ContainsMissing", {"/app*admin*"}, "/app/x", nullptr, nullptr, -1},
        MatchCase{"ContainsInFileName", {"/app*WEB-INF*"}, "/app/x", "/srv/app/WEB-INF/x", nullptr, 0},
        MatchCase{"ContainsFailsPrefix", {"/app*admin*"}, "/b/admin", nullptr, nullptr, -1},
        MatchCase{"ContainsFailsHost", {"//other.test/app*admin*"}, "/app/admin", nullptr,
                  "shop.test", -1},
        MatchCase{"ContainsNotAtBoundary", {"/app*admin*"}, "/apple/admin", nullptr, nullptr, -1},
        MatchCase{"EmptyTable", {}, "/x", nullptr, nullptr, -1}),
    [](const auto& info) { return std::string(info.param.name); });

// The trace shows at most 200 bytes of the URI and of the path without parameters.
TEST(MatchingTrace, LongTargetsAreCut) {
    FakeWebServer web;
    HandTable table(web.get());
    std::string tail(300, 'a');
    web.uri = "/" + tail + ";p=1";
    web.prepare();
    filterRequest(table.get(), web.get(), 1);
    std::string shown = "/" + tail.substr(0, 199);
    EXPECT_EQ(web.recorder.count("trace", "filtering " + shown + " (" + shown + ") HOST=null"), 1)
        << web.recorder.dump();
}

TEST(RemovePathParms, CopiesUpToTheFirstSemicolon) {
    struct Row {
        const char* path;
        const char* expected;  // null: no copy
    };
    const Row rows[] = {{"/a/x.jsp;id=y", "/a/x.jsp"}, {"/a;b;c", "/a"}, {";x", ""},
                        {"/a/x", nullptr},            {"", nullptr},      {nullptr, nullptr}};
    FakeWebServer web;
    for (const Row& row : rows) {
        char* copy = removePathParms(web.get(), row.path);
        EXPECT_EQ(copy ? std::string(copy) : "<none>", row.expected ? row.expected : "<none>");
        web->free(web.get(), copy);
    }
    EXPECT_EQ(web.liveBlocks(), 0);
}
