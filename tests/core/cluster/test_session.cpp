// Sticky sessions: the server that holds a session or its buddies, through selectProxy;
// the session id from the cookie or the URI; the buddy walk.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "balance.h"
#include "cluster_fixture.h"
#include "fake_web_server.h"
#include "recording_request.h"

namespace {
constexpr const char* kBreakage =
    "Sticky session breakage, a host for serving session %s not available.  Failing over to "
    "another server, but above session is broken.";

struct StickyCase {
    const char* name;
    std::vector<ServerSpec> servers;  // served by one ROUNDROBIN entry, in slot order
    const char* sessionId;
    std::string expected;  // "" for none
    bool held;             // the sticky choice held (else the breakage line, then RR)
    int32_t sticky = 1;
};

void PrintTo(const StickyCase& c, std::ostream* out) { *out << c.name; }

class Sticky : public ::testing::TestWithParam<StickyCase> {};

std::string breakageLine(const std::string& id) {
    char line[512];
    snprintf(line, sizeof line, kBreakage, id.c_str());
    return line;
}
}  // namespace

TEST_P(Sticky, SessionStaysWithItsServerOrBuddy) {
    const StickyCase& c = GetParam();
    RecordingRequest req;
    HandTable table(req.get());
    std::vector<quonProxy*> proxies;
    for (const ServerSpec& spec : c.servers) proxies.push_back(table.addServer(spec));
    int index = table.addEntry("/app*", QN_ROUNDROBIN, c.sticky, proxies);
    std::string id = c.sessionId;
    req->sessionId = id.data();
    quonProxy* chosen = selectProxy(table.get(), req.get(), index);
    req->sessionId = nullptr;
    EXPECT_EQ(chosen ? chosen->name : "", c.expected) << req.dump();
    EXPECT_EQ(req.count("traceE", "Found sticky session host " + c.expected), c.held ? 1 : 0);
    EXPECT_EQ(req.count("log", breakageLine(id)), c.held || !c.sticky ? 0 : 1) << req.dump();
}

INSTANTIATE_TEST_SUITE_P(
    Sessions, Sticky,
    ::testing::Values(
        StickyCase{"HolderActive", {{"A", 1, 1, "AAAA"}, {"B", 1, 1, "BBBB"}}, "BBBB.xyz", "B", true},
        StickyCase{"HolderDownFirstActiveBuddy",
                   {{"A", 1, 0, "AAAA"}, {"B", 1, 0, "BBBB"}, {"C", 1, 1, "CCCC"}},
                   "AAAATRBBBBCCCC", "C", true},
        StickyCase{"StarBuddyTakesFirstActive",
                   {{"A", 1, 0, "AAAA"}, {"B", 1, 1, "BBBB"}, {"C", 1, 1, "CCCC"}},
                   "AAAATR*xyz", "B", true},
        StickyCase{"TooShortForABuddy", {{"A", 1, 0, "AAAA"}, {"B", 1, 1, "BBBB"}}, "AAAATRBBB",
                   "B", false},
        StickyCase{"BuddiesAllDown", {{"A", 1, 0, "AAAA"}, {"B", 1, 0, "BBBB"}}, "AAAATRBBBB", "",
                   false},
        StickyCase{"UnknownHolderIgnoresBuddies", {{"A", 1, 1, "AAAA"}, {"B", 1, 1, "BBBB"}},
                   "ZZZZTRBBBB", "A", false},
        StickyCase{"ServerWithoutIdNeverHolds", {{"A", 1, 1, nullptr}, {"B", 1, 1, "BBBB"}},
                   "AAAA", "A", false},
        StickyCase{"ShortIdAgreesWhenBothEnd", {{"B", 1, 1, "ABCD"}, {"A", 1, 1, "AB"}}, "AB",
                   "A", true},
        StickyCase{"ShortIdDisagreesOtherwise", {{"B", 1, 1, "ABCD"}, {"A", 1, 1, "AB"}}, "ABC",
                   "B", false},
        StickyCase{"NotStickyEntrySpreads", {{"A", 1, 1, "AAAA"}, {"B", 1, 1, "BBBB"}}, "BBBB",
                   "A", false, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Sticky, ResolveWithOneOrNoProxy) {
    RecordingRequest req;
    HandTable table(req.get());
    quonProxy* down = table.addServer({"A", 1, 0, "AAAA"});
    int single = table.addEntry("/one*", QN_ROUNDROBIN, 1, {down});
    int empty = table.addEntry("/none*", QN_ROUNDROBIN, 1, {});
    std::string id = "ZZZZ";
    req->sessionId = id.data();
    EXPECT_EQ(resolveServerId(table.get(), req.get(), single), down);
    EXPECT_EQ(resolveServerId(table.get(), req.get(), empty), nullptr);
    EXPECT_EQ(resolveServerId(table.get(), req.get(), 99), nullptr);
    req->sessionId = nullptr;
}

namespace {
struct SessionIdCase {
    const char* name;
    std::optional<std::string> cookie;
    std::string uri;
    std::optional<std::string> expected;
};

void PrintTo(const SessionIdCase& c, std::ostream* out) { *out << c.name; }

class SessionIds : public ::testing::TestWithParam<SessionIdCase> {};
}  // namespace

TEST_P(SessionIds, CookieFirstUriSecond) {
    const SessionIdCase& c = GetParam();
    FakeWebServer web;
    if (c.cookie) web.headers.emplace_back("Cookie", *c.cookie);
    web.uri = c.uri;
    web.prepare();
    char* id = getSessionId(web.get());
    EXPECT_EQ(id ? std::optional<std::string>(id) : std::nullopt, c.expected);
    web->free(web.get(), id);
    EXPECT_EQ(web.liveBlocks(), 0);
    EXPECT_EQ(web.headersHandedBack, c.cookie ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Sources, SessionIds,
    ::testing::Values(
        SessionIdCase{"Cookie", "JSESSIONID=AAAATRBBBB", "/app", "AAAATRBBBB"},
        SessionIdCase{"CookieKeepsLaterCookies", "a=1; JSESSIONID=id7; b=2", "/", "id7; b=2"},
        SessionIdCase{"CookieBeforeUri", "JSESSIONID=fromCookie", "/x;JSESSIONID=fromUri",
                      "fromCookie"},
        SessionIdCase{"CookieWithoutItHidesUri", "a=1", "/x;JSESSIONID=fromUri", std::nullopt},
        SessionIdCase{"CookieEndingInTheName", "x=JSESSIONID", "/", std::nullopt},
        SessionIdCase{"Uri", std::nullopt, "/x;JSESSIONID=abc;other=1", "abc"},
        SessionIdCase{"UriToItsEnd", std::nullopt, "/x;JSESSIONID=abc", "abc"},
        SessionIdCase{"UriEmptyValue", std::nullopt, "/x;JSESSIONID=", ""},
        SessionIdCase{"UriEndingInTheName", std::nullopt, "/xJSESSIONID", std::nullopt},
        SessionIdCase{"NamesAreCapitals", std::nullopt, "/x;jsessionid=abc", std::nullopt},
        SessionIdCase{"None", std::nullopt, "/x", std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SessionIds, BuddyWalk) {
    struct Row {
        const char* sessionId;
        std::vector<std::string> buddies;
    };
    const Row rows[] = {
        {"AAAATRBBBBCCCC", {"BBBB", "CCCC"}},
        {"AAAATRBBBBCCC", {"BBBB"}},
        {"AAAATRBBBB", {"BBBB"}},
        {"AAAATRBBB", {}},
        {"AAAA", {}},
        {"TRBBBB", {"BBBB"}},
        {"AATRAATRBBBB", {"AATR", "BBBB"}},
    };
    RecordingRequest req;
    for (const Row& row : rows) {
        std::string id = row.sessionId;
        req->sessionId = id.data();
        std::vector<std::string> walked;
        for (const char* buddy = getNextBuddy(req.get(), nullptr); buddy;
             buddy = getNextBuddy(req.get(), buddy))
            walked.emplace_back(buddy, 4);
        EXPECT_EQ(walked, row.buddies) << row.sessionId;
    }
    req->sessionId = nullptr;
    EXPECT_EQ(getNextBuddy(req.get(), nullptr), nullptr);
}
