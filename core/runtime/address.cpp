#include "address.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "socket.h"

namespace {
constexpr size_t kMaxLabel = 63;
constexpr size_t kMaxPortDigits = 5;

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isNameCharacter(char c) {
    return isDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' || c == '_' ||
           c == '.';
}

// 1 to 5 digits, 1 to 65535.
bool readPort(std::string_view digits, uint16_t& port) {
    if (digits.empty() || digits.size() > kMaxPortDigits) return false;
    uint32_t value = 0;
    for (char c : digits) {
        if (!isDigit(c)) return false;
        value = value * 10 + uint32_t(c - '0');
    }
    if (value == 0 || value > 65535) return false;
    port = uint16_t(value);
    return true;
}

// inet_pton of a text that is not NUL-terminated; false for anything longer than an
// address of the family can be.
bool isAddress(int family, std::string_view host) {
    char text[INET6_ADDRSTRLEN];
    if (host.size() >= sizeof text) return false;
    memcpy(text, host.data(), host.size());
    text[host.size()] = '\0';
    in6_addr scratch;
    return inet_pton(family, text, &scratch) == 1;
}

AddressText readBracketed(std::string_view text, ServerAddress& out) {
    const size_t close = text.find(']');
    if (close == std::string_view::npos) return AddressText::badBrackets;
    const std::string_view rest = text.substr(close + 1);
    out.host = text.substr(1, close - 1);
    out.family = AF_INET6;
    if (!isAddress(AF_INET6, out.host)) return AddressText::badBrackets;
    if (rest.empty()) return AddressText::noPort;
    if (rest[0] != ':') return AddressText::badBrackets;
    return readPort(rest.substr(1), out.port) ? AddressText::ok : AddressText::badPort;
}

// A name's labels: 1 to 63 characters between dots, a last empty one after a final dot.
bool goodLabels(std::string_view name) {
    if (name.ends_with('.')) name.remove_suffix(1);
    for (;;) {
        const size_t dot = name.find('.');
        const size_t length = dot == std::string_view::npos ? name.size() : dot;
        if (length == 0 || length > kMaxLabel) return false;
        if (dot == std::string_view::npos) return true;
        name.remove_prefix(dot + 1);
    }
}

AddressText readPlain(std::string_view text, ServerAddress& out) {
    const size_t colon = text.find(':');
    if (text.find_first_of("[]") != std::string_view::npos) return AddressText::badBrackets;
    if (colon == std::string_view::npos) return AddressText::noPort;
    // A second colon: an IPv6 address, which needs its brackets to tell it from the port.
    if (text.find(':', colon + 1) != std::string_view::npos) return AddressText::badBrackets;
    out.host = text.substr(0, colon);
    if (out.host.size() > size_t(QN_MAX_HOST_LENGTH)) return AddressText::tooLong;
    bool numeric = true;
    for (char c : out.host) {
        if (!isNameCharacter(c)) return AddressText::badHost;
        numeric = numeric && (isDigit(c) || c == '.');
    }
    out.family = numeric ? AF_INET : AF_UNSPEC;
    if (out.host.empty() || (numeric ? !isAddress(AF_INET, out.host) : !goodLabels(out.host)))
        return AddressText::badHost;
    return readPort(text.substr(colon + 1), out.port) ? AddressText::ok : AddressText::badPort;
}

// One address into its record; false for a family other than IPv4 and IPv6.
bool take(const sockaddr* from, socklen_t length, qnAddress& to) {
    if ((from->sa_family != AF_INET && from->sa_family != AF_INET6) || length > sizeof to.v6)
        return false;
    memset(&to, 0, sizeof to);
    memcpy(&to.any, from, length);
    to.length = length;
    return true;
}

// An address given as text needs no resolver at all (nor its configuration files).
bool literal(const char* host, int port, qnAddress& to) {
    memset(&to, 0, sizeof to);
    if (inet_pton(AF_INET, host, &to.v4.sin_addr) == 1) {
        to.v4.sin_family = AF_INET;
        to.v4.sin_port = htons(uint16_t(port));
        to.length = sizeof to.v4;
        return true;
    }
    if (inet_pton(AF_INET6, host, &to.v6.sin6_addr) == 1) {
        to.v6.sin6_family = AF_INET6;
        to.v6.sin6_port = htons(uint16_t(port));
        to.length = sizeof to.v6;
        return true;
    }
    return false;
}
}  // namespace

AddressText parseServerAddress(std::string_view text, ServerAddress& out) {
    out = ServerAddress{{}, 0, AF_UNSPEC};
    if (text.size() >= size_t(QN_SERVER_NAME_SIZE)) return AddressText::tooLong;
    return text.starts_with('[') ? readBracketed(text, out) : readPlain(text, out);
}

int resolveHost(const char* host, int port, qnAddress* addresses, int capacity,
                const char** reason) {
    *reason = nullptr;
    if (capacity < 1) return 0;
    if (literal(host, port, addresses[0])) return 1;
    char service[8];
    snprintf(service, sizeof service, "%d", port);
    // No AI_ADDRCONFIG: it would drop every address on a host whose only interface is the
    // loopback, where a back end on 127.0.0.1 or ::1 is still reached.
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int status = getaddrinfo(host, service, &hints, &found);
    if (status != 0) {
        *reason = status == EAI_SYSTEM ? describeError(errno) : gai_strerror(status);
        return 0;
    }
    int count = 0;
    for (const addrinfo* at = found; at && count < capacity; at = at->ai_next)
        if (at->ai_addr && take(at->ai_addr, at->ai_addrlen, addresses[count])) ++count;
    freeaddrinfo(found);
    if (count == 0) *reason = gai_strerror(EAI_FAMILY);
    return count;
}

int qnResolve(quon_request*, const char* host, int port, qnAddress* addresses, int capacity,
              const char** reason) {
    return resolveHost(host, port, addresses, capacity, reason);
}

void hostText(const qnAddress& address, char (&text)[QN_HOST_TEXT_SIZE]) {
    text[0] = '\0';
    if (address.any.sa_family == AF_INET) {
        inet_ntop(AF_INET, &address.v4.sin_addr, text, sizeof text);
    } else if (address.any.sa_family == AF_INET6) {
        text[0] = '[';
        if (inet_ntop(AF_INET6, &address.v6.sin6_addr, text + 1, sizeof text - 2))
            strcat(text, "]");
        else
            text[0] = '\0';
    }
}

int portOf(const qnAddress& address) {
    return address.any.sa_family == AF_INET6 ? ntohs(address.v6.sin6_port)
                                             : ntohs(address.v4.sin_port);
}

bool sameAddress(const qnAddress& a, const qnAddress& b) {
    return a.length == b.length && memcmp(&a.any, &b.any, a.length) == 0;
}
