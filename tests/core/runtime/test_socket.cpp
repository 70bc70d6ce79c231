// The default socket operations against real peers on 127.0.0.1, with short time-outs;
// every wait in a test ends within a bounded time.
#include <gtest/gtest.h>

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "address.h"
#include "flags.h"
#include "loopback_peer.h"
#include "proxy_helpers.h"
#include "proxy_types.h"
#include "recording_request.h"
#include "socket.h"

namespace {
using Clock = std::chrono::steady_clock;

constexpr int kShortMs = 250;
constexpr int kLateMs = 2500;         // bound for a wait of kShortMs on a loaded or sanitized run
constexpr int kBigPayload = 8 << 20;  // more than a loopback connection buffers

long msSince(Clock::time_point start) {
    return long(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

std::string systemText(int error) { return std::to_string(error) + " " + strerror(error); }

int connectAddress(quon_request* req, const sockaddr_in& address) {
    const qnAddress one = addressOf(address);
    return qnConnect(req, &one, 1, nullptr);
}

// The descriptor the next socket() gets: the lowest one free, while no other thread opens any.
int nextDescriptor() {
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    close(probe);
    return probe;
}

// Counts deliveries of one signal while it lives. The handler is installed without
// SA_RESTART, so a call it interrupts fails with EINTR.
struct CountedSignal {
    static inline std::atomic<int> count{0};
    int number;
    struct sigaction previous {};
    explicit CountedSignal(int n) : number(n) {
        count = 0;
        struct sigaction action {};
        action.sa_handler = [](int) { ++count; };
        sigaction(number, &action, &previous);
    }
    ~CountedSignal() { sigaction(number, &previous, nullptr); }
};

// A proxy record with only its ping slot set. The ping reports the server reachable
// `reachable` times and the peer sends ten bytes at the last of them. Like a ping over a
// pooled connection it leaves an error code of its own in the record.
struct PingingProxy : quonProxy {
    int reachable;
    LoopbackPeer* peer;
    int pings = 0;
    PingingProxy(int times, LoopbackPeer& to)
        : quonProxy{.sendPing = ping}, reachable(times), peer(&to) {}
    static int ping(quonProxy* proxy, quon_request* req) {
        auto* self = static_cast<PingingProxy*>(proxy);
        req->errorCode = EPIPE;
        if (++self->pings > self->reachable) return 0;
        if (self->pings == self->reachable) self->peer->send("0123456789");
        return 1;
    }
};

class SocketTest : public ::testing::Test {
protected:
    SocketTest() { rec->connectTimeout = rec->sendTimeout = rec->recvTimeout = kShortMs; }
    ~SocketTest() override { close(sock_); }
    // Connects the record to peer and accepts on the peer's side; the socket or -1.
    int connectTo(LoopbackPeer& peer) {
        sock_ = connectAddress(rec.get(), peer.address());
        EXPECT_TRUE(peer.accept());
        return sock_;
    }

    RecordingRequest rec;
    int sock_ = -1;
};

// describeError gives the connector's texts or the system's. A length of 0 or less
// touches nothing: descriptor -1 would fail any system call.
TEST(SocketTexts, DescribeErrorAndZeroLengths) {
    EXPECT_STREQ(describeError(EQUON_OUT_OF_SYNC), "Quon connector protocol out of sync");
    EXPECT_STREQ(describeError(EQUON_BUSY), "Quon too busy or out of memory");
    EXPECT_STREQ(describeError(EQUON_RESPONSE_TIMEOUT),
                 "Quon server did not finish its response in time");
    EXPECT_EQ(describeError(EQUON_CLIENT_DOWN), systemText(EQUON_CLIENT_DOWN));
    RecordingRequest rec;
    char byte = 'x';
    for (int length : {0, -5}) {
        rec->errorCode = EINVAL;
        EXPECT_EQ(qnSend(rec.get(), -1, &byte, length), 0);
        EXPECT_EQ(qnRecv(rec.get(), -1, &byte, length, nullptr), 0);
        EXPECT_EQ(rec->errorCode, 0);
    }
    EXPECT_TRUE(byte == 'x' && rec.lines.empty()) << rec.dump();
}

// A send to a peer that has gone fails with an error code, never with SIGPIPE (a host
// that does not ignore the signal would die of it). Large transfers run through Apache.
TEST_F(SocketTest, SendToAClosedPeerRaisesNoSignal) {
    CountedSignal pipes(SIGPIPE);
    LoopbackPeer peer;
    const int sock = connectTo(peer);
    ASSERT_GE(sock, 0) << rec.dump();
    peer.close();
    EXPECT_EQ(qnSend(rec.get(), sock, "ping", 4), 4);  // answered with a reset
    pollfd reset{sock, 0, 0};
    ASSERT_EQ(poll(&reset, 1, kPeerWaitMs), 1);
    EXPECT_EQ(qnSend(rec.get(), sock, "ping", 4), -1);
    EXPECT_TRUE(rec->errorCode == EPIPE || rec->errorCode == ECONNRESET) << rec->errorCode;
    EXPECT_EQ(pipes.count, 0);
}

// The response bound is on the whole response: past the deadline a receive takes nothing,
// even with bytes waiting; they are still there for a receive under no deadline.
TEST_F(SocketTest, PastTheDeadlineNothingMoreIsTaken) {
    LoopbackPeer peer;
    const int sock = connectTo(peer);
    ASSERT_GE(sock, 0) << rec.dump();
    peer.send("0123456789");
    pollfd waiting{sock, POLLIN, 0};
    ASSERT_EQ(poll(&waiting, 1, kPeerWaitMs), 1);
    rec->responseTimeout = 1;
    startResponseDeadline(rec.get());
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    char buffer[10];
    EXPECT_EQ(qnRecv(rec.get(), sock, buffer, 10, nullptr), -1);
    EXPECT_EQ(rec->errorCode, EQUON_RESPONSE_TIMEOUT);
    rec->responseTimeout = 0;
    startResponseDeadline(rec.get());
    EXPECT_EQ(qnRecv(rec.get(), sock, buffer, 10, nullptr), 10);
}

// Calls that wait on a peer: what they return, why, and after how many time-outs. A proxy
// keeps a receive waiting while its ping finds the server, up to the response deadline;
// signals only resume the wait.
enum class Call { ConnectRefused, ConnectUnanswered, Send, Recv };
struct Wait {
    const char* name;
    Call call;
    int reachable;  // -1: no proxy; else pings that find the server, the last bringing data
    bool shutdown;
    bool signals;  // SIGUSR1 every 10 ms while the call runs
    int result;
    int error;
    int timeouts;  // waits that run out before the call ends
    int pings;
    int responseTimeout = 0;  // ms to the response deadline, started with the call; 0: none
    int recvTimeout = kShortMs;
};
class SocketWait : public SocketTest, public ::testing::WithParamInterface<Wait> {};

TEST_P(SocketWait, EndsWithResultReasonInTime) {
    const Wait& expected = GetParam();
    const bool connecting = expected.call != Call::Send && expected.call != Call::Recv;
    CountedSignal usr1(SIGUSR1);
    RefusingPort refusing;
    FullBacklogListener backlog;
    LoopbackPeer peer("127.0.0.1", 4096);
    const int sock = connectTo(peer);
    ASSERT_TRUE(sock >= 0 && refusing.bound() && backlog.full()) << rec.dump();
    const sockaddr_in& target =
        expected.call == Call::ConnectRefused ? refusing.address() : backlog.address();
    const int connectSock = nextDescriptor();
    PingingProxy proxy(expected.reachable, peer);
    quonProxy* given = expected.reachable < 0 ? nullptr : &proxy;
    std::vector<char> buffer(kBigPayload);
    gShutdown = expected.shutdown;
    std::atomic<bool> done{false};
    int result = 0;
    rec->recvTimeout = expected.recvTimeout;
    rec->responseTimeout = expected.responseTimeout;
    startResponseDeadline(rec.get());
    const Clock::time_point start = Clock::now();
    std::thread call([&] {
        result = expected.call == Call::Send   ? qnSend(rec.get(), sock, buffer.data(), kBigPayload)
                 : expected.call == Call::Recv ? qnRecv(rec.get(), sock, buffer.data(), 10, given)
                                               : connectAddress(rec.get(), target);
        done = true;
    });
    // Past 2 * kLateMs the signals stop, so that even a wait that restarts on each one ends.
    while (expected.signals && !done && msSince(start) < 2 * kLateMs) {
        pthread_kill(call.native_handle(), SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    call.join();
    const long elapsed = msSince(start);
    gShutdown = 0;
    EXPECT_EQ(result, expected.result);
    EXPECT_EQ(rec->errorCode, expected.error);
    EXPECT_EQ(proxy.pings, expected.pings);
    EXPECT_GE(elapsed, expected.timeouts * (kShortMs - 10));
    EXPECT_LT(elapsed, std::max(expected.timeouts, 1) * kLateMs);
    EXPECT_TRUE(usr1.count > 0 || !expected.signals);
    EXPECT_STREQ(buffer.data(), result > 0 ? "0123456789" : "");
    if (!connecting) return;
    // The socket the attempt had, the error's number, then its text (which repeats it).
    const std::string line = "127.0.0.1:" + std::to_string(ntohs(target.sin_port)) +
                             " connect failed[" + std::to_string(connectSock) +
                             "]: " + std::to_string(expected.error) + " " +
                             systemText(expected.error);
    EXPECT_EQ(rec.count("log", line), 1) << rec.dump();
    EXPECT_EQ(nextDescriptor(), connectSock) << "the failed socket is left open";
}

INSTANTIATE_TEST_SUITE_P(
    Socket, SocketWait,
    ::testing::Values(
        Wait{"ConnectRefused", Call::ConnectRefused, -1, false, false, -1, ECONNREFUSED, 0, 0},
        Wait{"ConnectTimesOut", Call::ConnectUnanswered, -1, false, false, -1, ETIMEDOUT, 1, 0},
        Wait{"SendTimesOut", Call::Send, -1, false, false, -1, ETIMEDOUT, 1, 0},
        Wait{"RecvTimesOutWhenPingFails", Call::Recv, 0, false, false, -1, ETIMEDOUT, 1, 1},
        Wait{"RecvWaitsOnWhilePingReaches", Call::Recv, 2, false, false, 10, 0, 2, 2},
        Wait{"RecvShutdownEndsWithoutPing", Call::Recv, 5, true, false, -1, ETIMEDOUT, 1, 0},
        Wait{"RecvResumesAfterSignals", Call::Recv, -1, false, true, -1, ETIMEDOUT, 1, 0},
        // The server stays reachable: the deadline ends the wait after one ping, or cuts a
        // receive time-out far longer than the test's bound before any.
        Wait{"RecvDeadlineEndsWaitDespitePings", Call::Recv, 5, false, false, -1,
             EQUON_RESPONSE_TIMEOUT, 1, 1, kShortMs * 3 / 2},
        Wait{"RecvDeadlineCutsALongerWait", Call::Recv, 5, false, false, -1, EQUON_RESPONSE_TIMEOUT,
             0, 0, kShortMs, 4 * kLateMs}),
    [](const auto& info) { return std::string(info.param.name); });

// A server's addresses are tried in order, the first that takes the connection wins, and
// one connect time-out covers them all: each address gets an equal share of the time
// left. The failures are logged only when no address connects; else they are detail. A
// name's IPv6 address before its IPv4 one, through Apache: names_test.cpp.
TEST(SocketAddresses, TriedInOrderWithinOneTimeOut) {
    RefusingPort refusing, closed("127.0.0.2");
    FullBacklogListener hole;
    LoopbackPeer peer;
    ASSERT_TRUE(refusing.bound() && closed.bound() && hole.full() && peer.listening());
    const qnAddress v4Refused = addressOf(refusing.address()), v4Hole = addressOf(hole.address()),
                    v4Peer = addressOf(peer.address());
    const std::string refusedName = serverName(refusing.address()),
                      holeName = serverName(hole.address());
    struct Row {
        const char* what;
        std::vector<qnAddress> addresses;
        int connectedTo;  // index of the address that connects, -1: none
        int error;
        std::vector<std::string> failed;  // "host:port" of each failure, in order
        long leastMs, mostMs;
    };
    // clang-format off
    const Row rows[] = {
        {"refused-then-peer", {v4Refused, v4Peer}, 1, 0, {refusedName}, 0, kLateMs},
        {"hole-then-peer", {v4Hole, v4Peer}, 1, 0, {holeName}, kShortMs / 2 - 10, kShortMs - 10},
        {"both-refused", {addressOf(closed.address()), v4Refused}, -1, ECONNREFUSED,
         {serverName(closed.address()), refusedName}, 0, kLateMs},
        // Not twice the time-out: the second hole gets what the first left.
        {"two-holes", {v4Hole, v4Hole}, -1, ETIMEDOUT, {holeName, holeName}, kShortMs - 10,
         2 * kShortMs - 10},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        RecordingRequest rec;
        rec->connectTimeout = kShortMs;
        const Clock::time_point start = Clock::now();
        const int sock = qnConnect(rec.get(), row.addresses.data(), int(row.addresses.size()), nullptr);
        const long elapsed = msSince(start);
        EXPECT_GE(elapsed, row.leastMs);
        EXPECT_LT(elapsed, row.mostMs);
        EXPECT_EQ(rec->errorCode, row.error);
        const bool connected = row.connectedTo >= 0;
        EXPECT_EQ(sock >= 0, connected) << rec.dump();
        if (connected) {
            qnAddress to{};
            to.length = sizeof to.v6;
            ASSERT_EQ(getpeername(sock, &to.any, &to.length), 0);
            EXPECT_EQ(portOf(to), portOf(row.addresses[size_t(row.connectedTo)]));
            close(sock);
        }
        for (const std::string& name : row.failed)
            EXPECT_TRUE(rec.contains(connected ? "traceE" : "log", name + " connect failed["))
                << rec.dump();
        EXPECT_EQ(int(std::count_if(rec.lines.begin(), rec.lines.end(),
                                    [](const RecordedLine& l) { return l.channel == "log"; })),
                  connected ? 0 : int(row.failed.size()))
            << rec.dump();
    }
}
}  // namespace
