// Where a back-end server is reached: its name "host:port" read in one place (for the
// proxies and the web server's configuration check alike), the name's addresses from the
// system's resolver, and an address written back as text for the logs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "request_types.h"

// What a server text says, or why it names no server.
enum class AddressText {
    ok,
    noPort,       // no ":port" after the host
    badPort,      // not 1 to 5 digits, or outside 1-65535
    badHost,      // empty, a character no host name has, a bad label or IPv4 address
    badBrackets,  // an IPv6 address without its brackets, or brackets around no address
    tooLong,      // a host beyond QN_MAX_HOST_LENGTH, or a text beyond a proxy's name
};

// A server text read: the host (without brackets) points into the text.
struct ServerAddress {
    std::string_view host;
    uint16_t port;
    int family;  // AF_INET or AF_INET6 for an address, AF_UNSPEC for a name to resolve
};

// "name:port", "a.b.c.d:port" or "[ipv6]:port", the port 1-65535. A name has letters,
// digits, "-", "_" and dots, labels of 1 to 63 characters (a final dot is allowed); a host
// of digits and dots alone is an IPv4 address (no top-level name is all digits). IPv6
// zone ids ("%eth0") are not taken.
AddressText parseServerAddress(std::string_view text, ServerAddress& out);

// The addresses of host for port, IPv6 and IPv4 in the resolver's order, at most capacity;
// their number, or 0 with the resolver's reason (a static text) in *reason. An address
// needs no lookup; a name is looked up with getaddrinfo, which may wait on the network:
// never call it under a lock.
int resolveHost(const char* host, int port, qnAddress* addresses, int capacity,
                const char** reason);
// The default resolve slot: resolveHost.
int qnResolve(quon_request* req, const char* host, int port, qnAddress* addresses, int capacity,
              const char** reason);

// Room for the host of any address as hostText writes it.
inline constexpr size_t QN_HOST_TEXT_SIZE = INET6_ADDRSTRLEN + 2;
// The host of an address as the logs write it: dotted IPv4, or IPv6 in brackets ("[::1]"),
// so that "host:port" reads like the server's name.
void hostText(const qnAddress& address, char (&text)[QN_HOST_TEXT_SIZE]);
int portOf(const qnAddress& address);
bool sameAddress(const qnAddress& a, const qnAddress& b);
