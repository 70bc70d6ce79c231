// The upkeep of a mappings table, which the web server runs on a thread of its own (see
// upkeep.cpp): what a request hands over to it.
#pragma once

#include <cstdint>

#include "proxy_types.h"
#include "request_types.h"
#include "table_types.h"

// runUpkeep and mappingsTableReady are in table_slots.h, for the web-server module.

// After a successful exchange: proxy reported the cluster sequence number seq. A number
// the table has neither applied nor been told already is handed to the upkeep, which is
// woken. Takes tableLock briefly; no network.
void reportClusterSeq(mappingsTable* table, quon_request* req, quonProxy* proxy, int32_t seq);

// Wakes the web server's upkeep of table, for work a request or the health checks have
// just handed over; the module points the seam at its threads. Does nothing until it does.
typedef void (*qnUpkeepWakeFn)(mappingsTable* table);
void qnSetUpkeepWaker(qnUpkeepWakeFn wake);
void qnWakeUpkeep(mappingsTable* table);
// A request found the table not initialised: the next try comes at once (at most a few
// times a second), not after the back-off. No lock, no network.
void wantInitialisation(mappingsTable* table);
// A server the table waits for (not initialised yet) answers its health checks again: the
// next try comes at once, whatever the back-off and the tries requests brought forward.
void serverCameBack(mappingsTable* table);
