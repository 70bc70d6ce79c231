// Server texts "host:port" as the proxies and the configuration check read them, and the
// addresses of texts that need no name server. No name is looked up here but localhost.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <string>

#include "address.h"

namespace {
struct TextRow {
    std::string text;
    AddressText result;
    std::string host;
    int port;
    int family;
};
void PrintTo(const TextRow& row, std::ostream* os) { *os << row.text; }

const std::string kLabel63(63, 'a');
// 4 labels of 63 and a dot between each: 255 characters; cut to 253 it is the longest name.
const std::string kLongest =
    (kLabel63 + "." + kLabel63 + "." + kLabel63 + "." + kLabel63).substr(0, 253);

using enum AddressText;
const TextRow kTexts[] = {
    {"127.0.0.1:7001", ok, "127.0.0.1", 7001, AF_INET},
    {"[::1]:7001", ok, "::1", 7001, AF_INET6},
    {"[::ffff:127.0.0.2]:1", ok, "::ffff:127.0.0.2", 1, AF_INET6},
    {"localhost:65535", ok, "localhost", 65535, AF_UNSPEC},
    {"app-1_x.Example.:7001", ok, "app-1_x.Example.", 7001, AF_UNSPEC},
    {"1a.example:80", ok, "1a.example", 80, AF_UNSPEC},
    {kLongest + ":65535", ok, kLongest, 65535, AF_UNSPEC},
    // Ports: 1 to 65535, digits only, at most 5 of them.
    {"127.0.0.1:0", badPort},
    {"127.0.0.1:65536", badPort},
    {"app.example:", badPort},
    {"[::1]:", badPort},
    {"127.0.0.1:+80", badPort},
    {"127.0.0.1:007001", badPort},
    {"127.0.0.1:4294974297", badPort},
    {"127.0.0.1:70 1", badPort},
    {"127.0.0.1", noPort},
    {"[::1]", noPort},
    {"app.example", noPort},
    // IPv6 only in brackets, and brackets only around an IPv6 address (no zone id).
    {"::1:7001", badBrackets},
    {"[::1:7001", badBrackets},
    {"[::1]7001", badBrackets},
    {"[app.example]:7001", badBrackets},
    {"[127.0.0.1]:7001", badBrackets},
    {"[]:7001", badBrackets},
    {"app]:7001", badBrackets},
    {"[fe80::1%eth0]:7001", badBrackets},
    // Hosts: digits and dots are an IPv4 address; names have labels of 1 to 63 characters.
    {"127.1:7001", badHost},
    {"256.0.0.1:7001", badHost},
    {":7001", badHost},
    {"app..example:7001", badHost},
    {".example:7001", badHost},
    {"app example:7001", badHost},
    {"app;b:7001", badHost},
    {kLabel63 + "a.example:7001", badHost},
    // Too long: a host beyond 253 characters, a text beyond a proxy's name.
    {kLongest + "a:1", tooLong},
    {kLongest + ":65535" + std::string(1, ' '), tooLong},
};

class ServerText : public ::testing::TestWithParam<TextRow> {};

TEST_P(ServerText, ReadsHostAndPortOrSaysWhyNot) {
    const TextRow& row = GetParam();
    ServerAddress parsed;
    EXPECT_EQ(parseServerAddress(row.text, parsed), row.result);
    if (row.result != ok) return;
    EXPECT_EQ(parsed.host, row.host);
    EXPECT_EQ(parsed.port, row.port);
    EXPECT_EQ(parsed.family, row.family);
}

INSTANTIATE_TEST_SUITE_P(Texts, ServerText, ::testing::ValuesIn(kTexts));

// Addresses need no resolver; localhost comes from the hosts file. The logs write an
// IPv6 host in brackets.
TEST(ResolveHost, AddressesAndLocalhost) {
    qnAddress found[QN_MAX_ADDRESSES];
    char host[QN_HOST_TEXT_SIZE];
    const char* reason = nullptr;
    ASSERT_EQ(resolveHost("::1", 7001, found, QN_MAX_ADDRESSES, &reason), 1);
    hostText(found[0], host);
    EXPECT_EQ(std::string(host) + ":" + std::to_string(portOf(found[0])), "[::1]:7001");
    EXPECT_EQ(found[0].length, sizeof(sockaddr_in6));
    ASSERT_EQ(resolveHost("127.0.0.2", 80, found, 1, &reason), 1);
    hostText(found[0], host);
    EXPECT_EQ(std::string(host) + ":" + std::to_string(portOf(found[0])), "127.0.0.2:80");
    EXPECT_EQ(found[0].length, sizeof(sockaddr_in));
    const int count = resolveHost("localhost", 9, found, QN_MAX_ADDRESSES, &reason);
    ASSERT_GE(count, 1) << reason;
    for (int i = 0; i < count; ++i) {
        hostText(found[i], host);
        EXPECT_TRUE(std::string(host) == "127.0.0.1" || std::string(host) == "[::1]") << host;
        EXPECT_EQ(portOf(found[i]), 9);
    }
}
}  // namespace
