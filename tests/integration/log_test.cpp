// What the module writes to Apache's error log under LogLevel alone (no Verbose, no
// traceflags): nothing for healthy requests at warn, and a bounded number of lines while
// every server is down. The level of each kind of line: tests/apache/test_adapter.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iostream>
#include <sstream>

#include <sys/stat.h>

#include "quon_cluster.h"

namespace {
using Clock = std::chrono::steady_clock;

constexpr const char* kModuleLine = "qnApache[";

// Lines of the error log that hold every one of parts.
int linesWith(const ApacheServer& apache, std::initializer_list<std::string> parts) {
    std::istringstream log(apache.errorLog());
    int count = 0;
    for (std::string line; std::getline(log, line);)
        count += std::all_of(parts.begin(), parts.end(), [&](const std::string& part) {
            return line.find(part) != std::string::npos;
        });
    return count;
}

// The first start, before the bootstrap server is up and any store is written: the missing
// store is no warning (info), and what the child's own threads write carries its pid, not
// the start-up's prefix. A store that is there but that Apache's children may not read is
// a fault of the installation: a warning.
TEST(Logging, AFirstStartBeforeAnyServerWarnsOfNoMissingStore) {
    for (const bool unreadable : {false, true}) {
        SCOPED_TRACE(unreadable ? "unreadable store" : "missing store");
        const int port = backend_test::freePort("127.0.0.2");
        ApacheServer apache(ApacheOptions{.directives = "QuonConfig bootstrap 127.0.0.2:" +
                                                        std::to_string(port) +
                                                        "\nQuonConfig serverstore @DIR@/servers\n" +
                                                        loadModules({"authz_host"}) +
                                                        "<Location /quon-status>\n  SetHandler "
                                                        "quon-status\n  Require local\n"
                                                        "</Location>\n",
                                          .logLevel = "info"});
        if (unreadable) {
            std::ofstream(apache.dir() + "/servers") << "server=127.0.0.3:1\n";
            chmod((apache.dir() + "/servers").c_str(), 0);
        }
        ASSERT_TRUE(apache.start());
        httpGet(apache.url("/app/echo"));
        ASSERT_TRUE(apache.waitForLog("could not open serverstore"));
        const char* level = unreadable ? "[quon:warn]" : "[quon:info]";
        const char* other = unreadable ? "[quon:info]" : "[quon:warn]";
        EXPECT_EQ(linesWith(apache, {"could not open serverstore", other}), 0)
            << apache.errorLog();
        EXPECT_GE(linesWith(apache, {"could not open serverstore",
                                     unreadable ? "Permission denied" : "No such file", level}),
                  1)
            << apache.errorLog();
        ASSERT_TRUE(apache.waitForLog("Couldn't initialize from remote server"));
        // Its counters new, the page shows the bootstrap server it waits for as checked.
        const std::string waiting =
            "{\"name\":\"127.0.0.2:" + std::to_string(port) + "\",\"verdict\":\"down\"";
        EXPECT_TRUE(backend_test::waitUntil([&] {
            return httpGet(apache.url("/quon-status?format=json")).body.find(waiting) !=
                   std::string::npos;
        })) << httpGet(apache.url("/quon-status?format=json")).body;
        EXPECT_EQ(
            linesWith(apache, {"qnApache[init] ", "Couldn't initialize from remote server"}), 0)
            << apache.errorLog();
    }
}

TEST(Logging, HealthyRequestsWriteNothingAtWarn) {
    QuonCluster cluster(2);
    cluster.useLogLevel("warn");
    ASSERT_TRUE(cluster.start());
    const int before = cluster.apache().countLog(kModuleLine);
    for (int k = 0; k < 200; ++k) ASSERT_EQ(cluster.get("/app/echo").status, 200) << k;
    EXPECT_EQ(cluster.apache().countLog(kModuleLine), before)
        << cluster.apache().errorLog();
}

// Every server is down for 1,000 requests, a lone server's or a cluster's: each kind of
// failure line of each server (and of the table) goes out once per interval, not once per
// request.
class Outage : public ::testing::TestWithParam<int> {};

TEST_P(Outage, WritesABoundedNumberOfLines) {
    QuonCluster cluster(GetParam());
    cluster.useLogLevel("warn");
    ASSERT_TRUE(cluster.start());
    for (int i = 0; i < cluster.size(); ++i) cluster.kill(i);
    const int before = cluster.apache().countLog(kModuleLine);
    const auto start = Clock::now();
    for (int k = 0; k < 1000; ++k) ASSERT_EQ(cluster.get("/app/echo").status, 503) << k;
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start);
    const int lines = cluster.apache().countLog(kModuleLine) - before;
    // Per 10 s at most: a connect failure, a deferred error and an error page of each
    // server; the table's "NO servers reachable" and its error page. Once: each server's
    // "is down" from the health checks.
    const int windows = int(seconds.count() / 10) + 1;
    const int bound = (3 * cluster.size() + 2) * windows + cluster.size();
    RecordProperty("lines", lines);
    std::cout << "1000 requests in an outage of " << cluster.size() << " servers: " << lines
              << " lines in " << seconds.count() << " s\n";
    EXPECT_LE(lines, bound) << cluster.apache().errorLog();
    EXPECT_GT(lines, 0);
    // A connect that fails while another server of the cluster may take the request is
    // worked around (warn); a lone server's is the client's error. The checks' lines are the
    // running child's, not the start-up's.
    EXPECT_EQ(linesWith(cluster.apache(), {"connect failed[", "[quon:error]"}) > 0,
              cluster.size() == 1)
        << cluster.apache().errorLog();
    EXPECT_EQ(linesWith(cluster.apache(), {"connect failed[", "[quon:warn]"}) > 0,
              cluster.size() > 1);
    EXPECT_TRUE(backend_test::waitUntil(
        [&] { return cluster.apache().countLog(" is down (") == cluster.size(); }));
    EXPECT_EQ(linesWith(cluster.apache(), {" is down (", "qnApache[init] "}), 0);
    EXPECT_EQ(linesWith(cluster.apache(), {" is down (", "qnApache["}), cluster.size());
}

INSTANTIATE_TEST_SUITE_P(Logging, Outage, ::testing::Values(1, 3));
}  // namespace
