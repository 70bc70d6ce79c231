// The property text syntax and the file loader.
//
// One pair per line, "key=value". CR and LF at a line start are skipped; NUL or Ctrl-Z
// there ends the text; "#" there starts a comment up to the next LF. The key runs from
// the first character (even "=") to the next "=", CR or LF and keeps its blanks. The
// value runs to the first CR, LF or NUL; after a CR every further CR belongs to the
// value and the one character after them ends the line. In the value a backslash or CR
// is dropped and the character after it taken literally.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "property.h"

namespace {
constexpr const char* kNoValue = "property %.*s has no value. skipping.";
constexpr const char* kPairTrace = "  %.100s = %.200s";
constexpr const char* kLoadTrace = "loadProperties(%s)";
constexpr const char* kCannotOpen = "could not open %s: %s";
constexpr const char* kCannotRead = "could not read data in %s";

constexpr char kCtrlZ = 0x1A;

bool isLineEnd(char c) { return c == '\r' || c == '\n'; }

char* permBlock(quon_request* req, size_t length) {
    if (length >= size_t(INT_MAX)) return nullptr;
    return static_cast<char*>(req->permMalloc(req, int(length) + 1));
}

char* permCopy(quon_request* req, std::string_view text) {
    char* copy = permBlock(req, text.size());
    if (!copy) return nullptr;
    memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    return copy;
}

// A backslash or CR is dropped and the character after it copied unchanged; one with
// nothing after it is dropped.
char* permDecode(quon_request* req, std::string_view raw) {
    char* decoded = permBlock(req, raw.size());
    if (!decoded) return nullptr;
    size_t length = 0;
    for (size_t i = 0; i < raw.size(); ++i) {
        if ((raw[i] == '\\' || raw[i] == '\r') && ++i == raw.size()) break;
        decoded[length++] = raw[i];
    }
    decoded[length] = '\0';
    return decoded;
}

// Copies and appends one pair. A pair that cannot be copied (the allocator has said
// why) or that finds the table full is dropped, and parsing goes on.
void addPair(quon_request* req, propertyTable* table, std::string_view key,
             std::string_view rawValue) {
    char* keyCopy = permCopy(req, key);
    char* value = keyCopy ? permDecode(req, rawValue) : nullptr;
    if (value) {
        req->trace(req, kPairTrace, keyCopy, value);
        if (addProperty1(req, table, keyCopy, value) >= 0) return;
        req->permFree(req, value);
    }
    if (keyCopy) req->permFree(req, keyCopy);
}

int printableLength(size_t length) { return length > size_t(INT_MAX) ? INT_MAX : int(length); }

// Text of a system error number, safe when many threads ask at once. strerror_r comes
// in two flavours; the overload matching the platform's is used.
[[maybe_unused]] const char* pickErrorText(int result, const char* buffer) {
    return result == 0 ? buffer : "unknown error";
}
[[maybe_unused]] const char* pickErrorText(const char* result, const char*) { return result; }
const char* systemErrorText(int error, char* buffer, size_t size) {
    return pickErrorText(strerror_r(error, buffer, size), buffer);
}

class FileGuard {
public:
    explicit FileGuard(FILE* file) : file_(file) {}
    ~FileGuard() {
        if (file_) fclose(file_);
    }
    FileGuard(const FileGuard&) = delete;
    FileGuard& operator=(const FileGuard&) = delete;
    FILE* get() const { return file_; }

private:
    FILE* file_;
};

// A block from the record's request-scoped malloc, returned through its free.
class CallBuffer {
public:
    CallBuffer(quon_request* req, long size)
        : req_(req),
          data_(size >= 0 && size < INT_MAX ? static_cast<char*>(req->malloc(req, int(size) + 1))
                                            : nullptr) {}
    ~CallBuffer() {
        if (data_) req_->free(req_, data_);
    }
    CallBuffer(const CallBuffer&) = delete;
    CallBuffer& operator=(const CallBuffer&) = delete;
    char* get() const { return data_; }

private:
    quon_request* req_;
    char* data_;
};
}  // namespace

propertyTable* parseProperties(quon_request* req, const char* text) {
    auto* table = static_cast<propertyTable*>(req->permMalloc(req, sizeof(propertyTable)));
    if (!table) return nullptr;
    *table = {nullptr, 0, 0};
    const char* p = text ? text : "";
    for (;;) {
        while (isLineEnd(*p)) ++p;
        if (*p == '\0' || *p == kCtrlZ) break;
        if (*p == '#') {
            p = strchr(p, '\n');
            if (!p) break;
            ++p;
            continue;
        }
        // The first character belongs to the key whatever it is, "=" included.
        std::string_view key(p, 1 + strcspn(p + 1, "=\r\n"));
        const char* stop = key.data() + key.size();
        if (*stop == '\0') break;
        if (*stop != '=') {
            req->trace(req, kNoValue, printableLength(key.size()), key.data());
            p = stop;
            continue;
        }
        const char* valueStart = stop + 1;
        const char* end = valueStart + strcspn(valueStart, "\r\n");
        // After a CR the whole run of CRs is value; the character after it ends the line.
        while (*end == '\r') ++end;
        addPair(req, table, key, std::string_view(valueStart, size_t(end - valueStart)));
        if (*end == '\0' || end[1] == '\0') break;
        p = end + 1;
    }
    return table;
}

propertyTable* loadProperties(quon_request* req, const char* path) {
    if (!path) return nullptr;
    req->trace(req, kLoadTrace, path);
    FileGuard file(fopen(path, "rt"));
    if (!file.get()) {
        int error = errno;
        char text[256];
        req->logAt(req, QN_LOG_ERROR, kCannotOpen, path, systemErrorText(error, text, sizeof text));
        return nullptr;
    }
    long size = fseek(file.get(), 0, SEEK_END) == 0 ? ftell(file.get()) : -1;
    if (size <= 0) return nullptr;
    // A buffer that cannot be allocated (or a file too large for one) leaves nothing to
    // parse: it is reported like any file whose data cannot be read, and the result is
    // null. The allocator has already said why, where it reports failures.
    CallBuffer buffer(req, size);
    size_t got = 0;
    if (buffer.get() && fseek(file.get(), 0, SEEK_SET) == 0)
        got = fread(buffer.get(), 1, size_t(size), file.get());
    if (got == 0) {
        req->logAt(req, QN_LOG_ERROR, kCannotRead, path);
        return nullptr;
    }
    buffer.get()[got] = '\0';
    return parseProperties(req, buffer.get());
}
