// Request filtering: the mapping entry of a table that a request falls under, and the
// table's routine membership upkeep that every filtered request carries out first.
#pragma once

#include <cstdint>

#include "request_types.h"
#include "table_types.h"

// Takes tableLock for the whole call, upkeep included (the upkeep talks to back-end
// servers only when a refresh or a probe is due). Returns the index of the first entry
// whose pattern matches the request, or -1. With applyIgnoreSuffixes non-zero the
// table's ignoreSuffixes flag is honoured; with 0 it is not.
int32_t filterRequest(mappingsTable* table, quon_request* req, int32_t applyIgnoreSuffixes);

// The matching step of filterRequest without its upkeep; tableLock held. Leaves the
// table's generation in req->mappingGeneration.
int32_t matchRequest(mappingsTable* table, quon_request* req, int32_t applyIgnoreSuffixes);

// The answer counters of the stored pattern that claimed the request while the table was
// not initialised, or null. Takes tableLock.
qnMappingCounters* coldCountersOf(mappingsTable* table, quon_request* req);

// A copy of path (from the record's malloc) up to its first ";", or null when path has
// no ";" or the copy cannot be made. The caller frees it with the record's free.
char* removePathParms(quon_request* req, const char* path);
