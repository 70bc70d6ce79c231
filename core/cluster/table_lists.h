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
// What appendToList and its callers name the master list in the list-full line.
inline constexpr const char* QN_MASTER_LIST = "the master list";
// Logs "proxy %s not added to %s, the list already holds %d servers".
void logListFull(quon_request* req, const char* name, const char* where, int32_t count);
// Appends proxy with the given active flag. A full list is left alone: logListFull
// (where is the entry's pattern or QN_MASTER_LIST) and -1; else the new slot.
int32_t appendToList(quon_request* req, proxyList* list, quonProxy* proxy, int32_t active,
                     const char* where);
// hasActive from the list's slot flags.
void refreshHasActive(mappingInfo* info, const proxyList* list);
// Index of the entry with this pattern, or -1.
int32_t entryIndex(const mappingsTable* table, const char* pattern);
// Creates the entry pattern=value served by proxy alone (slot flag 1), with the proxy's
// algorithm and sticky and the given position and hasActive; lastMappingIndex follows.
// -1 when the table is full (setProperty logs it) or memory runs out.
int32_t newEntry(mappingsTable* table, quon_request* req, const char* pattern, const char* value,
                 quonProxy* proxy, int32_t position, int32_t hasActive);
