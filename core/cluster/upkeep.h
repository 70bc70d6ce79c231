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
