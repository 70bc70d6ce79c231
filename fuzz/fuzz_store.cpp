// The server store loader over a fuzzed store file, offline: the record's file slot
// serves the input as the file, and its socket slots play every server: a connect to an
// odd port is refused, any other gets a connection on which each props request is
// answered with one mapping and PROXY_FINISH. The servers added and the text written
// back (a real file, in a folder of the target's own) are checked against the store
// rules restated on strings.
#include <apr_general.h>
#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

#include "fuzz_log.h"
#include "memory.h"
#include "property.h"
#include "request.h"
#include "sync.h"
#include "table.h"

namespace {
constexpr size_t kLongestName = 63;  // what a proxy's name holds
constexpr size_t kMaxHost = 39;
constexpr size_t kMaxServers = 128;
// PROXY_PUT_PROPS "/app/*=x\n", then PROXY_FINISH.
constexpr char kAnswer[] = "\0\0\0\x0e\0\0\0\x09/app/*=x\n\0\0\0\x09";
constexpr size_t kAnswerSize = sizeof kAnswer - 1;

void check(bool holds) {
    if (!holds) __builtin_trap();
}

std::string file;  // the store file as read
std::map<int, size_t> positions;  // open sockets and their place in the answers
int lastSocket = 100;

FILE* openStore(quon_request*, const char*, const char*) {
    errno = ENOENT;
    return file.empty() ? nullptr : fmemopen(file.data(), file.size(), "r");
}
int connectTo(quon_request* req, const sockaddr_in* address, quonProxy*) {
    if (ntohs(address->sin_port) % 2) {
        req->errorCode = ECONNREFUSED;
        return -1;
    }
    positions[++lastSocket] = 0;
    return lastSocket;
}
int answer(quon_request*, int sock, char* buffer, int length, quonProxy*) {
    size_t& at = positions.at(sock);
    size_t n = std::min(size_t(length), kAnswerSize - at % kAnswerSize);
    memcpy(buffer, kAnswer + at % kAnswerSize, n);
    at += n;
    return int(n);
}

// The names that become servers, in order: pieces between ";" that name no server yet,
// fit a proxy's name with a colon within the longest host, and whose port takes a
// connection.
std::vector<std::string> modelServers(const char* value) {
    std::vector<std::string> servers;
    std::string_view rest = value ? value : "";
    while (!rest.empty()) {
        std::string piece(rest.substr(0, rest.find(';')));
        rest.remove_prefix(std::min(rest.size(), piece.size() + 1));
        size_t colon = piece.find(':');
        bool known = std::find(servers.begin(), servers.end(), piece) != servers.end();
        if (piece.empty() || known || piece.size() > kLongestName || colon == std::string::npos ||
            colon > kMaxHost)
            continue;
        if (uint16_t(atoi(piece.c_str() + colon + 1)) % 2 || servers.size() >= kMaxServers)
            continue;
        servers.push_back(piece);
    }
    return servers;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = (apr_initialize(), initQuonMutexPool(), true);
    check(ready);
    static char folder[] = "/tmp/quon-fuzz-store-XXXXXX";
    static const std::string store = [] {
        check(mkdtemp(folder) != nullptr);
        std::atexit([] {
            unlink((std::string(folder) + "/serverstore").c_str());
            rmdir(folder);
        });
        return std::string(folder) + "/serverstore";
    }();
    file.assign(reinterpret_cast<const char*>(data), size);
    unlink(store.c_str());
    quon_request req;
    init_quon_request(&req);
    fuzzlog::quiet(&req);
    req.fileOpen = openStore;
    req.connect = connectTo;
    req.closeSocket = [](quon_request*, int sock) { check(positions.erase(sock) == 1); };
    req.send = [](quon_request*, int, const char*, int length) { return length; };
    req.recv = answer;
    req.pending = [](quon_request*, int) { return 0; };

    propertyTable* stored = parseProperties(&req, file.c_str());
    std::vector<std::string> servers = modelServers(getPropertyValue(stored, "proxyservers"));
    freeProperties(&req, stored);
    std::string text = "proxyservers=";
    for (const std::string& name : servers) text += name + ";";

    mappingsTable* table = mappingsTableNew(&req, store.c_str(), nullptr, 0);
    check(table != nullptr);
    check(loadServersFromStore(table, &req) == int32_t(servers.size()));
    // Written when there are servers and the text differs from the file's, up to its NUL.
    bool changed = !servers.empty() && text != file.c_str();
    FILE* written = fopen(store.c_str(), "r");
    check((written != nullptr) == changed);
    if (written) {
        char back[16384];
        const size_t n = fread(back, 1, sizeof back, written);
        fclose(written);
        check(text == std::string(back, n));
    }
    mappingsTableDelete(table, &req);
    check(positions.empty());
    return 0;
}
