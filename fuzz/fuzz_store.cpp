// The server store loader over a fuzzed store file, offline: the record's file slot
// serves the input as the file, its resolve slot plays the resolver (a name that begins
// with x resolves nowhere, any other to ::1 and 127.0.0.1), and its socket slots play
// every server: a connect to an odd port is refused, any other gets a connection on which
// each props request is answered with one mapping and PROXY_FINISH. The servers added and
// the text written back (a real file, in a folder of the target's own) are checked against
// the store rules restated on strings.
#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
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

#include "fuzz_support.h"
#include "memory.h"
#include "property.h"
#include "request.h"
#include "table.h"

namespace {
using fuzz::check;
constexpr size_t kLongestName = QN_SERVER_NAME_SIZE - 1;  // what a proxy's name holds
constexpr size_t kLongestHost = 253;                      // a DNS name
constexpr size_t kLongestLabel = 63;
constexpr char kNameCharacters[] =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_.";
constexpr size_t kMaxNewPerList = 64;  // the names one list may bring in
// PROXY_PUT_PROPS "/app/*=x\n", then PROXY_FINISH.
constexpr char kAnswer[] = "\0\0\0\x0e\0\0\0\x09/app/*=x\n\0\0\0\x09";
constexpr size_t kAnswerSize = sizeof kAnswer - 1;

std::string file;                 // the store file as read
std::map<int, size_t> positions;  // open sockets and their place in the answers
int lastSocket = 100;

FILE* openStore(quon_request*, const char*, const char*) {
    errno = ENOENT;
    return file.empty() ? nullptr : fmemopen(file.data(), file.size(), "r");
}
int resolve(quon_request*, const char* host, int port, qnAddress* addresses, int capacity,
            const char** reason) {
    qnAddress v4{}, v6{};
    v4.v4.sin_family = AF_INET;
    v4.v4.sin_port = htons(uint16_t(port));
    v4.length = sizeof v4.v4;
    v6.v6.sin6_family = AF_INET6;
    v6.v6.sin6_port = htons(uint16_t(port));
    v6.length = sizeof v6.v6;
    check(capacity >= 2);
    if (inet_pton(AF_INET, host, &v4.v4.sin_addr) == 1) return addresses[0] = v4, 1;
    if (inet_pton(AF_INET6, host, &v6.v6.sin6_addr) == 1) return addresses[0] = v6, 1;
    if (*host == 'x' || *host == 'X') return *reason = "no such name", 0;
    v4.v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    v6.v6.sin6_addr = in6addr_loopback;
    addresses[0] = v6;
    addresses[1] = v4;
    return 2;
}
int connectTo(quon_request* req, const qnAddress* addresses, int count, quonProxy*) {
    check(count >= 1);
    if (ntohs(addresses[0].v4.sin_port) % 2) {
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

bool allOf(std::string_view text, const char* set) {
    return text.find_first_not_of(set) == std::string_view::npos;
}

bool goodPort(const std::string& text, int& port) {
    if (text.empty() || text.size() > 5 || !allOf(text, "0123456789")) return false;
    port = atoi(text.c_str());
    return port >= 1 && port <= 65535;
}

// Dot-separated labels of 1 to 63 characters; a final dot ends the name.
bool goodLabels(std::string name) {
    if (name.back() == '.') name.pop_back();
    for (size_t at = 0;;) {
        const size_t dot = name.find('.', at);
        const size_t length = (dot == std::string::npos ? name.size() : dot) - at;
        if (length == 0 || length > kLongestLabel) return false;
        if (dot == std::string::npos) return true;
        at = dot + 1;
    }
}

// "[IPv6]:port", "IPv4:port" or "name:port" with the port 1-65535; a host of digits and
// dots only must be an IPv4 address. Whether it resolves: every address does, and every
// name but those that begin with x (to loopback addresses). The store's names are taken
// as configured: an address no member of a list may have (0.0.0.0, ::) still joins.
bool resolvable(const std::string& piece, int& port) {
    std::string host, portText;
    unsigned char scratch[sizeof(in6_addr)];
    if (piece[0] == '[') {
        const size_t close = piece.find(']');
        if (close == std::string::npos || close + 1 >= piece.size() || piece[close + 1] != ':')
            return false;
        host = piece.substr(1, close - 1);
        portText = piece.substr(close + 2);
        return inet_pton(AF_INET6, host.c_str(), scratch) == 1 && goodPort(portText, port);
    }
    const size_t colon = piece.find(':');
    if (colon == std::string::npos || piece.find(':', colon + 1) != std::string::npos) return false;
    host = piece.substr(0, colon);
    portText = piece.substr(colon + 1);
    if (host.empty() || host.size() > kLongestHost || !allOf(host, kNameCharacters) ||
        !goodPort(portText, port))
        return false;
    if (allOf(host, "0123456789.")) return inet_pton(AF_INET, host.c_str(), scratch) == 1;
    return goodLabels(host) && host[0] != 'x' && host[0] != 'X';
}

// The names that become servers, in order: of the first kMaxNewPerList distinct pieces
// between ";" (in lower case), those that fit a proxy's name, resolve, and whose port
// takes a connection.
std::vector<std::string> modelServers(const char* value) {
    std::vector<std::string> tried, servers;
    std::string_view rest = value ? value : "";
    while (!rest.empty()) {
        std::string piece(rest.substr(0, rest.find(';')));
        rest.remove_prefix(std::min(rest.size(), piece.size() + 1));
        for (char& c : piece) c = char(tolower(static_cast<unsigned char>(c)));
        if (piece.empty() || std::find(tried.begin(), tried.end(), piece) != tried.end()) continue;
        if (tried.size() == kMaxNewPerList) break;
        tried.push_back(piece);
        int port = 0;
        if (piece.size() > kLongestName || !resolvable(piece, port) || port % 2) continue;
        servers.push_back(piece);
    }
    return servers;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::startOnce();
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
    fuzz::quiet(&req);
    req.fileOpen = openStore;
    req.connect = connectTo;
    req.resolve = resolve;
    req.closeSocket = [](quon_request*, int sock) { check(positions.erase(sock) == 1); };
    req.send = [](quon_request*, int, const char*, int length) { return length; };
    req.recv = answer;
    req.pending = [](quon_request*, int) { return 0; };

    propertyTable* stored = parseProperties(&req, file.c_str());
    std::vector<std::string> servers = modelServers(getPropertyValue(stored, "proxyservers"));
    freeProperties(&req, stored);
    // Every server maps /app/*, kept as the entry /app* once any server joined.
    std::string text = "proxyservers=";
    for (const std::string& name : servers) text += name + ";";
    if (!servers.empty()) text += "\npattern=/app*";

    mappingsTable* table = mappingsTableNew(&req, store.c_str(), nullptr, 0);
    check(table != nullptr);
    table->joinChecks = 0;  // the servers are played through the socket slots alone
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
