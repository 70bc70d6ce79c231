// What the web-server module sees of a virtual server's mappings table: its five
// operation slots, its creation and its deletion. The record's other fields stay
// behind table_types.h, which only the cluster code (table, membership, store,
// bootstrap, filter, balancing, dispatch) includes.
#pragma once

#include <cstdint>

#include "export.h"
#include "request_types.h"

struct mappingsTable;

typedef int32_t (*qnTableInitFn)(mappingsTable* table, quon_request* req);
typedef int32_t (*qnTableFilterFn)(mappingsTable* table, quon_request* req,
                                   int32_t applyIgnoreSuffixes);
typedef int32_t (*qnTableHandleFn)(mappingsTable* table, quon_request* req, const char* argument);
typedef int32_t (*qnTableHandleIndexFn)(mappingsTable* table, quon_request* req,
                                        const char* argument, int32_t mappingIndex);
typedef int32_t (*qnTableFlagFn)(mappingsTable* table, quon_request* req, int32_t flag);

// The head of every mappingsTable, in the record's field order.
struct mappingsTableSlots {
    qnTableInitFn initTable;
    qnTableFilterFn filterRequest;
    qnTableHandleFn handleRequest;
    qnTableHandleIndexFn handleRequestWithIndex;
    qnTableFlagFn ignoreSuffixMap;
};

// A new, uninitialised table; serverStore and bootstrapServer (host:port) may be null,
// proxyRetryInterval is the configured default in seconds (0 = none). Null without memory.
QN_EXPORT mappingsTable* mappingsTableNew(quon_request* req, const char* serverStore,
                                          const char* bootstrapServer, int32_t proxyRetryInterval);
// Frees the table, its entries and every proxy it owns; closes their sockets. Takes no
// lock: only for child exit, when no request is served any more. Null is ignored.
QN_EXPORT void mappingsTableDelete(mappingsTable* table, quon_request* req);
// 1 once the table has been initialised (by its upkeep), else 0; a request never waits
// for it.
int32_t mappingsTableReady(mappingsTable* table);
// One pass of the table's upkeep: the first initialisation while the table has none
// (nothing else until it has), then the member list a response reported, the bootstrap
// server where it is due, and every probe and mapping refresh that is due. The web
// server runs it on a thread of its own, never in a request; its exchanges run with no
// table lock held. Waits of req give up once its cancelled flag is set.
void runUpkeep(mappingsTable* table, quon_request* req);
// The operation slots of a table, for code that does not see the record.
mappingsTableSlots* tableSlots(mappingsTable* table);
// For a table not initialised yet: 1 when the request matches a URL pattern the server
// store remembers (the request is then the table's, answered with the error page until a
// server answers), else 0 (said once per table when the store knows no pattern). Either
// way the upkeep is asked to try the initialisation again at once. 0 for a table that is
// initialised. Takes tableLock; no network.
int32_t claimWhileCold(mappingsTable* table, quon_request* req);
// The virtual server's name in the table's log lines; before the table is first used.
void nameTable(mappingsTable* table, quon_request* req, const char* label);
