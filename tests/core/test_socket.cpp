// The default socket operations against real peers on loopback addresses, with short
// time-outs; every wait in a test ends within a bounded time.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <latch>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "flags.h"
#include "loopback_peer.h"
#include "proxy_types.h"
#include "recording_request.h"
#include "socket.h"

namespace {
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kShortMs = 250;
// Upper bound for a wait of kShortMs: generous for a loaded machine, yet far below what a
// wait that restarts on every signal would take in the signal tests.
constexpr int kLateMs = 2500;
constexpr int kBigPayload = 16 << 20;  // more than a loopback connection buffers

long msSince(Clock::time_point start) {
    return long(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

template <typename Condition>
bool eventually(Condition condition, int timeoutMs = kPeerWaitMs) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

std::string systemText(int error) {
    return std::to_string(error) + " " + strerror(error);
}

// "<what>[<sock>]: <error> <text>", the shape of the socket failure lines.
std::string failureLine(const std::string& what, int sock, int error) {
    return what + "[" + std::to_string(sock) + "]: " + std::to_string(error) + " " +
           describeError(error);
}

std::string hostPort(const sockaddr_in& address) {
    return "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
}

int countLines(const RecordingRequest& rec, std::string_view channel, int flags,
               std::string_view text) {
    int n = 0;
    for (const RecordedLine& line : rec.lines)
        n += line.channel == channel && line.flags == flags && line.text == text;
    return n;
}

// The descriptor the next socket() gets: the lowest one free, while no other thread opens any.
int nextDescriptor() {
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    close(probe);
    return probe;
}

// Counts deliveries of one signal for the life of the object. The handler is installed
// without SA_RESTART, so a call it interrupts fails with EINTR.
class CountedSignal {
public:
    explicit CountedSignal(int number) : number_(number) {
        counts_[number] = 0;
        struct sigaction action {};
        action.sa_handler = [](int n) { counts_[n].fetch_add(1); };
        sigemptyset(&action.sa_mask);
        sigaction(number, &action, &previous_);
    }
    ~CountedSignal() { sigaction(number_, &previous_, nullptr); }
    int count() const { return counts_[number_]; }

private:
    static inline std::atomic<int> counts_[NSIG];
    int number_;
    struct sigaction previous_ {};
};

// Runs one blocking call on a thread of its own, so that the test can act on the peer or
// signal the thread while the call waits. The destructor joins.
class WaitingCall {
public:
    explicit WaitingCall(std::function<void()> call)
        : thread_([this, call = std::move(call)] {
              tid_ = pid_t(syscall(SYS_gettid));
              call();
              done_ = true;
          }) {}
    ~WaitingCall() { join(); }

    bool done() const { return done_; }
    void join() {
        if (thread_.joinable()) thread_.join();
    }
    void signal(int number) { pthread_kill(thread_.native_handle(), number); }
    // True once the thread sleeps in poll; false when it finished first or time ran out.
    bool waitUntilPolling() {
        return eventually([this] { return done_ || inPoll(); }) && !done_;
    }

private:
    bool inPoll() const {
        if (tid_ == 0) return false;
        std::ifstream state("/proc/self/task/" + std::to_string(tid_) + "/syscall");
        long number = -1;
        if (!(state >> number)) return false;  // "running"
#ifdef SYS_poll
        if (number == SYS_poll) return true;
#endif
        return number == SYS_ppoll;
    }

    std::atomic<pid_t> tid_{0};
    std::atomic<bool> done_{false};
    std::thread thread_;
};

// A proxy record with only its ping slot set. The ping reports the server reachable
// `reachable` times; at the last of those the peer sends `late`. It also leaves an error
// code of its own in the record, as a ping over a failed pooled connection does.
struct PingingProxy {
    quonProxy proxy{};
    int reachable = 0;
    int pings = 0;
    LoopbackPeer* peer = nullptr;
    std::string late;

    PingingProxy() { proxy.sendPing = ping; }
    static int ping(quonProxy* proxy, quon_request* req) {
        auto* self = reinterpret_cast<PingingProxy*>(proxy);
        req->errorCode = EPIPE;
        if (++self->pings > self->reachable) return 0;
        if (self->pings == self->reachable && self->peer) self->peer->send(self->late);
        return 1;
    }
};
static_assert(std::is_standard_layout_v<PingingProxy>);

// Sets gShutdown for one scope.
struct ShuttingDown {
    explicit ShuttingDown(bool on) { gShutdown.store(on, std::memory_order_relaxed); }
    ~ShuttingDown() { gShutdown.store(0, std::memory_order_relaxed); }
};

enum class Op { Send, Recv };

int transfer(Op op, quon_request* req, int sock, char* buffer, int length,
             quonProxy* proxy = nullptr) {
    return op == Op::Send ? qnSend(req, sock, buffer, length)
                          : qnRecv(req, sock, buffer, length, proxy);
}

class SocketTest : public ::testing::Test {
protected:
    SocketTest() { rec->connectTimeout = rec->sendTimeout = rec->recvTimeout = kShortMs; }
    ~SocketTest() override {
        for (int sock : open_) close(sock);
    }
    // Connects the record to peer and accepts on the peer's side; the socket or -1.
    int connectTo(LoopbackPeer& peer) {
        int sock = qnConnect(rec.get(), &peer.address());
        if (sock >= 0) open_.push_back(sock);
        EXPECT_TRUE(peer.accept());
        return sock;
    }
    void closeSocket(int sock) {
        std::erase(open_, sock);
        qnCloseSocket(rec.get(), sock);
    }

    RecordingRequest rec;
    std::vector<int> open_;
};

TEST(SocketTimeouts, DefaultsGoToConnectSendReceiveInOrder) {
    int values[4] = {-1, -1, -1, -1};
    initializeSocketTimeouts(nullptr, values);
    EXPECT_EQ(values[0], 15000);
    EXPECT_EQ(values[1], 15000);
    EXPECT_EQ(values[2], 300000);
    EXPECT_EQ(values[3], -1);
}

struct ErrorText {
    int error;
    std::string text;
};
class DescribeErrorText : public ::testing::TestWithParam<ErrorText> {};

TEST_P(DescribeErrorText, GivesConnectorOrSystemText) {
    EXPECT_EQ(describeError(GetParam().error), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Describe, DescribeErrorText,
    ::testing::Values(ErrorText{EQUON_OUT_OF_SYNC, "Quon connector protocol out of sync"},
                      ErrorText{EQUON_BUSY, "Quon too busy or out of memory"},
                      ErrorText{EINTR, systemText(EINTR)},
                      ErrorText{ECONNREFUSED, systemText(ECONNREFUSED)},
                      ErrorText{EQUON_CLIENT_DOWN, systemText(EQUON_CLIENT_DOWN)},
                      ErrorText{0, systemText(0)}));

TEST(DescribeError, ThreadsKeepTheirOwnText) {
    constexpr int kThreads = 8;
    std::latch start(kThreads);
    std::atomic<int> mixed{0};
    std::vector<const char*> buffers(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            const std::string expected = systemText(t + 1);
            start.arrive_and_wait();
            for (int round = 0; round < 2000; ++round) {
                buffers[t] = describeError(t + 1);
                mixed += expected != buffers[t];
            }
        });
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(mixed, 0);
    EXPECT_EQ(std::set<const char*>(buffers.begin(), buffers.end()).size(), size_t(kThreads));
}

TEST_F(SocketTest, ConnectGivesNonBlockingSocketWithoutDelayAndCloseEndsIt) {
    LoopbackPeer peer;
    ASSERT_TRUE(peer.listening());
    int sock = connectTo(peer);
    ASSERT_GE(sock, 0) << rec.dump();
    EXPECT_EQ(rec->errorCode, 0);
    EXPECT_TRUE(fcntl(sock, F_GETFL) & O_NONBLOCK);
    int noDelay = 0;
    socklen_t size = sizeof noDelay;
    ASSERT_EQ(getsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &noDelay, &size), 0);
    EXPECT_NE(noDelay, 0);
    const std::string fd = std::to_string(sock);
    EXPECT_EQ(countLines(rec, "traceE", 2, hostPort(peer.address()) + " qnConnect [" + fd + "]"),
              1);

    closeSocket(sock);
    EXPECT_EQ(countLines(rec, "traceE", 2, "qnCloseSocket [" + fd + "]"), 1);
    EXPECT_TRUE(peer.waitForEnd());
    EXPECT_EQ(rec.lines.size(), 2u) << rec.dump();
}

enum class Target { Refusing, FullBacklog };
struct ConnectFailure {
    const char* name;
    Target target;
    int error;
    int minMs;
    int pollHupLines;  // "qnConnect: POLLHUP so ECONNREFUSED"
};
class SocketConnectFailure : public SocketTest,
                             public ::testing::WithParamInterface<ConnectFailure> {};

TEST_P(SocketConnectFailure, GivesMinusOneReasonAndLogLine) {
    const ConnectFailure& expected = GetParam();
    std::optional<RefusingPort> refusing;
    std::optional<FullBacklogListener> backlog;
    sockaddr_in address;
    if (expected.target == Target::Refusing) {
        ASSERT_TRUE(refusing.emplace().bound());
        address = refusing->address();
    } else {
        ASSERT_TRUE(backlog.emplace().full());
        address = backlog->address();
    }
    const int sock = nextDescriptor();
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(qnConnect(rec.get(), &address), -1);
    const long elapsed = msSince(start);
    EXPECT_EQ(rec->errorCode, expected.error);
    EXPECT_GE(elapsed, expected.minMs);
    EXPECT_LT(elapsed, kLateMs);
    EXPECT_EQ(
        countLines(rec, "log", 0,
                   hostPort(address) + " " + failureLine("connect failed", sock, expected.error)),
        1)
        << rec.dump();
    EXPECT_EQ(countLines(rec, "trace", 0, "qnConnect: POLLHUP so ECONNREFUSED"),
              expected.pollHupLines);
    EXPECT_EQ(nextDescriptor(), sock) << "the failed socket stays open";
}

INSTANTIATE_TEST_SUITE_P(
    Socket, SocketConnectFailure,
    ::testing::Values(ConnectFailure{"Refused", Target::Refusing, ECONNREFUSED, 0, 1},
                      ConnectFailure{"TimedOut", Target::FullBacklog, ETIMEDOUT, kShortMs - 10, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SocketTest, RecvReturnsWhatArrivedBeforeThePeerClosed) {
    LoopbackPeer peer;
    int sock = connectTo(peer);
    ASSERT_GE(sock, 0) << rec.dump();
    ASSERT_TRUE(peer.send("abcd"));
    peer.close();
    char buffer[10] = {};
    EXPECT_EQ(qnRecv(rec.get(), sock, buffer, sizeof buffer, nullptr), 4);
    EXPECT_EQ(rec->errorCode, 0);
    EXPECT_EQ(std::string(buffer), "abcd");
}

// A silent peer: what a receive does when its waits run out.
struct RecvTimeout {
    const char* name;
    bool withProxy;
    bool shutdown;
    int reachable;  // pings that report the server reachable; the last brings the data
    int result;
    int pings;
};
class SocketRecvTimeout : public SocketTest, public ::testing::WithParamInterface<RecvTimeout> {};

TEST_P(SocketRecvTimeout, EndsOrWaitsOnAsThePingAnswers) {
    const RecvTimeout& expected = GetParam();
    ShuttingDown shutdown(expected.shutdown);
    LoopbackPeer peer;
    int sock = connectTo(peer);
    ASSERT_GE(sock, 0) << rec.dump();
    PingingProxy proxy;
    proxy.reachable = expected.reachable;
    proxy.peer = &peer;
    proxy.late = "0123456789";
    char buffer[10] = {};

    const Clock::time_point start = Clock::now();
    int result =
        qnRecv(rec.get(), sock, buffer, sizeof buffer, expected.withProxy ? &proxy.proxy : nullptr);
    const long elapsed = msSince(start);
    const int waits = std::max(expected.pings, 1);
    EXPECT_GE(elapsed, waits * (kShortMs - 10));
    EXPECT_LT(elapsed, waits * kLateMs);
    EXPECT_EQ(result, expected.result);
    EXPECT_EQ(rec->errorCode, expected.result < 0 ? ETIMEDOUT : 0);
    EXPECT_EQ(proxy.pings, expected.pings);

    const std::string fd = std::to_string(sock);
    EXPECT_EQ(countLines(rec, "traceE", 2,
                         "qnRecv [" + fd + "] timeout but server reachable so recv again"),
              std::min(expected.pings, expected.reachable));
    EXPECT_EQ(countLines(rec, "traceE", 2, "qnRecv [" + fd + "] shutdown"), expected.shutdown);
    EXPECT_EQ(countLines(rec, "trace", 0, failureLine("recv failed", sock, ETIMEDOUT)),
              expected.result < 0)
        << rec.dump();
    if (expected.result > 0) {
        EXPECT_EQ(std::string(buffer, sizeof buffer), proxy.late);
    }
}

INSTANTIATE_TEST_SUITE_P(Socket, SocketRecvTimeout,
                         ::testing::Values(RecvTimeout{"NoProxy", false, false, 0, -1, 0},
                                           RecvTimeout{"PingFails", true, false, 0, -1, 1},
                                           RecvTimeout{"PingsReachUntilDataComes", true, false, 2,
                                                       10, 2},
                                           RecvTimeout{"ShutdownEndsAtOnce", true, true, 5, -1, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

// A call that waits in poll while the peer resets the connection or never reads.
struct BlockedWait {
    const char* name;
    Op op;
    bool peerResets;
    int error;
    const char* pollLine;
};
class SocketBlockedWait : public SocketTest, public ::testing::WithParamInterface<BlockedWait> {};

TEST_P(SocketBlockedWait, EndsWithReasonAndTrace) {
    const BlockedWait& expected = GetParam();
    LoopbackPeer peer("127.0.0.1", 4096);
    int sock = connectTo(peer);
    ASSERT_GE(sock, 0) << rec.dump();
    rec->sendTimeout = rec->recvTimeout = expected.peerResets ? kPeerWaitMs : kShortMs;
    std::vector<char> payload(expected.op == Op::Send ? kBigPayload : 16, 'q');
    int result = 0;
    {
        WaitingCall call([&] {
            result = transfer(expected.op, rec.get(), sock, payload.data(), int(payload.size()));
        });
        ASSERT_TRUE(call.waitUntilPolling());
        if (expected.peerResets) peer.reset();
    }
    EXPECT_EQ(result, -1);
    EXPECT_EQ(rec->errorCode, expected.error);
    if (expected.pollLine) {
        EXPECT_EQ(countLines(rec, "trace", 0, expected.pollLine), 1);
    }
    const char* what = expected.op == Op::Send ? "send failed" : "recv failed";
    EXPECT_EQ(countLines(rec, "trace", 0, failureLine(what, sock, expected.error)), 1)
        << rec.dump();
}

INSTANTIATE_TEST_SUITE_P(Socket, SocketBlockedWait,
                         ::testing::Values(BlockedWait{"RecvPeerResets", Op::Recv, true, ECONNRESET,
                                                       "qnRecv: POLLHUP so ECONNRESET"},
                                           BlockedWait{"SendPeerResets", Op::Send, true, ECONNRESET,
                                                       "qnSend: POLLHUP so ECONNRESET"},
                                           BlockedWait{"SendPeerNeverReads", Op::Send, false,
                                                       ETIMEDOUT, nullptr}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SocketTest, SendDeliversEveryByteThroughFullBuffers) {
    LoopbackPeer peer("127.0.0.1", 4096);
    int sock = connectTo(peer);
    ASSERT_GE(sock, 0) << rec.dump();
    rec->sendTimeout = kPeerWaitMs;
    std::string payload(kBigPayload / 2, '\0');
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = char(i % 251);
    int result = 0;
    WaitingCall call(
        [&] { result = qnSend(rec.get(), sock, payload.data(), int(payload.size())); });
    const std::string arrived = peer.receive(payload.size(), 4 * kPeerWaitMs);
    call.join();
    EXPECT_EQ(result, int(payload.size()));
    EXPECT_EQ(rec->errorCode, 0);
    EXPECT_TRUE(arrived == payload) << arrived.size() << " of " << payload.size() << " bytes";
}

TEST_F(SocketTest, SendToClosedPeerFailsWithoutSigpipe) {
    CountedSignal pipes(SIGPIPE);
    LoopbackPeer peer;
    int sock = connectTo(peer);
    ASSERT_GE(sock, 0) << rec.dump();
    peer.close();
    // The first bytes still leave; the closed peer answers them with a reset.
    EXPECT_EQ(qnSend(rec.get(), sock, "ping", 4), 4);
    pollfd reset{sock, 0, 0};
    ASSERT_EQ(poll(&reset, 1, kPeerWaitMs), 1);
    EXPECT_EQ(qnSend(rec.get(), sock, "ping", 4), -1);
    EXPECT_TRUE(rec->errorCode == EPIPE || rec->errorCode == ECONNRESET) << rec->errorCode;
    EXPECT_EQ(pipes.count(), 0);
    closeSocket(sock);
    for (const RecordedLine& line : rec.lines) EXPECT_NE(line.channel, "log") << line.text;
}

struct ZeroLength {
    const char* name;
    Op op;
    int length;
};
class SocketZeroLength : public ::testing::TestWithParam<ZeroLength> {};

TEST_P(SocketZeroLength, TouchesNothing) {
    RecordingRequest rec;
    rec->errorCode = EINVAL;
    char byte = 'x';
    EXPECT_EQ(transfer(GetParam().op, rec.get(), -1, &byte, GetParam().length), 0);
    EXPECT_EQ(rec->errorCode, 0);
    EXPECT_EQ(byte, 'x');
    EXPECT_TRUE(rec.lines.empty()) << rec.dump();
}

INSTANTIATE_TEST_SUITE_P(Socket, SocketZeroLength,
                         ::testing::Values(ZeroLength{"SendZero", Op::Send, 0},
                                           ZeroLength{"SendNegative", Op::Send, -5},
                                           ZeroLength{"RecvZero", Op::Recv, 0},
                                           ZeroLength{"RecvNegative", Op::Recv, -5}),
                         [](const auto& info) { return std::string(info.param.name); });

// A live connection is closed in the connect test; here the edge cases.
struct CloseCase {
    const char* name;
    bool unconnected;  // a fresh socket that never connected, else descriptor -1
    int errorCode;
    bool shutdownLine;
    bool closeLine;
};
class SocketClose : public SocketTest, public ::testing::WithParamInterface<CloseCase> {};

TEST_P(SocketClose, ShutsDownUnlessPipeBrokeThenCloses) {
    const CloseCase& expected = GetParam();
    const int sock = expected.unconnected ? socket(AF_INET, SOCK_STREAM, 0) : -1;
    rec->errorCode = expected.errorCode;

    qnCloseSocket(rec.get(), sock);
    EXPECT_EQ(rec->errorCode, expected.errorCode);
    EXPECT_EQ(countLines(rec, "traceE", 2, "qnCloseSocket [" + std::to_string(sock) + "]"), 1);
    auto logLine = [&](const char* what) {
        return what + ("[" + std::to_string(sock) + "]: " + std::to_string(EBADF) + ", ") +
               describeError(EBADF);
    };
    EXPECT_EQ(countLines(rec, "log", 0, logLine("socket shutdown failed")), expected.shutdownLine);
    EXPECT_EQ(countLines(rec, "log", 0, logLine("socket close fail")), expected.closeLine);
    EXPECT_EQ(rec.lines.size(), 1u + expected.shutdownLine + expected.closeLine) << rec.dump();
}

INSTANTIATE_TEST_SUITE_P(
    Socket, SocketClose,
    ::testing::Values(CloseCase{"UnconnectedIgnoresNotConnected", true, 0, false, false},
                      CloseCase{"InvalidLogsBoth", false, 0, true, true},
                      CloseCase{"BrokenPipeSkipsShutdown", false, EPIPE, false, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SocketTest, RecvWaitsThroughSignalsUntilDataArrives) {
    CountedSignal usr1(SIGUSR1);
    LoopbackPeer peer;
    int sock = connectTo(peer);
    ASSERT_GE(sock, 0) << rec.dump();
    rec->recvTimeout = kPeerWaitMs;
    char buffer[10] = {};
    int result = 0;
    WaitingCall call([&] { result = qnRecv(rec.get(), sock, buffer, sizeof buffer, nullptr); });
    for (int sent = 1; sent <= 3; ++sent) {
        ASSERT_TRUE(call.waitUntilPolling());
        call.signal(SIGUSR1);
        ASSERT_TRUE(eventually([&] { return usr1.count() == sent; }));
    }
    ASSERT_TRUE(call.waitUntilPolling());
    ASSERT_TRUE(peer.send("0123456789"));
    call.join();
    EXPECT_EQ(result, 10);
    EXPECT_EQ(rec->errorCode, 0);
    EXPECT_EQ(std::string(buffer, sizeof buffer), "0123456789");
}

// Signals every 20 ms during a wait that runs out: the time-out must still end it.
enum class Wait { Connect, Send, Recv };
class SocketSignals : public SocketTest, public ::testing::WithParamInterface<Wait> {};

TEST_P(SocketSignals, DoNotStretchTheTimeOut) {
    CountedSignal usr1(SIGUSR1);
    std::optional<FullBacklogListener> backlog;
    std::optional<LoopbackPeer> peer;
    int sock = -1;
    if (GetParam() == Wait::Connect) {
        ASSERT_TRUE(backlog.emplace().full());
    } else {
        ASSERT_GE(sock = connectTo(peer.emplace("127.0.0.1", 4096)), 0) << rec.dump();
    }
    std::vector<char> payload(GetParam() == Wait::Send ? kBigPayload : 16, 'q');
    int result = 0;
    const Clock::time_point start = Clock::now();
    {
        WaitingCall call([&] {
            result = GetParam() == Wait::Connect
                         ? qnConnect(rec.get(), &backlog->address())
                         : transfer(GetParam() == Wait::Send ? Op::Send : Op::Recv, rec.get(), sock,
                                    payload.data(), int(payload.size()));
        });
        while (!call.done() && msSince(start) < 2 * kLateMs) {
            call.signal(SIGUSR1);
            std::this_thread::sleep_for(20ms);
        }
    }
    EXPECT_LT(msSince(start), kLateMs);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(rec->errorCode, ETIMEDOUT);
    EXPECT_GT(usr1.count(), 0);
}

INSTANTIATE_TEST_SUITE_P(Socket, SocketSignals,
                         ::testing::Values(Wait::Connect, Wait::Send, Wait::Recv),
                         [](const auto& info) {
                             return std::string(info.param == Wait::Connect ? "Connect"
                                                : info.param == Wait::Send  ? "Send"
                                                                            : "Recv");
                         });
}  // namespace
