// Dispatch of one request to a server of its mapping entry, with fail-over to the
// entry's other servers in a cluster: the table's two request slots.
#pragma once

#include <cstdint>

#include "proxy_types.h"
#include "request_types.h"
#include "sync.h"
#include "table_types.h"

// Proxies that failed in one call, from slot 0 on; the first null slot ends the list.
// One slot more than a list holds, so a terminating null always remains.
inline constexpr int QN_FAILED_TARGETS = QN_MAX_PROXIES + 1;

// Serves the request with a server of the entry at mappingIndex, or of the entry the
// request matches when mappingIndex is negative. argument goes unchanged to the proxy
// (null from the web server). 0 when a server served it; -2 when it matches no entry;
// else the result of the last failed attempt, or -1 when no server could be chosen.
// Takes tableLock only while it chooses a server; forwards without it.
int32_t handleRequestWithIndex(mappingsTable* table, quon_request* req, const char* argument,
                               int32_t mappingIndex);
// handleRequestWithIndex with mappingIndex -1.
int32_t handleRequest(mappingsTable* table, quon_request* req, const char* argument);
// 1 when the dispatch may try another server after proxy (a clustered table and proxy
// not yet in failedList; with add non-zero it is put there), 0 when it must stop.
// tableLock held (clustered is read).
int32_t tryAnotherProxy(quon_request* req, mappingsTable* table, quonProxy** failedList,
                        quonProxy* proxy, int32_t add);
// With every server of the entry marked down: probes the entry's servers that have not
// failed in this call, and waits for those another thread probes. 0 when one may be
// reachable now, -1 when none was found. tableLock, taken by hold, is held on entry and on
// return and released during each exchange and wait.
int32_t lastDitchFindReachableServer(mappingsTable* table, quon_request* req, int32_t mappingIndex,
                                     quonProxy** failedList, SyncGuard& hold);
