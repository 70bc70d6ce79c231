// The server store file: the names of the servers the table knew last, read when the
// bootstrap server supplies none and rewritten whenever the membership by name changes,
// and the URL patterns of the table's entries. Its first line is "proxyservers=" and
// every name followed by ";", active servers first; then one line "pattern=" per entry,
// in match order (a backslash before each backslash, CR or LF of the pattern), without a
// line end after the last. A store of a build that wrote the first line alone still
// loads: its table just knows no patterns before a server answers.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "counters.h"
#include "log_limit.h"
#include "property.h"
#include "sync.h"
#include "table.h"
#include "table_lists.h"

namespace {
constexpr const char* kNoStoreToLoad =
    "can't load servers from serverstore, no serverstore specified.";
constexpr const char* kCannotOpenStore = "could not open serverstore \"%s\": %s";
constexpr const char* kNotRegular = "serverstore \"%s\" is not a regular file: not read";
constexpr const char* kLoading = "loadServersFromStore(%s)";
constexpr const char* kCannotRead = "could not read contents of %s: %s";
constexpr const char* kNoStoreToWrite = "can't persist servers, no serverstore specified.";
constexpr const char* kUnchanged = "no changes to serverstore %s";
constexpr const char* kCannotOpen = "could not open \"%s\": %s";
constexpr const char* kCannotReplace = "could not replace \"%s\": %s";
constexpr const char* kPersisted = "persisted servers in %s: %s";
constexpr const char* kCannotPersist = "could not persist servers in %s: %s";
constexpr const char* kKey = "proxyservers";
constexpr int kKeyLength = 13;  // "proxyservers="
constexpr const char* kPatternKey = "pattern";
constexpr char kPatternLine[] = "\npattern=";
constexpr const char* kPatternsKnown = "%d URL patterns known from %s";
constexpr const char* kTooLarge =
    "server store %s not written: its text would take %zu bytes, more than the %ld allowed";
constexpr char kTemporarySuffix[] = ".XXXXXX";
// The store holds a few dozen names; a file far beyond that is not read into memory.
constexpr long kMaxStoreSize = 1 << 20;

// The whole file as a permanent string, or null (with the reason logged).
char* readStore(quon_request* req, FILE* file, const char* path) {
    long size = fseek(file, 0, SEEK_END) == 0 ? ftell(file) : -1;
    if (size <= 0) return nullptr;
    int error = EFBIG;
    char* text =
        size <= kMaxStoreSize ? static_cast<char*>(req->permMalloc(req, int(size) + 1)) : nullptr;
    size_t read = 0;
    if (text) {
        rewind(file);
        read = fread(text, 1, size_t(size), file);
        error = errno;
    }
    if (read == 0) {
        req->logAt(req, QN_LOG_ERROR, kCannotRead, path, strerror(error));
        if (text) req->permFree(req, text);
        return nullptr;
    }
    text[read] = '\0';
    return text;
}

// The list handed to addStoredServers: the k-th non-empty name under "Server_k". The
// names are cut from a copy of the value in place.
propertyTable* serverListOf(quon_request* req, const char* names) {
    propertyTable* list = parseProperties(req, nullptr);
    char* copy = list && names ? req->permStrdup(req, names) : nullptr;
    if (!copy) return list;
    int k = 0;
    for (char* piece = copy; *piece;) {
        char* end = strchr(piece, ';');
        if (end) *end = '\0';
        if (*piece) {
            char key[24];
            snprintf(key, sizeof key, "Server_%i", ++k);
            setProperty(req, list, key, piece);
        }
        piece = end ? end + 1 : piece + strlen(piece);
    }
    req->permFree(req, copy);
    return list;
}

// Bytes of a pattern as the store writes it, escapes included.
size_t escapedLength(const char* text) {
    size_t length = 0;
    for (const char* at = text; *at; ++at) length += strchr("\\\r\n", *at) ? 2 : 1;
    return length;
}

char* appendEscaped(char* end, const char* text) {
    for (const char* at = text; *at; ++at) {
        if (strchr("\\\r\n", *at)) *end++ = '\\';
        *end++ = *at;
    }
    return end;
}

// The store's text for the master list and the entries' patterns; null without memory or
// when it would be over the bound (*size then tells its size).
char* storeText(const mappingsTable* table, quon_request* req, size_t* needed) {
    const proxyList& servers = table->servers;
    const propertyTable* mappings = table->mappings;
    size_t size = kKeyLength + 1;
    for (int32_t slot = 0; slot < servers.count; ++slot)
        size += strlen(servers.proxies[slot]->name) + 1;
    for (int32_t index = 0; mappings && index < mappings->count; ++index)
        size += sizeof kPatternLine + escapedLength(mappings->entries[index].key);
    *needed = size;
    if (size > size_t(kMaxStoreSize)) return nullptr;
    auto* text = static_cast<char*>(req->permMalloc(req, int(size)));
    if (!text) return nullptr;
    char* end = text;
    auto append = [&end](const char* piece, size_t length) {
        memcpy(end, piece, length);
        end += length;
    };
    append(kKey, kKeyLength - 1);
    append("=", 1);
    for (int32_t wanted : {1, 0})
        for (int32_t slot = 0; slot < servers.count; ++slot) {
            const char* name = servers.proxies[slot]->name;
            if ((servers.active[slot] != 0) != (wanted != 0)) continue;
            if (table->bootstrapServer && strcasecmp(name, table->bootstrapServer) == 0) continue;
            append(name, strlen(name));
            append(";", 1);
        }
    for (int32_t index = 0; mappings && index < mappings->count; ++index) {
        append(kPatternLine, sizeof kPatternLine - 1);
        end = appendEscaped(end, mappings->entries[index].key);
    }
    *end = '\0';
    return text;
}

// What a read of the store is for: the servers (initialisation found no bootstrap server
// to answer), or only the patterns, before the first initialisation, which a store not
// written yet has none of.
enum class StoreRead { servers, patterns };

// The store's contents, parsed; null without a store or when it cannot be read (said in
// the log, but for a read of the patterns alone from a store not written yet). *contents
// gets the text read, or null.
propertyTable* readStoreFile(mappingsTable* table, quon_request* req, char** contents,
                             StoreRead what) {
    const char* path = table->serverStore;
    *contents = nullptr;
    if (!path || !*path) {
        if (what == StoreRead::servers) req->logAt(req, QN_LOG_INFO, "%s", kNoStoreToLoad);
        return nullptr;
    }
    // A FIFO or a device at the store's path is never opened: its open or read could wait
    // for ever, and the table's upkeep with it.
    struct stat found {};
    if (stat(path, &found) == 0 && !S_ISREG(found.st_mode)) {
        logLimited(req, &table->logLimits.kinds[QN_LIMIT_STORE], QN_LOG_ERROR, kNotRegular, path);
        return nullptr;
    }
    FILE* file = req->fileOpen(req, path, "r");
    if (!file) {
        // A store not written yet (the first start, before any server answered) is no
        // fault: every child would warn of it. Any other reason is one.
        const int error = errno;
        if (what == StoreRead::servers || error != ENOENT)
            logLimited(req, &table->logLimits.kinds[QN_LIMIT_STORE],
                       error == ENOENT ? QN_LOG_INFO : QN_LOG_WARN, kCannotOpenStore, path,
                       strerror(error));
        return nullptr;
    }
    if (what == StoreRead::servers) req->trace(req, kLoading, path);
    *contents = readStore(req, file, path);
    propertyTable* stored = *contents ? parseProperties(req, *contents) : nullptr;
    fclose(file);
    return stored;
}

// A new file beside the store, made by this call alone (O_EXCL: no link is followed and
// no other writer shares it) and readable by its owner only, then renamed over the
// store: readers see the old list or the new one, never an empty or half-written file.
bool writeStore(quon_request* req, const char* path, const char* text) {
    const size_t pathLength = strlen(path);
    auto* temporary =
        static_cast<char*>(req->malloc(req, int(pathLength + sizeof kTemporarySuffix)));
    if (!temporary) return false;
    memcpy(temporary, path, pathLength);
    memcpy(temporary + pathLength, kTemporarySuffix, sizeof kTemporarySuffix);
    const int fd = mkostemp(temporary, O_CLOEXEC);
    FILE* file = fd >= 0 ? fdopen(fd, "w") : nullptr;
    if (!file) {
        req->logAt(req, QN_LOG_ERROR, kCannotOpen, temporary, strerror(errno));
        if (fd >= 0) {
            close(fd);
            unlink(temporary);
        }
        req->free(req, temporary);
        return false;
    }
    const size_t length = strlen(text);
    // Written through to the file here, so that a full disk shows now and not at close.
    bool written = fwrite(text, 1, length, file) == length && fflush(file) == 0;
    int error = errno;
    written = fclose(file) == 0 && written;
    if (written && rename(temporary, path) != 0) {
        error = errno;
        req->logAt(req, QN_LOG_ERROR, kCannotReplace, path, strerror(error));
        written = false;
    } else if (!written) {
        req->logAt(req, QN_LOG_ERROR, kCannotPersist, path, strerror(error));
    }
    if (!written) unlink(temporary);
    req->free(req, temporary);
    return written;
}
}  // namespace

int32_t loadServersFromStore(mappingsTable* table, quon_request* req) {
    char* contents = nullptr;
    propertyTable* stored = readStoreFile(table, req, &contents, StoreRead::servers);
    propertyTable* list = serverListOf(req, getPropertyValue(stored, kKey));
    freeProperties(req, stored);
    {
        SyncGuard guard(req, table->tableLock);
        if (table->storeContents) req->permFree(req, table->storeContents);
        table->storeContents = contents;
    }
    return list ? addStoredServers(table, req, list) : 0;
}

int32_t loadKnownPatterns(mappingsTable* table, quon_request* req) {
    char* contents = nullptr;
    propertyTable* stored = readStoreFile(table, req, &contents, StoreRead::patterns);
    if (contents) req->permFree(req, contents);
    const propertyTable* claims = table->claimPatterns;
    propertyTable* patterns = stored || claims ? parseProperties(req, nullptr) : nullptr;
    for (int32_t i = 0; patterns && stored && i < stored->count; ++i) {
        const propertyEntry& entry = stored->entries[i];
        if (strcmp(entry.key, kPatternKey) == 0 && entry.value && *entry.value)
            setProperty(req, patterns, entry.value, "");
    }
    freeProperties(req, stored);
    // The operator's claims come after the store's patterns, which know the servers' order.
    for (int32_t i = 0; patterns && claims && i < claims->count; ++i)
        setProperty(req, patterns, claims->entries[i].key, "");
    const int32_t count = patterns ? patterns->count : 0;
    if (count == 0) {
        freeProperties(req, patterns);
        patterns = nullptr;
    } else {
        req->logAt(req, QN_LOG_INFO, kPatternsKnown, int(count),
                   table->serverStore ? table->serverStore : "QuonConfig claim");
    }
    // Claiming a counter record takes the segment's lock: once here, not per request.
    qnMappingCounters** counters = nullptr;
    if (count > 0)
        counters = static_cast<qnMappingCounters**>(
            req->permMalloc(req, int(size_t(count) * sizeof(qnMappingCounters*))));
    for (int32_t i = 0; counters && i < count; ++i)
        counters[i] = qnMappingCountersFor(table->counterScope, patterns->entries[i].key);
    SyncGuard guard(req, table->tableLock);
    freeProperties(req, table->knownPatterns);
    table->knownPatterns = patterns;
    if (table->knownCounters) req->permFree(req, table->knownCounters);
    table->knownCounters = counters;
    return count;
}

int32_t persistServers(mappingsTable* table, quon_request* req) {
    const char* path = table->serverStore;
    if (!path || !*path) {
        req->logAt(req, QN_LOG_DEBUG, "%s", kNoStoreToWrite);
        return -1;
    }
    char* text;
    {
        SyncGuard hold(req, table->tableLock);
        if (table->servers.count == 0) return 0;
        size_t size = 0;
        text = storeText(table, req, &size);
        // Said once, until a write succeeds again: the membership changes often.
        if (!text && size > size_t(kMaxStoreSize) && !table->storeTooLargeTold) {
            table->storeTooLargeTold = 1;
            req->logAt(req, QN_LOG_ERROR, kTooLarge, path, size, kMaxStoreSize);
        }
        if (!text) return -1;
        if (table->storeContents && strcmp(table->storeContents, text) == 0) {
            req->trace(req, kUnchanged, path);
            req->permFree(req, text);
            return 0;
        }
    }
    // The disk is written with no lock held.
    if (!writeStore(req, path, text)) {
        req->permFree(req, text);
        return -1;
    }
    req->traceE(req, QN_TRACE_DETAIL, kPersisted, path, text);
    SyncGuard hold(req, table->tableLock);
    if (table->storeContents) req->permFree(req, table->storeContents);
    table->storeContents = text;
    table->storeTooLargeTold = 0;
    return 0;
}
