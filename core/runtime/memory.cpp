#include "memory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {
constexpr const char* kMallocFailed = "malloc(%d) failed!";
constexpr const char* kStrdupFailed = "strdup(%d) failed!";
constexpr const char* kPermStrdupFailed = "perm_strdup(%d) failed!";
constexpr const char* kFreeNull = "free(null) !";

size_t blockSize(int size) { return size < 1 ? 1 : static_cast<size_t>(size); }

// Copies text into a block from the given allocator; the length must fit the
// allocator's int size.
char* copyThrough(quon_request* req, qnMallocFn allocate, const char* text, const char* failure) {
    if (!text) return nullptr;
    size_t length = strlen(text);
    char* copy = length < 0x7fffffff ? static_cast<char*>(allocate(req, int(length) + 1)) : nullptr;
    if (!copy) {
        req->logAt(req, QN_LOG_ERROR, failure, int(length));
        return nullptr;
    }
    memcpy(copy, text, length + 1);
    return copy;
}
}  // namespace

void* qnMalloc(quon_request* req, int size) {
    void* block = ::malloc(blockSize(size));
    if (!block) req->logAt(req, QN_LOG_ERROR, kMallocFailed, size);
    return block;
}

char* qnStrdup(quon_request* req, const char* text) {
    return copyThrough(req, req->malloc, text, kStrdupFailed);
}

char* qnPermStrdup(quon_request* req, const char* text) {
    return copyThrough(req, req->permMalloc, text, kPermStrdupFailed);
}

void qnFree(quon_request* req, void* pointer) {
    if (!pointer) {
        req->logAt(req, QN_LOG_WARN, kFreeNull);
        return;
    }
    ::free(pointer);
}

// A file read is opened without waiting (a FIFO or a device at the path would hold the
// caller until someone writes it) and must be a regular file: anything else is EINVAL.
FILE* qnFileOpen(quon_request*, const char* path, const char* mode) {
    if (strcmp(mode, "r") != 0) return fopen(path, mode);
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat file {};
    FILE* opened = nullptr;
    if (fstat(fd, &file) == 0 && S_ISREG(file.st_mode))
        opened = fdopen(fd, "r");
    else
        errno = EINVAL;
    if (!opened) {
        const int error = errno;
        close(fd);
        errno = error;
    }
    return opened;
}

void qnLogAtNoop(quon_request*, int, const char*, ...) {}
void qnTraceNoop(quon_request*, const char*, ...) {}
void qnTraceENoop(quon_request*, int, const char*, ...) {}
void qnFreeHeaderNoop(quon_request*, const char*) {}

void init_allocators(quon_request* req) {
    memset(req, 0, sizeof *req);
    req->malloc = req->permMalloc = doMalloc;
    req->free = req->permFree = doFree;
    req->strdup = req->permStrdup = doStrdup;
    req->logAt = qnLogAtNoop;
    req->trace = doTrace;
}

void* doMalloc(quon_request*, int size) { return ::malloc(blockSize(size)); }

char* doStrdup(quon_request*, const char* text) { return ::strdup(text ? text : ""); }

void doFree(quon_request*, void* pointer) { ::free(pointer); }

void doTrace(quon_request*, const char*, ...) {}
