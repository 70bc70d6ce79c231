// Choice of a server: algorithms, sticky sessions, the weighted-random slot table. The
// session id from a cookie or the URI, and its buddies: fuzz_session.
#include <climits>

#include "balance.h"
#include "counters.h"
#include "cluster_fixture.h"

// Servers of the one entry /app*; the session id, when given, makes the entry sticky. admin:
// the operator's state of each server, n normal, d drained, x disabled ("": all normal). A
// drained server keeps the sessions it holds and takes nothing else; a disabled one takes
// nothing, its sessions go to a buddy that is neither.
TEST(Balancing, ChoosesInSequence) {
    // expected: one letter per call, "-" for none; line: a line some call writes
    struct Row {
        int32_t algorithm;
        std::vector<ServerSpec> servers;
        std::string session, expected, line = "", admin = "";
    };
    constexpr int32_t RR = QN_ROUNDROBIN, WRR = QN_ROUNDROBIN_WEIGHTED, RW = QN_RANDOM_WEIGHTED;
    const std::vector<ServerSpec> held = {{"A", 1, 1, "AAAA"}, {"B", 1, 1, "BBBB"}, {"C"}};
    // clang-format off
    const Row rows[] = {
        {RR, {{"A"}, {"B", 1, 0}, {"C"}}, "", "ACAC"}, {WRR, {{"A", 2}, {"B", 1}}, "", "AABAAB"},
        {RR, {{"A", 1, 0}, {"B", 1, 0}}, "", "-", "selectProxy: RR no active proxies found"},
        {WRR, {{"A", 2}, {"B", 2, 0}, {"C"}}, "", "AACAAC"},
        {WRR, {{"A", 0}, {"B", 1}}, "", "ABAB"}, {WRR, {{"A", INT_MIN}, {"B", 2}}, "", "ABBABB"},
        {QN_MIN, {{"A", 5}, {"B", 3}, {"C", 3}}, "", "BB"},
        {QN_MIN, {{"A", 1, 0}, {"B", 4}, {"C", 2}}, "", "C"},
        {QN_MAX, {{"A", 2}, {"B", 7}, {"C", 7}}, "", "B"},
        {QN_MAX, {{"A", 0}, {"B", 0}}, "", "-", "<null> selectProxy"},
        {RW, {{"A", 0}, {"B", 5}, {"C", -4}}, "", "BBBB"},
        {RR, {{"A", 1, 0, nullptr, 9}}, "", "AA", "A selectProxy not reachable not active"},
        {9, {{"A"}, {"B"}}, "", "-", "Unrecognized load balancing algorithm"},
        // Sticky: "held" is the line that finds the host, "broken" the breakage line.
        {RR, {{"A", 1, 1, "AAAA"}, {"B", 1, 1, "BBBB"}}, "BBBB.x", "B", "held"},
        {RR, {{"A", 1, 0, "AAAA"}, {"B", 1, 0, "BBBB"}, {"C", 1, 1, "CCCC"}}, "AAAATRBBBBCCCC", "C",
         "held"},
        {RR, {{"A", 1, 0, "AAAA"}, {"B"}, {"C", 1, 1, "CCCC"}}, "AAAATR*xyz", "B", "held"},
        {RR, {{"A", 1, 0, "AAAA"}, {"B", 1, 1, "BBBB"}}, "AAAATRBBB", "B", "broken"},
        // A buddy part shorter than an id names nobody, not even a server of that short id.
        {RR, {{"A", 1, 0, "AAAA"}, {"B", 1, 1, "BBBB"}, {"C", 1, 1, "CC"}}, "AAAATRCC", "B",
         "broken"},
        {RR, {{"A", 1, 0, "AAAA"}, {"B"}, {"C"}}, "AAAATR*", "B", "broken"},
        {RR, {{"A", 1, 0, "AAAA"}, {"B", 1, 0, "BBBB"}}, "AAAATRBBBB", "-", "broken"},
        {RR, {{"A", 1, 1, "AAAA"}, {"B", 1, 1, "BBBB"}}, "ZZZZTRBBBB", "A", "broken"},
        {RR, {{"B", 1, 1, "ABCD"}, {"A", 1, 1, "AB"}}, "AB", "A", "held"},
        // Drained and disabled servers.
        {RR, {{"A"}, {"B"}, {"C"}}, "", "BCBC", "", "dnn"},
        {RR, {{"A"}, {"B"}, {"C"}}, "", "ACAC", "", "nxn"},
        {WRR, {{"A", 2}, {"B", 1}}, "", "BBB", "", "dn"},
        {QN_MIN, {{"A", 1}, {"B", 5}}, "", "B", "", "xn"},
        {QN_MAX, {{"A", 9}, {"B", 5}}, "", "B", "", "dn"},
        {RW, {{"A", 50}, {"B", 1}}, "", "BBBBBBBB", "", "dn"},
        {RR, {{"A"}}, "", "-", "", "d"}, {RR, {{"A"}, {"B"}}, "", "-", "", "xx"},
        {RR, held, "AAAATRBBBB", "AA", "held", "dnn"}, {RR, held, "AAAATRBBBB", "BB", "held", "xnn"},
        {RR, held, "AAAATRBBBB", "C", "broken", "xdn"}, {RR, held, "BBBBTRAAAA", "B", "held", "ndn"},
        {RR, {{"A", 1, 1, "AAAA"}}, "AAAA", "A", "held", "d"},
        {RR, {{"A", 1, 1, "AAAA"}}, "AAAA", "-", "broken", "x"}};
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.admin + " " + row.session);
        RecordingRequest req;
        std::vector<qnServerCounters> counters(row.admin.size());  // outlive the table
        HandTable table(req.get());
        table.addEntry("/app*", row.algorithm, !row.session.empty(), row.servers);
        for (size_t i = 0; i < row.admin.size(); ++i) {
            const char state = row.admin[i];
            counters[i].admin = state == 'd'   ? QN_ADMIN_DRAIN
                                : state == 'x' ? QN_ADMIN_DISABLE
                                               : QN_ADMIN_NORMAL;
            table->servers.proxies[i]->counters = &counters[i];
        }
        std::string session = row.session;  // the record's field is not const
        req->sessionId = session.empty() ? nullptr : session.data();
        std::string chosen;
        for (size_t call = 0; call < row.expected.size(); ++call) {
            quonProxy* proxy = selectProxy(table.get(), req.get(), 0, nullptr);
            chosen += proxy ? proxy->name : "-";
        }
        req->sessionId = nullptr;
        EXPECT_EQ(chosen, row.expected) << row.line;
        const std::string line =
            cluster_test::stickyLine(row.line, row.expected.substr(0, 1), row.session);
        EXPECT_TRUE(line.empty() || req.count("", line) >= 1) << line << "\n" << req.dump();
    }
}

// The client chooses its session id: the breakage line names no more than the holder's
// id, escaped, and comes once per interval for the table, then tells how many were left out.
TEST(Balancing, SessionBreakageLinesAreCutEscapedAndLimited) {
    RecordingRequest req;
    HandTable table(req.get());
    table.addEntry("/app*", QN_ROUNDROBIN, 1, {{"A", 1, 1, "AAAA"}, {"B", 1, 1, "BBBB"}});
    const struct {
        std::string session, shown;
    } rows[] = {{"ZZZZ.secret-part; other=cookie", "ZZZZ..."},
                {"Z\nZ\x01", "Z\\x0aZ\\x01"},
                {"Z", "Z"},
                {"ZZZZ", "ZZZZ"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.shown);
        req.clear();
        table->logLimits.kinds[QN_LIMIT_STICKY].nextAt = 0;  // the interval has passed
        std::string session = row.session;
        req->sessionId = session.data();
        for (int call = 0; call < 3; ++call) selectProxy(table.get(), req.get(), 0, nullptr);
        req->sessionId = nullptr;
        const std::string line = "a host for serving session " + row.shown + " not available";
        int lines = 0;
        for (const RecordedLine& l : req.lines) lines += l.text.find(line) != std::string::npos;
        EXPECT_EQ(lines, 1) << req.dump();
        EXPECT_EQ(req.levelOf(line), QN_LOG_WARN);
        EXPECT_EQ(req.dump().find("secret"), std::string::npos);
        EXPECT_EQ(req.dump().find('\x01'), std::string::npos);
    }
    EXPECT_TRUE(req.contains("log", "(2 similar lines left out)")) << req.dump();
}

// A new load value alone leaves the weighted-random table as it is, and so does the
// operator's drain: a drained server is drawn around, and again once enabled. A
// membership change rebuilds the table.
TEST(WeightSlots, DrawsInProportionAndRebuildsAfterMembershipChange) {
    RecordingRequest req(0);
    qnServerCounters counters;
    HandTable table(req.get());
    table.addEntry("/app*", QN_RANDOM_WEIGHTED, 0, {{"A", 3}, {"B", 1}, {"C", 4, 0}});
    quonProxy** p = table->servers.proxies;
    p[0]->counters = &counters;
    auto shareOfA = [&, hits = 0]() mutable {
        for (int draw = hits = 0; draw < 100000; ++draw)
            hits += selectProxy(table.get(), req.get(), 0, nullptr) == p[0];
        return hits / 100000.0;
    };
    EXPECT_NEAR(shareOfA(), 0.75, 0.015);
    p[1]->serverInfo->weight = 3;
    counters.admin = QN_ADMIN_DRAIN;
    EXPECT_EQ(shareOfA(), 0.0);
    counters.admin = QN_ADMIN_NORMAL;
    EXPECT_NEAR(shareOfA(), 0.75, 0.015);
    EXPECT_EQ(table->mappingInfos[0]->totalWeight, 4);
    removeProxy(table.get(), p[0], req.get(), 1);
    EXPECT_EQ(shareOfA(), 0.0);
    EXPECT_EQ(table->mappingInfos[0]->totalWeight, 3);
}

static std::vector<int32_t> runs(int32_t first, int32_t second) {
    std::vector<int32_t> slots(size_t(first), 0);
    slots.insert(slots.end(), size_t(second), 1);
    return slots;
}
// The list slot of each table slot. No slot to draw from gives no proxy; a total beyond
// the cap is scaled down.
TEST(WeightSlots, BuildsTheSlotTable) {
    const std::pair<std::vector<ServerSpec>, std::vector<int32_t>> rows[] = {
        {{{"A", 3}, {"B", 1}}, runs(3, 1)},
        {{{"A", 3, 0}, {"B", 1}, {"C", 1}}, {1, 2}},
        {{{"A", 0}, {"B", 0}, {"C", 0, 0}}, {0, 1}},
        {{{"A", -2}, {"B", 2}}, runs(0, 2)},
        {{{"A", 3, 0}, {"B", 1, 0}}, {}},
        {{{"A", 1 << 30}, {"B", 1 << 30}}, runs(512, 512)},
        {{{"A", INT_MAX}, {"B", 1}}, runs(1023, 1)}};
    for (const auto& [servers, expected] : rows) {
        RecordingRequest req;
        HandTable table(req.get());
        table.addEntry("/app*", QN_RANDOM_WEIGHTED, 0, servers);
        quonProxy* chosen = selectProxy(table.get(), req.get(), 0, nullptr);
        const mappingInfo* info = table->mappingInfos[0];
        EXPECT_EQ(std::vector<int32_t>(info->weightTable, info->weightTable + info->totalWeight),
                  expected);
        EXPECT_EQ(chosen != nullptr, !expected.empty());
    }
}
