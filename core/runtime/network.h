// Where the members of a cluster may be: the kinds of address no server is reached at
// (unspecified, multicast, link-local, broadcast) and the networks an operator allows.
#pragma once

#include <cstdint>
#include <string_view>

#include "request_types.h"

// An IPv4 or IPv6 network: its address's bytes (an IPv4 one in the first four) and the
// length of its prefix in bits.
struct qnNetwork {
    int family;  // AF_INET or AF_INET6
    uint8_t bytes[16];
    int prefix;
};

// The most networks one list holds.
inline constexpr int QN_MAX_NETWORKS = 32;

// "a.b.c.d/n" (n 0-32) or "ipv6/n" (n 0-128), or an address alone (one host); false for
// anything else. The bits after the prefix are ignored.
bool parseNetwork(std::string_view text, qnNetwork& out);
// Networks separated by commas and blanks into out, at most capacity; their number, or -1
// for a text with a network parseNetwork refuses, with none, or with more than capacity.
int parseNetworks(std::string_view text, qnNetwork* out, int capacity);
// Whether the address lies in the network; an IPv4-mapped IPv6 address (::ffff:a.b.c.d)
// lies in the IPv4 networks of its IPv4 address.
bool inNetwork(const qnAddress& address, const qnNetwork& network);
// Why no member of a cluster may be at the address: unfitMemberAddress's reason, or
// "outside the networks of membernetworks" when networks (count of them; none: no
// limit) do not hold it; null when it may.
const char* unfitMemberAt(const qnAddress& address, const qnNetwork* networks, int count);
// Why no member of a cluster can be at the address ("unspecified", "multicast",
// "link-local" or "broadcast"), or null; an IPv4-mapped address is judged as its IPv4 one.
const char* unfitMemberAddress(const qnAddress& address);
