// Sticky sessions through selectProxy; the session id from the cookie or the URI; the
// buddy walk.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "balance.h"
#include "hand_table.h"
#include "fake_web_server.h"
#include "recording_request.h"

namespace {
struct StickyCase {
    const char* name;
    std::vector<ServerSpec> servers;  // one sticky ROUNDROBIN entry, in slot order
    std::string sessionId;
    std::string expected;  // "" for none
    bool held;             // else the breakage line, then round robin
};
void PrintTo(const StickyCase& c, std::ostream* out) { *out << c.name; }
class Sticky : public ::testing::TestWithParam<StickyCase> {};
}  // namespace

TEST_P(Sticky, SessionStaysWithItsServerOrBuddy) {
    StickyCase c = GetParam();
    RecordingRequest req;
    HandTable table(req.get());
    std::vector<quonProxy*> proxies;
    for (const ServerSpec& spec : c.servers) proxies.push_back(table.addServer(spec));
    table.addEntry("/app*", QN_ROUNDROBIN, 1, proxies);
    req->sessionId = c.sessionId.data();
    quonProxy* chosen = selectProxy(table.get(), req.get(), 0);
    req->sessionId = nullptr;
    EXPECT_EQ(chosen ? chosen->name : "", c.expected);
    EXPECT_EQ(req.count("traceE", "Found sticky session host " + c.expected), int(c.held));
    EXPECT_EQ(
        req.count("log", "Sticky session breakage, a host for serving session " + c.sessionId +
                             " not available.  Failing over to another server, but above "
                             "session is broken."),
        int(!c.held));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Sessions, Sticky, ::testing::Values(
    StickyCase{"HolderActive", {{"A", 1, 1, "AAAA"}, {"B", 1, 1, "BBBB"}}, "BBBB.x", "B", true},
    StickyCase{"HolderDownFirstActiveBuddy",
               {{"A", 1, 0, "AAAA"}, {"B", 1, 0, "BBBB"}, {"C", 1, 1, "CCCC"}},
               "AAAATRBBBBCCCC", "C", true},
    StickyCase{"StarBuddyFirstActive", {{"A", 1, 0, "AAAA"}, {"B"}, {"C", 1, 1, "CCCC"}},
               "AAAATR*xyz", "B", true},
    StickyCase{"TooShortForABuddy", {{"A", 1, 0, "AAAA"}, {"B", 1, 1, "BBBB"}}, "AAAATRBBB", "B",
               false},
    StickyCase{"NothingHolds", {{"A", 1, 0, "AAAA"}, {"B", 1, 0, "BBBB"}}, "AAAATRBBBB", "", false},
    StickyCase{"UnknownHolderIgnoresBuddies", {{"A", 1, 1, "AAAA"}, {"B", 1, 1, "BBBB"}},
               "ZZZZTRBBBB", "A", false},
    StickyCase{"ShortIdAgreesWhenBothEnd", {{"B", 1, 1, "ABCD"}, {"A", 1, 1, "AB"}}, "AB", "A",
               true},
    StickyCase{"ShortIdOtherwiseNot", {{"B", 1, 1, "ABCD"}, {"A", 1, 1, "AB"}}, "ABC", "B", false}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST(SessionIds, CookieFirstUriSecond) {
    struct Row {
        std::optional<std::string> cookie;
        std::string uri;
        const char* expected;  // null: none
    };
    const Row rows[] = {
        {"a=1; JSESSIONID=AAAATRBBBB; b=2", "/x;JSESSIONID=u", "AAAATRBBBB; b=2"},
        {"a=1", "/x;JSESSIONID=u", nullptr},
        {"x=JSESSIONID", "/", nullptr},
        {std::nullopt, "/x;JSESSIONID=abc;y=1", "abc"},
        {std::nullopt, "/x;JSESSIONID=", ""},
        {std::nullopt, "/x;jsessionid=abc", nullptr},
    };
    for (const Row& row : rows) {
        FakeWebServer web;
        if (row.cookie) web.headers.emplace_back("Cookie", *row.cookie);
        web.uri = row.uri;
        web.prepare();
        char* id = getSessionId(web.get());
        EXPECT_EQ(id ? id : "<none>", std::string(row.expected ? row.expected : "<none>"))
            << row.uri;
        web->free(web.get(), id);
        EXPECT_EQ(web.liveBlocks(), 0);
        EXPECT_EQ(web.headersHandedBack, row.cookie ? 1 : 0);
    }
}

TEST(SessionIds, BuddyWalk) {
    const std::pair<std::string, std::vector<std::string>> rows[] = {
        {"AAAATRBBBBCCCC", {"BBBB", "CCCC"}},
        {"AAAATRBBBBCCC", {"BBBB"}},
        {"AAAATRBBB", {}},
        {"AATRAATRBBBB", {"AATR", "BBBB"}},
        {"AAAA", {}},
    };
    RecordingRequest req;
    for (auto [id, buddies] : rows) {
        req->sessionId = id.data();
        std::vector<std::string> walked;
        for (const char* b = getNextBuddy(req.get(), nullptr); b; b = getNextBuddy(req.get(), b))
            walked.emplace_back(b, 4);
        EXPECT_EQ(walked, buddies) << id;
    }
    req->sessionId = nullptr;
}
