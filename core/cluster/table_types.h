// Records of the mappings table of one virtual server in one child process: the
// table, the per-entry server lists and load-balancing state, and their capacities.
//
// The algorithm codes that mappingInfo.algorithm takes (QN_ROUNDROBIN 1,
// QN_ROUNDROBIN_WEIGHTED 2, QN_MIN 3, QN_MAX 4, QN_RANDOM_WEIGHTED 5) are those of the
// proxy's proxyServerInfo and are defined once, in proxy_types.h.
//
// Locking: tableLock guards every field below it except initialized, which initLock
// guards, and logLimits, which needs no lock. Lock order: initLock, then tableLock, then a
// proxy's lock; the locks are not recursive. The web-server module sees only the slots
// (table_slots.h).
#pragma once

#include <atomic>
#include <cstdint>

#include "counters_types.h"
#include "describe.h"
#include "network.h"
#include "property_types.h"
#include "proxy_types.h"
#include "sync_types.h"
#include "table_slots.h"

// Proxies per list (each entry's and the master list).
inline constexpr int QN_MAX_PROXIES = 128;
// Slots of a list once its first proxy is added; it doubles from there up to the limit.
inline constexpr int QN_LIST_FIRST_CAPACITY = 4;
// Mapping entries per table: the capacity of its propertyTable.
inline constexpr int QN_MAX_MAPPINGS = QN_PROPERTY_CAPACITY;
// Slots of mappingProxies and mappingInfos in a new table; they double as entries come.
inline constexpr int QN_MAPPINGS_FIRST_CAPACITY = QN_PROPERTY_FIRST_CAPACITY;
// Values of lastActivity: only whether it is still QN_ACTIVITY_NONE is ever tested.
inline constexpr int32_t QN_ACTIVITY_NONE = 0;
inline constexpr int32_t QN_ACTIVITY_REQUEST = 2;
inline constexpr int32_t QN_ACTIVITY_MEMBERSHIP = 3;

// The proxies that serve one entry, or every proxy of the table (the master list).
// Slots 0 to count-1 are in use, in order of first addition; slots are never removed
// or reordered, but the arrays move when the list grows (appendToList), so no pointer
// into them is kept across an addition. proxies and active share one block of capacity
// slots each, freed through proxies (null while capacity is 0). A copy of the record
// shares that block: a snapshot copies the slots (member_list.cpp).
struct proxyList {
    quonProxy** proxies;
    int32_t* active;  // 1 = takes part in selection for this list
    int32_t count;
    int32_t capacity;
};

// Load-balancing state of one mapping entry.
struct mappingInfo {
    int32_t algorithm;     // QN_ROUNDROBIN ... QN_RANDOM_WEIGHTED
    int32_t sticky;        // 1 = sticky sessions
    int32_t position;      // round-robin position: list slot last chosen
    int32_t* weightTable;  // RANDOM_WEIGHTED slots (totalWeight list positions); owned
    int32_t weightsDirty;  // 1 = rebuild weightTable before the next weighted choice
    int32_t totalWeight;   // number of slots of weightTable
    int32_t hasActive;     // 1 when a slot of the entry's list is active
    // How the entry's requests were answered, counted over every process (counters.h);
    // found once, as the entry is made; null where none are kept.
    qnMappingCounters* counters;
};

// Entry i of mappings is mapping index i: mappingProxies[i] and mappingInfos[i] belong
// to it. Entries are never deleted while the table lives. The two index arrays share one
// block of mappingCapacity slots each, freed through mappingProxies; slots past the
// last entry are null. They grow with the entries (newEntry), so mappingCapacity, not
// QN_MAX_MAPPINGS, bounds an index read from outside.
// When a failed piece of the upkeep is tried again: at once the first time, then after
// waits that double from one second up to the table's retry interval. Kept by the
// thread that runs the upkeep.
struct upkeepRetry {
    int32_t nextAttempt;  // seconds, as nowSeconds(); 0: due
    int32_t wait;         // seconds the next failure waits; 0: one second
    int32_t forwarded;    // 1 once a request brought a try of this wait forward
};

// What the upkeep of a table not initialised yet last found: the servers it tried, where
// they are, and why the table is not ready. Guarded by tableLock.
struct qnColdWatch {
    int32_t count;
    char names[QN_COLD_NAMES][QN_SERVER_NAME_SIZE];
    qnAddress addresses[QN_COLD_NAMES][QN_MAX_ADDRESSES];
    int32_t addressCounts[QN_COLD_NAMES];
    char reason[QN_COLD_REASON_SIZE];  // empty before the first failed try
    int64_t firstFailMono;             // monotonic milliseconds of the first failed try; 0: none
};

struct mappingsTable : mappingsTableSlots {
    syncLock tableLock;
    // 1 once initTable succeeded; written under initLock, read by requests without it.
    std::atomic<int32_t> initialized;
    syncLock initLock;
    int32_t clustered;         // 1 once the table is known to front a cluster; never back to 0
    int32_t clusterSeq;        // cluster sequence number last applied; 0 = none
    int32_t lastActivity;      // QN_ACTIVITY_*
    int32_t lastMappingIndex;  // number of entries less one; 0 while empty
    propertyTable* mappings;   // pattern = the server's value, in match order
    proxyList** mappingProxies;
    mappingInfo** mappingInfos;
    int32_t mappingCapacity;  // slots of mappingProxies and mappingInfos
    proxyList servers;        // master list: owns one reference to every proxy
    int32_t proxyRetryInterval;
    int32_t ignoreSuffixes;
    char* storeContents;    // text last read from or written to serverStore; owned
    char* serverStore;      // owned; null when not configured
    char* bootstrapServer;  // host:port; owned; null when not configured
    int32_t bootstrapped;   // 1 once the bootstrap server supplied a new server
    // Exchanges of the upkeep run without tableLock (upkeep.cpp, dispatch.cpp,
    // member_list.cpp); these claims let one thread at a time talk to a server for it.
    // upkeepBusy is per master-list slot; memberListBusy covers the member-list fetch.
    int32_t upkeepBusy[QN_MAX_PROXIES];
    int32_t memberListBusy;
    // The newest sequence number a response reported that the table has not applied yet
    // (0: none), and the server that reported it; the upkeep fetches its member list.
    int32_t reportedSeq;
    quonProxy* reporter;
    // Retries of the upkeep's pieces that failed: the first initialisation, the member
    // list of reportedSeq, and the bootstrap server while it has supplied nobody.
    upkeepRetry initRetry;
    upkeepRetry memberListRetry;
    upkeepRetry bootstrapRetry;
    // Goes up whenever an entry moves to another index, so that an index taken from an
    // earlier filtering can be checked before it is used. Starts at 1.
    uint32_t generation;
    // Which virtual server's counters the table's servers keep (see counters.h), as the
    // web server numbers them; set before the table is first used.
    int32_t counterScope;
    // The failure lines of requests that no server could take, one cell per kind.
    qnLogLimits logLimits;
    // Those of the server records made anew for each try (the bootstrap server's, and each
    // joining server's until it joins), so that an outage writes one line of a kind per
    // interval, not one per try; kept by the upkeep's thread alone.
    qnLogLimits bootstrapLogLimits;
    qnLogLimits joinLogLimits;
    // The virtual server's name for the log lines of the health checks; owned, or null.
    char* label;
    // URL patterns the table served when its servers were last known (from the server
    // store): while the table is not initialised, requests that match them are claimed
    // and answered with the error page instead of falling to the web server. Null when
    // the store held none. Guarded by tableLock.
    propertyTable* knownPatterns;
    // The answer counters of each of them, in their order (permMalloc'd, null when none):
    // the requests they claim are counted before any server is known.
    qnMappingCounters** knownCounters;
    // Milliseconds (monotonic) of the last initialisation attempt, and a request's wish
    // for another one soon; the upkeep reads and writes the first, requests the second.
    int64_t lastInitMono;
    std::atomic<int32_t> initWanted;
    std::atomic<int32_t> cameBack;  // 1: a server it waits for answers again (checks.cpp)
    int32_t coldTold;  // 1 once a request was told that nothing claims its URIs yet
    // URL patterns the operator names to claim while the table is not initialised, on top
    // of those the store remembers (null: none); set before the table is first used; owned.
    propertyTable* claimPatterns;
    qnColdWatch cold;
    // Entries the server store holds patterns of: the store is written again when the
    // table has more.
    int32_t persistedPatterns;
    int32_t storeTooLargeTold;  // 1 once told that the store's text is over its bound
    uint32_t persistedGeneration;  // the generation of the entries the store last learned
    // The networks members must be in (none: any network), besides the kinds of address
    // no server is at; set before the table is first used, not owned.
    const qnNetwork* memberNetworks;
    int32_t memberNetworkCount;
    // 1 (the default): a server joins only after a health check on a socket of its own
    // answered (check.h). A host whose record plays every server through its socket slots
    // has no socket a check could reach, and sets 0: servers then join on their props
    // exchange alone.
    int32_t joinChecks;
    // The path each health check of the table's servers asks the application for (null:
    // none, not owned), and the seconds of a returning server's slow start (0: none); set
    // before the table is first used.
    const char* healthCheckUri;
    int32_t slowStartSeconds;
    // When the first server joined the table (monotonic milliseconds; 0: none yet), so
    // that a later member starts slowly and those that start with the table do not.
    // Guarded by tableLock.
    int64_t firstJoinMono;
};
