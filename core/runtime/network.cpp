#include "network.h"

#include <arpa/inet.h>

#include <charconv>
#include <cstring>

namespace {
// The IPv4 address of an IPv4 or IPv4-mapped IPv6 address in four bytes; false otherwise.
bool ipv4Of(const qnAddress& address, uint8_t (&bytes)[4]) {
    if (address.any.sa_family == AF_INET) {
        memcpy(bytes, &address.v4.sin_addr, 4);
        return true;
    }
    if (address.any.sa_family != AF_INET6 || !IN6_IS_ADDR_V4MAPPED(&address.v6.sin6_addr))
        return false;
    memcpy(bytes, address.v6.sin6_addr.s6_addr + 12, 4);
    return true;
}

// Whether the first prefix bits of a and b agree.
bool samePrefix(const uint8_t* a, const uint8_t* b, int prefix) {
    const int whole = prefix / 8, rest = prefix % 8;
    if (memcmp(a, b, size_t(whole)) != 0) return false;
    if (rest == 0) return true;
    const auto mask = uint8_t(0xff << (8 - rest));
    return (a[whole] & mask) == (b[whole] & mask);
}
}  // namespace

bool parseNetwork(std::string_view text, qnNetwork& out) {
    const size_t slash = text.find('/');
    const std::string_view host = text.substr(0, slash);
    char address[INET6_ADDRSTRLEN];
    if (host.empty() || host.size() >= sizeof address) return false;
    memcpy(address, host.data(), host.size());
    address[host.size()] = '\0';
    out = qnNetwork{};
    if (inet_pton(AF_INET, address, out.bytes) == 1)
        out.family = AF_INET;
    else if (inet_pton(AF_INET6, address, out.bytes) == 1)
        out.family = AF_INET6;
    else
        return false;
    const int most = out.family == AF_INET ? 32 : 128;
    out.prefix = most;
    if (slash == std::string_view::npos) return true;
    const std::string_view digits = text.substr(slash + 1);
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), out.prefix);
    return error == std::errc() && end == digits.data() + digits.size() && !digits.empty() &&
           digits[0] != '-' && out.prefix <= most;
}

int parseNetworks(std::string_view text, qnNetwork* out, int capacity) {
    constexpr std::string_view kSeparators = ", \t";
    int count = 0;
    for (size_t at = text.find_first_not_of(kSeparators); at != std::string_view::npos;
         at = text.find_first_not_of(kSeparators, at)) {
        const size_t end = std::min(text.find_first_of(kSeparators, at), text.size());
        if (count == capacity || !parseNetwork(text.substr(at, end - at), out[count])) return -1;
        ++count;
        at = end;
    }
    return count > 0 ? count : -1;
}

bool inNetwork(const qnAddress& address, const qnNetwork& network) {
    uint8_t v4[4];
    if (network.family == AF_INET)
        return ipv4Of(address, v4) && samePrefix(v4, network.bytes, network.prefix);
    return address.any.sa_family == AF_INET6 &&
           samePrefix(address.v6.sin6_addr.s6_addr, network.bytes, network.prefix);
}

const char* unfitMemberAddress(const qnAddress& address) {
    uint8_t v4[4];
    if (ipv4Of(address, v4)) {
        if (v4[0] == 0) return "unspecified";  // 0.0.0.0/8: this host, on any network
        if ((v4[0] & 0xf0) == 224) return "multicast";
        if (v4[0] == 169 && v4[1] == 254) return "link-local";
        if (v4[0] == 255 && v4[1] == 255 && v4[2] == 255 && v4[3] == 255) return "broadcast";
        return nullptr;
    }
    if (address.any.sa_family != AF_INET6) return "unspecified";
    const in6_addr& a = address.v6.sin6_addr;
    if (IN6_IS_ADDR_UNSPECIFIED(&a)) return "unspecified";
    if (IN6_IS_ADDR_MULTICAST(&a)) return "multicast";
    if (IN6_IS_ADDR_LINKLOCAL(&a)) return "link-local";
    return nullptr;
}

const char* unfitMemberAt(const qnAddress& address, const qnNetwork* networks, int count) {
    if (const char* unfit = unfitMemberAddress(address)) return unfit;
    bool inside = count <= 0 || !networks;
    for (int n = 0; n < count && !inside; ++n) inside = inNetwork(address, networks[n]);
    return inside ? nullptr : "outside the networks of membernetworks";
}
