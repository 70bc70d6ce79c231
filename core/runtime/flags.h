// Process-wide flags, one copy per web-server process. (QN_EXPORT on a variable
// declares it; flags.cpp defines them.)
#pragma once

#include <atomic>

#include "export.h"

// 1 when every new proxy keeps response-time metrics (set at configuration time).
QN_EXPORT int qnMetrics;
// 1 after the debugger key; nothing else consults it.
QN_EXPORT int qnDebugger;
// Set when the child process stops. QN_SHUTDOWN_GRACEFUL: requests in flight finish, but
// a wait that runs out no longer goes on because the server answers pings.
// QN_SHUTDOWN_NOW: every wait gives up and no connection is handed out.
QN_EXPORT std::atomic<unsigned char> gShutdown;
constexpr unsigned char QN_SHUTDOWN_NOW = 1;
constexpr unsigned char QN_SHUTDOWN_GRACEFUL = 2;
