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
// Every name the module may export; anything else must stay hidden.
const std::set<std::string> kExportable = {
    "quon_module", "parseProperties", "loadProperties", "freeProperties", "getPropertyValue",
    "setProperty", "removeProperty", "removePropertyByIndex", "addProperty1", "addProperty",
    "loadProperties1", "parseProperties1", "freeProperties1", "setProperty1",
    "getPropertyValue2", "getPropertyValue3", "expand_vars", "expand_vars2", "find_variable",
    "initQuonMutexPool", "freeQuonMutexPool", "initSync", "freeSync", "startSync", "stopSync",
    "gtod", "tvToMillis", "normalizeURI", "fromDashesToUnderscores", "fromUnderscoresToDashes",
    "toUpperCaseWithDashes", "toUpperCaseWithUnderscores", "toLowerCaseWithDashes",
    "toLowerCaseWithUnderscores", "hexstrtol", "init_quon_request", "qnFileOpen",
    "initializeSocketTimeouts", "describeError", "proxyerror", "quonProxyNew", "longerThan",
    "mappingsTableNew", "mappingsTableDelete", "getSessionId", "getNextBuddy",
    "VARIABLE_NAMES", "qnMetrics", "qnDebugger", "gShutdown"};

std::set<std::string> exportedSymbols(const std::string& path) {
    std::set<std::string> names;
    FILE* pipe = popen(("nm -D --defined-only -j '" + path + "'").c_str(), "r");
    char line[512];
    while (pipe && fgets(line, sizeof line, pipe)) names.insert(std::string(line, strcspn(line, "@\n")));
    if (pipe) pclose(pipe);
    return names;
}
}  // namespace

TEST(ModuleSymbols, ExportsOnlyTheModuleRecordAndTheListedOperations) {
    std::set<std::string> exported = exportedSymbols(quonModulePath());
    ASSERT_TRUE(exported.count("quon_module")) << "module record not exported";
    EXPECT_TRUE(exported.count("init_quon_request"));
    EXPECT_TRUE(exported.count("gShutdown"));
    for (const std::string& name : exported)
        EXPECT_TRUE(kExportable.count(name)) << name << " is exported but should be hidden";
}

TEST(ModuleStartup, BannerVersionComponentAndChildCleanUp) {
    ApacheServer apache({.directives = "ServerTokens Full\nQuonConfig Verbose true\n"
                                       "QuonConfig connecttimeout 3\n"});
    std::string why;
    ASSERT_TRUE(apache.start(&why)) << why;
    EXPECT_TRUE(apache.waitForLog("qnApache[init]  Quon 4.0 (Build 108487) Apache 2.2 module - "))
        << apache.errorLog();
    HttpResponse response = httpGet(apache.url("/"));
    EXPECT_NE(response.header("Server").find("Quon/4.0"), std::string::npos)
        << response.header("Server");
    // A configured main server's child registers its clean-up, which runs at exit.
    apache.stop();
    EXPECT_EQ(apache.countLog("qnApache[init]  quon_child_exit: r is 0x"), 1) << apache.errorLog();
}

TEST(ModuleStartup, UnconfiguredMainServerDeclinesWithTheLogLine) {
    ApacheServer apache({.directives = "QuonConfig Verbose true\n"});
    std::string why;
    ASSERT_TRUE(apache.start(&why)) << why;
    HttpResponse response = httpGet(apache.url("/missing.html"));
    EXPECT_EQ(response.status, 404);  // declined: Apache serves it as a plain file
    EXPECT_TRUE(apache.waitForLog("]  Server has not been properly configured for Quon."))
        << apache.errorLog();
    EXPECT_TRUE(apache.waitForLog("qnApache[init]  quon_child_init: Quon not configured for server"));
    apache.stop();
    EXPECT_EQ(apache.countLog("quon_child_exit"), 0);
}

// A CGI program is forked from a worker child: the child's clean-up must not run there.
TEST(ModuleLifecycle, CgiProcessRunsNoChildCleanUp) {
    ApacheServer apache({.directives = "LoadModule cgi_module /usr/lib/apache2/modules/mod_cgi.so\n"
                                       "<Directory @DIR@/htdocs>\n  Options +ExecCGI\n"
                                       "  SetHandler cgi-script\n</Directory>\n"
                                       "QuonConfig Verbose true\nQuonConfig connecttimeout 3\n"});
    std::string script = apache.dir() + "/htdocs/hello.cgi";
    std::ofstream(script) << "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\nhello'\n";
    std::filesystem::permissions(script, std::filesystem::perms(0755));
    std::string why;
    ASSERT_TRUE(apache.start(&why)) << why;
    EXPECT_EQ(httpGet(apache.url("/hello.cgi")).body, "hello") << apache.errorLog();
    apache.stop();
    EXPECT_EQ(apache.countLog("quon_child_exit: r is 0x"), 1) << apache.errorLog();
}

const std::string kProbeLocation = "<Location /probe>\n  SetHandler quon-probe\n</Location>\n";

// The process-wide flags start at 0 in each reading of the configuration, and
// <IfModule> knows the module by the name its users expect.
TEST(ModuleLifecycle, IfModuleNameAndFlagsOfEachConfigurationPass) {
    ApacheServer apache({.directives = kProbeLocation + "<IfModule mod_quon22.c>\n"
                                       "  QuonConfig metrics true\n  QuonConfig debugger true\n"
                                       "</IfModule>\n",
                         .modulePath = quonProbeModulePath()});
    std::string why;
    ASSERT_TRUE(apache.start(&why)) << why;
    auto values = keyValues(httpGet(apache.url("/probe/config")).body);
    EXPECT_EQ(values["qnMetrics"], "1");
    EXPECT_EQ(values["qnDebugger"], "1");
    ASSERT_TRUE(apache.restartGracefully(kProbeLocation)) << apache.errorLog();
    values = keyValues(httpGet(apache.url("/probe/config")).body);
    EXPECT_EQ(values["qnMetrics"], "0");
    EXPECT_EQ(values["qnDebugger"], "0");
}

// A receive kept waiting by a server that answers pings gives up as soon as the child
// starts stopping, so a graceful restart replaces the child at once.
TEST(ModuleLifecycle, GracefulRestartEndsAWaitThatPingsKeepAlive) {
    backend_test::BackendProcess server("127.0.0.4");
    ASSERT_TRUE(server.start());
    const std::string directives = kProbeLocation + "QuonConfig traceflags 2\n";
    ApacheServer apache({.directives = directives, .modulePath = quonProbeModulePath()});
    std::string why;
    ASSERT_TRUE(apache.start(&why)) << why;
    auto waiting = std::async(std::launch::async, [&] {
        return httpRequest({.url = apache.url("/probe/wait?ms=100&server=" + server.quonAddress()),
                            .timeoutMs = 8000});
    });
    ASSERT_TRUE(apache.waitForLog("timeout but server reachable so recv again")) << apache.errorLog();
    std::string log = apache.errorLog();
    size_t at = log.find("qnApache[", log.find("probe waiting") - 40);
    const std::string child = "/proc/" + std::to_string(atoi(log.c_str() + at + 9));
    ASSERT_TRUE(std::filesystem::exists(child));
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(apache.restartGracefully(directives));
    EXPECT_EQ(keyValues(waiting.get().body)["received"], "-1");
    while (std::filesystem::exists(child) &&
           std::chrono::steady_clock::now() - start < std::chrono::seconds(5))
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(std::filesystem::exists(child));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}
