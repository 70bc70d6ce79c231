// Helpers on the table's lists and entries, shared by the membership, store, filter,
// balancing and dispatch code. Every one of them runs under tableLock.
#pragma once

#include <cstdint>
#include <optional>

#include "sync.h"
#include "table_types.h"

// Holds tableLock for the scope when lock is 1; with 0 the caller holds it already.
class TableGuard {
public:
    TableGuard(quon_request* req, mappingsTable* table, int lock) {
        if (lock) guard_.emplace(req, table->tableLock);
    }
    // Releases it before the end of the scope (when this guard took it).
    void unlock() { guard_.reset(); }

private:
    std::optional<SyncGuard> guard_;
};

// Slot of this very proxy object in list, or -1.
int32_t listSlotOf(const proxyList* list, const quonProxy* proxy);
// Slot of the first proxy of list with exactly this name, or -1.
int32_t listSlotNamed(const proxyList* list, const char* name);
// Room for one more slot in list, growing its block when it is full (see proxyList).
// False at QN_MAX_PROXIES, and when the larger block cannot be allocated (the allocator
// has said why): the callers treat both alike, as a full list.
bool makeListRoom(quon_request* req, proxyList* list);
// Frees the list's block and leaves it empty; the record itself stays the caller's.
void releaseListSlots(quon_request* req, proxyList* list);
// Room in mappingProxies and mappingInfos for one entry past the mappings' count,
// growing them as makeListRoom grows a list; false at QN_MAX_MAPPINGS or without memory.
bool makeEntryRoom(mappingsTable* table, quon_request* req);
// What appendToList and its callers name the master list in the list-full line.
inline constexpr const char* QN_MASTER_LIST = "the master list";
// Logs "proxy %s not added to %s, the list already holds %d servers".
void logListFull(quon_request* req, const char* name, const char* where, int32_t count);
// The same line, limited by limit (a member list may name thousands of servers).
void logListFull(quon_request* req, qnLogLimit* limit, const char* name, const char* where,
                 int32_t count);
// Appends proxy with the given active flag. A list that is full or cannot grow is left
// alone: logListFull (where is the entry's pattern or QN_MASTER_LIST) and -1; else the
// new slot.
int32_t appendToList(quon_request* req, proxyList* list, quonProxy* proxy, int32_t active,
                     const char* where);
// hasActive from the list's slot flags.
void refreshHasActive(mappingInfo* info, const proxyList* list);
// Index of the entry with this pattern, or -1.
int32_t entryIndex(const mappingsTable* table, const char* pattern);
// Creates the entry pattern=value served by proxy alone (slot flag 1), with the proxy's
// algorithm and sticky and the given position and hasActive; lastMappingIndex follows.
// -1 when the table is full or its index arrays cannot grow (the full-table line is
// logged either way), or memory runs out.
int32_t newEntry(mappingsTable* table, quon_request* req, const char* pattern, const char* value,
                 quonProxy* proxy, int32_t position, int32_t hasActive);
