#include "property.h"

#include <cstring>

#include "memory.h"

namespace {
constexpr const char* kTableFull = "propertyTable full when trying to add %s = %s";
constexpr const char* kNullRequest = "setProperty: null quon_request";

// Index of the first entry whose key equals key; -1 when there is none. Entries that
// were appended with a null key never match.
int findFirst(const propertyTable* table, const char* key) {
    for (int i = 0; i < table->count; ++i) {
        const char* candidate = table->entries[i].key;
        if (candidate && strcmp(candidate, key) == 0) return i;
    }
    return -1;
}

void releaseString(quon_request* req, char* text) {
    if (text) req->permFree(req, text);
}

// Room for one more entry, growing the array when it is full. False at the capacity
// limit, and when the larger array cannot be allocated (the allocator has said why):
// the callers treat both alike, as a full table.
bool makeRoom(quon_request* req, propertyTable* table) {
    if (table->count < table->capacity) return true;
    const int grown =
        grownCapacity(table->capacity, QN_PROPERTY_FIRST_CAPACITY, QN_PROPERTY_CAPACITY);
    if (grown == 0 || table->count != table->capacity) return false;
    auto* entries = static_cast<propertyEntry*>(
        req->permMalloc(req, int(sizeof(propertyEntry) * size_t(grown))));
    if (!entries) return false;
    if (table->count > 0)
        memcpy(entries, table->entries, sizeof(propertyEntry) * size_t(table->count));
    if (table->entries) req->permFree(req, table->entries);
    table->entries = entries;
    table->capacity = grown;
    return true;
}
}  // namespace

void freeProperties(quon_request* req, propertyTable* table) {
    if (!table) return;
    for (int i = 0; i < table->count; ++i) {
        releaseString(req, table->entries[i].key);
        releaseString(req, table->entries[i].value);
    }
    if (table->entries) req->permFree(req, table->entries);
    req->permFree(req, table);
}

const char* getPropertyValue(const propertyTable* table, const char* key) {
    if (!table || !key) return nullptr;
    int index = findFirst(table, key);
    return index < 0 ? nullptr : table->entries[index].value;
}

int addProperty1(quon_request* req, propertyTable* table, char* key, char* value) {
    if (!makeRoom(req, table)) {
        req->logAt(req, QN_LOG_WARN, kTableFull, key ? key : "(null)", value ? value : "(null)");
        return -1;
    }
    return addProperty(table, key, value);
}

int addProperty(propertyTable* table, char* key, char* value) {
    if (table->count < 0 || table->count >= table->capacity) return -1;
    table->entries[table->count] = {key, value};
    return table->count++;
}

int setProperty(quon_request* req, propertyTable* table, const char* key, const char* value) {
    if (!req) {
        quon_request fallback;
        init_allocators(&fallback);
        fallback.logAt(&fallback, QN_LOG_ERROR, kNullRequest);
        return -1;
    }
    if (!table || !key || !value) return -1;
    int index = findFirst(table, key);
    if (index >= 0) {
        propertyEntry& entry = table->entries[index];
        if (entry.value && strcmp(entry.value, value) == 0) return index;
        // The old value stays when no copy can be made: the entry is never left empty.
        char* copy = req->permStrdup(req, value);
        if (!copy) return -1;
        releaseString(req, entry.value);
        entry.value = copy;
        return index;
    }
    if (!makeRoom(req, table)) {
        req->logAt(req, QN_LOG_WARN, kTableFull, key, value);
        return -1;
    }
    char* keyCopy = req->permStrdup(req, key);
    char* valueCopy = keyCopy ? req->permStrdup(req, value) : nullptr;
    if (!valueCopy) {
        releaseString(req, keyCopy);
        return -1;
    }
    return addProperty(table, keyCopy, valueCopy);
}

int removePropertyByIndex(quon_request* req, propertyTable* table, int index) {
    if (!table) return 0;
    if (index < 0 || index >= table->count) return table->count;
    releaseString(req, table->entries[index].key);
    releaseString(req, table->entries[index].value);
    int last = table->count - 1;
    memmove(&table->entries[index], &table->entries[index + 1],
            sizeof(propertyEntry) * size_t(last - index));
    table->entries[last] = {nullptr, nullptr};
    table->count = last;
    return last;
}

// Setting first makes an absent key present, so that the removal below leaves the table
// as it was; a failed set (full table, no memory) removes nothing.
int removeProperty(quon_request* req, propertyTable* table, const char* key, const char* value) {
    if (!table) return 0;
    int index = setProperty(req, table, key, value);
    if (index >= 0) removePropertyByIndex(req, table, index);
    return table->count;
}

propertyTable* loadProperties1(const char* path) {
    quon_request req;
    init_allocators(&req);
    return loadProperties(&req, path);
}

propertyTable* parseProperties1(const char* text) {
    quon_request req;
    init_allocators(&req);
    return parseProperties(&req, text);
}

void freeProperties1(propertyTable* table) {
    quon_request req;
    init_allocators(&req);
    freeProperties(&req, table);
}

int setProperty1(propertyTable* table, const char* key, const char* value) {
    quon_request req;
    init_allocators(&req);
    return setProperty(&req, table, key, value);
}
