// Helpers for tests that drive a quonProxy directly, and protocol bytes written by hand.
#pragma once

#include <arpa/inet.h>

#include <cctype>
#include <cstdint>
#include <future>
#include <string>

#include "loopback_peer.h"
#include "proxy.h"
#include "proxy_types.h"
#include "request_types.h"
#include "wire.h"
#include "wire_codes.h"

// A test's name from a table row's words: letters and digits kept, the rest "_".
inline std::string testName(const std::string& words) {
    std::string name = words;
    for (char& c : name)
        if (!isalnum(static_cast<unsigned char>(c))) c = '_';
    return name;
}

// "host:port" of an IPv4 socket address.
inline std::string serverName(const sockaddr_in& address) {
    char host[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &address.sin_addr, host, sizeof host);
    return std::string(host) + ":" + std::to_string(ntohs(address.sin_port));
}

// The record of an IPv4 socket address, as a pool keeps it.
inline qnAddress addressOf(const sockaddr_in& address) {
    qnAddress out{};
    out.v4 = address;
    out.length = sizeof address;
    return out;
}

// A resolve slot that finds nothing, for a record whose proxy keeps the addresses a test
// gave it.
inline int resolverDown(quon_request*, const char*, int, qnAddress*, int, const char** reason) {
    *reason = "the test's resolver is down";
    return 0;
}

inline int idleCount(const quonProxy* proxy) {
    int count = 0;
    for (quonConnection* c = proxy->pool ? proxy->pool->freeList : nullptr; c; c = c->next) ++count;
    return count;
}

// A proxy with a pool to the address and nothing fetched, as a temporary proxy has;
// destroyed with its idle connections at the end of the scope.
class BareProxy {
public:
    BareProxy(quon_request* req, const sockaddr_in& address)
        : req_(req), proxy_(quonProxyNew(req)) {
        proxy_->initProxy(proxy_, req, serverName(address).c_str(), 0, 1);
    }
    ~BareProxy() { proxy_->destroy(proxy_, req_); }
    BareProxy(const BareProxy&) = delete;
    BareProxy& operator=(const BareProxy&) = delete;

    quonProxy* get() const { return proxy_; }
    quonProxy* operator->() const { return proxy_; }
    int idle() const { return idleCount(proxy_); }

private:
    quon_request* req_;
    quonProxy* proxy_;
};

// Runs f on its own thread, so that the test thread can play the server meanwhile.
template <typename F>
auto inBackground(F f) {
    return std::async(std::launch::async, std::move(f));
}

// An int32 in network order, a string with its length, a message code with its fields.
inline std::string be32(int32_t value) {
    uint32_t bits = static_cast<uint32_t>(value);
    return {char(bits >> 24), char(bits >> 16), char(bits >> 8), char(bits)};
}
inline std::string wireString(const std::string& text) { return be32(int32_t(text.size())) + text; }
inline std::string message(int32_t code, const std::string& fields = "") {
    return be32(code) + fields;
}

// What the peer reads of a request: the ping of a new connection (none on a pooled one)
// and one PROXY_SERVICE_40 message, which it returns; "" when it did not come whole.
inline std::string receiveRequest(LoopbackPeer& peer, bool pinged = true) {
    if (pinged && peer.receive(4) != be32(PROXY_PING)) return "";
    const std::string head = peer.receive(8);
    return head.size() != 8 ? "" : head + peer.receive(size_t(getInt32(head.data() + 4)));
}
