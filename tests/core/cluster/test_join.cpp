// Servers joining by name, under a slow resolver and hostile member lists: every name of a
// list is looked up at once and no lookup is waited for beyond its bound; a check's time
// starts with its own connect; spellings of one name in other letter cases make one
// member; join checks go through the health board, so that a list costs a server about
// one connect a second however often and however many times it names it; and a name
// looked up again stays within membernetworks.
#include "cluster_fixture.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <thread>

#include "address.h"
#include "loopback_peer.h"
#include "lookup.h"
#include "network.h"
#include "pool.h"
#include "proxy_helpers.h"

using namespace cluster_test;

namespace {
using namespace std::chrono_literals;

// Where the stand-in's "mover.test" is.
std::atomic<const char*> gMover{"127.0.0.2"};

// A resolver stand-in that answers after 60 ms, whatever the letter case: "127-0-0-N.test"
// is 127.0.0.N, "hostile.test" 127.0.0.5, "mover.test" where gMover says; "never.test" is
// not answered for 10 s; any other name is unknown. No name goes to a name server.
int slowResolver(quon_request*, const char* host, int port, qnAddress* addresses, int capacity,
                 const char** reason) {
    std::string name = host;
    for (char& c : name) c = char(tolower(static_cast<unsigned char>(c)));
    std::this_thread::sleep_for(name == "never.test" ? 10s : 60ms);
    if (name == "hostile.test") {
        name = "127.0.0.5";
    } else if (name == "mover.test") {
        name = gMover.load();
    } else if (name.starts_with("127-") && name.ends_with(".test")) {
        name.resize(name.size() - 5);
        std::replace(name.begin(), name.end(), '-', '.');
    } else {
        *reason = "unknown to the stand-in";
        return 0;
    }
    return resolveHost(name.c_str(), port, addresses, capacity, reason);
}

std::string portOf(const std::string& name) { return name.substr(name.rfind(':') + 1); }

// "hostile" with the letters of mask's bits in upper case.
std::string spelling(int mask) {
    std::string host = "hostile";
    for (size_t k = 0; k < host.size(); ++k)
        if (mask & (1 << k)) host[k] = char(toupper(static_cast<unsigned char>(host[k])));
    return host + ".test";
}
}  // namespace

// The list: a name the resolver never answers, 15 of a host where nothing listens, then a
// quon-backend server under two spellings. Each name costs one lookup of 60 ms, all at
// once; the server's check starts when its connect does, so it answers in time and joins
// once, under its name in lower case; the name never answered is given up at the bound.
TEST(Joins, SlowNamesJoinAndANameNeverAnsweredHoldsUpNoOther) {
    Cluster cluster(Setups(1));
    const std::string port = portOf(cluster.name(0)), up = "127-0-0-2.test:" + port;
    std::string list = "n=never.test:" + port + "\n";
    for (int k = 0; k < 15; ++k)
        list += "d" + std::to_string(k) + "=127-0-0-9.test:" + std::to_string(20001 + k) + "\n";
    list += "u=127-0-0-2.TEST:" + port + "\nv=" + up + "\n";
    RecordingRequest req;
    req->resolve = slowResolver;
    HandTable table(req.get());
    const auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(addRemoteJvms(table, req.get(), parseProperties(req.get(), list.c_str())), 1)
        << req.dump();
    EXPECT_LT(std::chrono::steady_clock::now() - began,
              std::chrono::milliseconds(QN_LOOKUP_WAIT_MS) + 2s);
    EXPECT_EQ(slots(&table->servers), Names({up + ":1"}));
    EXPECT_EQ(req.count("log", "could not resolve server never.test:" + port +
                                   ": no answer from the resolver in time"),
              1)
        << req.dump();
}

// Two tables (children of one web server share the board as these share the process's)
// apply a list of 127 spellings of one name and 200 other names every 50 ms for 3 s.
// The server behind the name takes connections and closes them: it is connected about
// once a second in all, and each table writes each kind of failure line once.
TEST(Joins, AHostileListCostsAServerAboutOneConnectASecond) {
    ClosingListener hostile("127.0.0.5");
    ASSERT_TRUE(hostile.listening());
    const std::string port = std::to_string(ntohs(hostile.address().sin_port));
    std::string list;
    for (int mask = 0; mask < 127; ++mask)
        list += "h" + std::to_string(mask) + "=" + spelling(mask) + ":" + port + "\n";
    for (int k = 0; k < 200; ++k)
        list += "x" + std::to_string(k) + "=x" + std::to_string(k) + ".test:1\n";
    auto apply = [&](RecordingRequest& req) {
        req->resolve = slowResolver;
        HandTable table(req.get());
        const auto until = std::chrono::steady_clock::now() + 3s;
        while (std::chrono::steady_clock::now() < until) {
            EXPECT_EQ(addRemoteJvms(table, req.get(), parseProperties(req.get(), list.c_str())), 0);
            std::this_thread::sleep_for(50ms);
        }
    };
    RecordingRequest one, two;
    std::thread other([&] { apply(two); });
    apply(one);
    other.join();
    EXPECT_GE(hostile.accepted(), 2);
    EXPECT_LE(hostile.accepted(), 7);
    for (RecordingRequest* req : {&one, &two}) {
        EXPECT_EQ(req->count("log", "hostile.test:" + port + " not joined now: connection closed"),
                  1)
            << req->dump();
        EXPECT_EQ(req->count("log",
                             "a list names 201 servers the table does not know: the first "
                             "64 are tried now"),
                  1);
        for (const char* kind : {"could not resolve server", "could not initialize proxy for"})
            EXPECT_EQ(
                std::count_if(req->lines.begin(), req->lines.end(),
                              [&](const RecordedLine& l) { return l.text.starts_with(kind); }),
                1)
                << kind;
    }
}

// A member joined by name at 127.0.0.2 whose name then moves to 127.0.0.3: with
// membernetworks 127.0.0.2/32 it keeps its address (a line says why), without them it
// follows the name.
TEST(Joins, ANameLookedUpAgainStaysWithinTheMemberNetworks) {
    Cluster cluster(Setups(1));
    const std::string name = "mover.test:" + portOf(cluster.name(0));
    for (const bool limited : {true, false}) {
        SCOPED_TRACE(limited);
        gMover = "127.0.0.2";
        RecordingRequest req;
        req->resolve = slowResolver;
        HandTable table(req.get());
        qnNetwork networks[1];
        ASSERT_TRUE(parseNetwork("127.0.0.2/32", networks[0]));
        setMemberNetworks(table, networks, limited ? 1 : 0);
        const std::string list = "s=" + name;
        ASSERT_EQ(addRemoteJvms(table, req.get(), parseProperties(req.get(), list.c_str())), 1)
            << req.dump();
        quonProxy* proxy = serverNamed(table, name);
        gMover = "127.0.0.3";
        refreshPoolAddresses(req.get(), proxy);
        char host[QN_HOST_TEXT_SIZE];
        hostText(proxy->pool->addresses[0], host);
        EXPECT_STREQ(host, limited ? "127.0.0.2" : "127.0.0.3");
        EXPECT_EQ(
            req.contains("log", name + " resolves to 127.0.0.3, which is outside the "
                                       "networks of membernetworks: its last addresses are kept"),
            limited)
            << req.dump();
    }
}
