// A read-only picture of one mappings table for the web server's status page: the
// cluster's state, every server as this process sees it, and the mapping entries. It is
// copied under tableLock in one short pass and read afterwards without any lock.
#pragma once

#include <cstdint>

#include "counters_types.h"
#include "request_types.h"

struct mappingsTable;

// Servers a table not initialised yet keeps watching (its bootstrap server and the servers
// its store names), so that the health checks tell their state and bring the next try
// forward as one answers; at most this many.
inline constexpr int QN_COLD_NAMES = 16;
inline constexpr int QN_COLD_REASON_SIZE = 256;

struct qnDescribedServer {
    char name[QN_SERVER_NAME_SIZE];
    char replicationId[32];      // cut to fit; empty without one
    int32_t active;              // 1: takes part in selection (the master list's flag)
    int32_t idle;                // idle pooled connections
    int32_t busy;                // this process's attempts to it in flight
    int32_t retryLeft;           // seconds before it is tried again; 0: not waiting
    int32_t weight;              // the last load value it reported, or its weight
    int32_t algorithm;           // QN_ROUNDROBIN ..., from its properties
    qnServerCounters* counters;  // the shared slot, or null
};

struct qnDescribedEntry {
    const char* pattern;  // copies kept in the description's block
    const char* value;
    int32_t algorithm;
    int32_t sticky;
    int32_t hasActive;
    int32_t count;           // servers of the entry
    const int32_t* servers;  // each one's index in qnTableDescription::servers
    const int32_t* active;   // each one's slot flag in this entry
};

struct qnTableDescription {
    int32_t initialized;
    int32_t clustered;
    int32_t clusterSeq;
    int32_t bootstrapped;
    const char* bootstrapServer;  // copies, or null when not configured
    const char* serverStore;
    int32_t serverCount;
    qnDescribedServer* servers;  // in master-list order
    int32_t entryCount;          // 0 unless the entries were asked for
    qnDescribedEntry* entries;   // in match order
    // While the table is not initialised: why (empty before its first try failed), the
    // servers it waits for, and the URL patterns it claims meanwhile, blank-separated
    // (null: none, and the web server answers its URIs itself).
    char coldReason[QN_COLD_REASON_SIZE];
    int32_t coldCount;
    char coldNames[QN_COLD_NAMES][QN_SERVER_NAME_SIZE];
    const char* claimed;
};

// The picture of table, in one block from the record's malloc that the caller frees with
// the record's free; withEntries 0 leaves the entries out (the servers alone are cheap).
// Null without memory. Takes tableLock, and each server's lock inside it to count its
// idle connections.
qnTableDescription* describeTable(mappingsTable* table, quon_request* req, int32_t withEntries);

// Marks the answer counters of every mapping entry of table seen at now (seconds since
// the epoch), so that none is taken back while the table has it. Takes tableLock.
void touchEntryCounters(mappingsTable* table, quon_request* req, int64_t now);

// Names the virtual server whose counters the table's servers keep (table_types.h).
// Before the table is first used.
void setCounterScope(mappingsTable* table, int32_t scope);
// The application's health-check path (null: none; it must outlive the table) and the
// slow start in seconds of the table's servers; before the table is first used.
void setServerWatch(mappingsTable* table, const char* healthCheckUri, int32_t slowStartSeconds);
// The URL patterns (count of them, copied) that the table claims while it is not
// initialised, besides those its store remembers. Before the table is first used.
void setClaimPatterns(mappingsTable* table, quon_request* req, const char* const* patterns,
                      int32_t count);
