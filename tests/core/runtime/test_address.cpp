// Server texts "host:port" as the proxies and the configuration check read them, and the
// addresses of texts that need no name server. No name is looked up here but localhost and
// one of a hosts file of the test's own.
#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
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

// A name with more addresses than the caller has room for fills that room and nothing past
// it. The name comes from a hosts file of the test's own, seen by a child process in a
// mount namespace of its own (root only), so that no name server is asked.
TEST(ResolveHost, MoreAddressesThanRoomFillTheRoomOnly) {
    struct Found {
        int count;
        qnAddress addresses[4];
    };
    void* shared =
        mmap(nullptr, sizeof(Found), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(shared, MAP_FAILED);
    auto* found = static_cast<Found*>(shared);
    memset(found, 0x5a, sizeof *found);
    char pattern[] = "/tmp/quon-hosts-XXXXXX";
    const std::filesystem::path dir = mkdtemp(pattern);
    std::ofstream(dir / "hosts")
        << "127.0.0.2 many.test\n127.0.0.3 many.test\n127.0.0.4 many.test\n";
    std::ofstream(dir / "nsswitch.conf") << "hosts: files\n";
    const pid_t child = fork();
    if (child == 0) {
        const bool own =
            unshare(CLONE_NEWNS) == 0 &&
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
            mount((dir / "hosts").c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) == 0 &&
            mount((dir / "nsswitch.conf").c_str(), "/etc/nsswitch.conf", nullptr, MS_BIND,
                  nullptr) == 0;
        const char* reason = nullptr;
        if (own) found->count = resolveHost("many.test", 7001, found->addresses, 2, &reason);
        _exit(own ? 0 : 2);
    }
    int status = -1;
    waitpid(child, &status, 0);
    std::filesystem::remove_all(dir);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 2) GTEST_SKIP() << "no mount namespace here";
    ASSERT_EQ(status, 0);
    EXPECT_EQ(found->count, 2);
    std::set<std::string> taken;
    for (const qnAddress& address : {found->addresses[0], found->addresses[1]}) {
        char host[QN_HOST_TEXT_SIZE];
        hostText(address, host);
        taken.insert(std::string(host) + ":" + std::to_string(portOf(address)));
    }
    const std::set<std::string> listed = {"127.0.0.2:7001", "127.0.0.3:7001", "127.0.0.4:7001"};
    EXPECT_EQ(taken.size(), 2u);
    EXPECT_TRUE(std::includes(listed.begin(), listed.end(), taken.begin(), taken.end()));
    const std::string untouched(2 * sizeof(qnAddress), char(0x5a));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&found->addresses[2]), untouched.size()),
              untouched);
    munmap(shared, sizeof(Found));
}
}  // namespace
