// Default memory, file and trace operations of quon_request, and the smaller
// initialiser for code that runs without a caller's context.
#pragma once

#include <new>

#include "export.h"
#include "request_types.h"

// Heap operations behind malloc/permMalloc, strdup, permStrdup, free/permFree.
void* qnMalloc(quon_request* req, int size);
char* qnStrdup(quon_request* req, const char* text);
char* qnPermStrdup(quon_request* req, const char* text);
void qnFree(quon_request* req, void* pointer);
QN_EXPORT FILE* qnFileOpen(quon_request* req, const char* path, const char* mode);

// Discarding operations of a defaults-only record.
void qnLogAtNoop(quon_request* req, int level, const char* format, ...);
void qnTraceNoop(quon_request* req, const char* format, ...);
void qnTraceENoop(quon_request* req, int flags, const char* format, ...);
void qnFreeHeaderNoop(quon_request* req, const char* value);

// A record for code without a call context: zeroed, silent heap allocators,
// discarding log and trace, nothing else.
void init_allocators(quon_request* req);
void* doMalloc(quon_request* req, int size);
char* doStrdup(quon_request* req, const char* text);
void doFree(quon_request* req, void* pointer);
void doTrace(quon_request* req, const char* format, ...);

// Constructs a value-initialised T in memory from the record's permMalloc slot;
// null when the allocation fails. Release with permDelete.
// The number of slots an array of capacity slots grows to for one more element: first
// while it has fewer, then double, never past limit; 0 once it holds limit slots.
constexpr int grownCapacity(int capacity, int first, int limit) {
    if (capacity >= limit) return 0;
    if (capacity < first) return first < limit ? first : limit;
    return capacity > limit / 2 ? limit : capacity * 2;
}

template <typename T>
T* permNew(quon_request* req) {
    void* memory = req->permMalloc(req, static_cast<int>(sizeof(T)));
    return memory ? new (memory) T{} : nullptr;
}

template <typename T>
void permDelete(quon_request* req, T* object) {
    if (!object) return;
    object->~T();
    req->permFree(req, object);
}
