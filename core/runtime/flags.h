// Process-wide flags, one copy per web-server process. (QN_EXPORT on a variable
// declares it; flags.cpp defines them.)
#pragma once

#include <atomic>

#include "export.h"

// 1 when every new proxy keeps response-time metrics (set at configuration time).
QN_EXPORT int qnMetrics;
// 1 after the debugger key; nothing else consults it.
QN_EXPORT int qnDebugger;
// Set to 1 when the child process exits: waits give up and no connection is handed out.
QN_EXPORT std::atomic<unsigned char> gShutdown;
