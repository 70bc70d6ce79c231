// The module loads into a real Apache 2.4: banner, version component, the symbols that
// the shared object exports, and the child's life through CGI runs, restarts and stops.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <set>
#include <string>

#include "apache_server.h"
#include "backend_process.h"
#include "http_client.h"

namespace {
// The module record and the operations with C linkage are exported; every C++ function
// (a mangled name) stays hidden, so that nothing clashes with Apache's other modules.
TEST(ModuleSymbols, ExportsOnlyTheModuleRecordAndCLinkageOperations) {
    std::set<std::string> exported;
    FILE* pipe = popen(("nm -D --defined-only -j '" + quonModulePath() + "'").c_str(), "r");
    char line[512];
    while (pipe && fgets(line, sizeof line, pipe))
        exported.insert(std::string(line, strcspn(line, "@\n")));
    if (pipe) pclose(pipe);
    for (const char* needed : {"quon_module", "init_quon_request", "mappingsTableNew", "gShutdown"})
        EXPECT_TRUE(exported.count(needed)) << needed;
    for (const std::string& name : exported)
        EXPECT_FALSE(name.starts_with("_Z")) << name << " is exported but should be hidden";
}

// A configured main server's child registers its clean-up, which runs once at exit and
// not in a CGI process forked from a worker; an unconfigured one declines its requests.
TEST(ModuleStartup, BannerVersionAndChildCleanUp) {
    struct Row {
        std::string quonConfig;
        std::vector<std::string> logs;
        int childExits;
    };
    const Row rows[] = {{"QuonConfig Verbose true\nQuonConfig connecttimeout 3\n", {}, 1},
                        {"QuonConfig Verbose true\n",
                         {"]  Server has not been properly configured for Quon.",
                          "qnApache[init]  quon_child_init: Quon not configured for server"},
                         0}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.quonConfig);
        ApacheServer apache(
            {.directives = loadModules({"cgi"}) + "ServerTokens Full\n<Files hello.cgi>\n" +
                           "  Options +ExecCGI\n  SetHandler cgi-script\n</Files>\n" +
                           row.quonConfig});
        const std::string script = apache.dir() + "/htdocs/hello.cgi";
        std::ofstream(script) << "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\nhello'\n";
        std::filesystem::permissions(script, std::filesystem::perms(0755));
        ASSERT_TRUE(apache.start());
        HttpResponse response;
        for (int i = 0; i < 5; ++i) response = httpGet(apache.url("/hello.cgi"));
        EXPECT_EQ(response.body, "hello") << apache.errorLog();
        EXPECT_NE(response.header("Server").find("Quon/4.0"), std::string::npos);
        EXPECT_TRUE(
            apache.waitForLog("qnApache[init]  Quon 4.0 (Build 108487) Apache 2.2 module - "));
        for (const std::string& part : row.logs) EXPECT_TRUE(apache.waitForLog(part)) << part;
        apache.stop();
        EXPECT_EQ(apache.countLog("qnApache[init]  quon_child_exit: r is 0x"), row.childExits)
            << apache.errorLog();
        // Once, not once per request: a site may load the module for its virtual hosts alone.
        EXPECT_EQ(apache.countLog("properly configured for Quon."), row.logs.empty() ? 0 : 1);
    }
}

// <IfModule> knows the module by the name its users expect; the process-wide flags start
// at 0 in each reading of the configuration. A receive kept waiting by a server that
// answers pings gives up as soon as the child starts stopping, so a graceful restart
// replaces the child at once.
TEST(ModuleLifecycle, GracefulRestartEndsAPingedWaitAndReadsTheFlagsAfresh) {
    backend_test::BackendProcess server("127.0.0.4");
    ASSERT_TRUE(server.start());
    const std::string directives =
        "<Location /probe>\n  SetHandler quon-probe\n</Location>\nQuonConfig traceflags 2\n";
    ApacheServer apache({.directives = directives +
                                       "<IfModule mod_quon22.c>\n  QuonConfig metrics true\n"
                                       "  QuonConfig debugger true\n</IfModule>\n",
                         .modulePath = quonProbeModulePath()});
    ASSERT_TRUE(apache.start());
    auto flags = keyValues(httpGet(apache.url("/probe/config")).body);
    EXPECT_EQ(flags["qnMetrics"] + flags["qnDebugger"], "11");
    auto waiting = std::async(std::launch::async, [&] {
        return httpRequest({.url = apache.url("/probe/wait?ms=100&server=" + server.quonAddress()),
                            .timeoutMs = 8000});
    });
    ASSERT_TRUE(apache.waitForLog("timeout but server reachable so recv again"))
        << apache.errorLog();
    std::string log = apache.errorLog();
    size_t at = log.find("qnApache[", log.find("probe waiting") - 40);
    const std::string child = "/proc/" + std::to_string(atoi(log.c_str() + at + 9));
    ASSERT_TRUE(std::filesystem::exists(child));
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(apache.restartGracefully(directives));
    EXPECT_EQ(keyValues(waiting.get().body)["received"], "-1");
    EXPECT_TRUE(backend_test::waitUntil([&] { return !std::filesystem::exists(child); }));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    flags = keyValues(httpGet(apache.url("/probe/config")).body);
    EXPECT_EQ(flags["qnMetrics"] + flags["qnDebugger"], "00");
}
}  // namespace
