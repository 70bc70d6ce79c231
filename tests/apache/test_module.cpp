// The module loads into a real Apache 2.4: banner, version component, and the symbols
// that the shared object exports.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <set>
#include <string>

#include "apache_server.h"
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

std::set<std::string> dynamicSymbols(const std::string& path, const char* which) {
    std::set<std::string> names;
    std::string command = "nm -D " + std::string(which) + " '" + path + "'";
    FILE* pipe = popen(command.c_str(), "r");
    std::array<char, 512> line;
    while (pipe && fgets(line.data(), int(line.size()), pipe)) {
        std::string text(line.data());
        size_t last = text.find_last_of(' ');
        if (last == std::string::npos) continue;
        std::string name = text.substr(last + 1);
        name.erase(name.find_last_not_of("\n") + 1);
        names.insert(name.substr(0, name.find('@')));
    }
    if (pipe) pclose(pipe);
    return names;
}
}  // namespace

TEST(ModuleSymbols, ExportsOnlyTheModuleRecordAndTheListedOperations) {
    std::set<std::string> exported = dynamicSymbols(quonModulePath(), "--defined-only");
    ASSERT_TRUE(exported.count("quon_module")) << "module record not exported";
    EXPECT_TRUE(exported.count("init_quon_request"));
    EXPECT_TRUE(exported.count("gShutdown"));
    for (const std::string& name : exported)
        EXPECT_TRUE(kExportable.count(name)) << name << " is exported but should be hidden";
}

TEST(ModuleSymbols, LeavesOnlyPlatformSymbolsUnresolved) {
    // Everything of the connector is inside the module: what stays open comes from
    // Apache, APR and the C and C++ runtimes, never a connector function.
    for (const std::string& name : dynamicSymbols(quonModulePath(), "--undefined-only")) {
        bool connectorCxx = name.rfind("_Z", 0) == 0 && name.rfind("_ZNSt", 0) != 0 &&
                            name.rfind("_ZSt", 0) != 0 && name.rfind("_Zdl", 0) != 0 &&
                            name.rfind("_Znw", 0) != 0;
        EXPECT_FALSE(connectorCxx || kExportable.count(name))
            << name << " is left unresolved in the module";
    }
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
