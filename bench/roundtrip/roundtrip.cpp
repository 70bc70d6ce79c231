// One bare loopback round trip, the floor for any connector that talks to a back end over
// TCP: one client thread sends 400 bytes and receives 200 over a connected socket with
// TCP_NODELAY, blocking, against a peer process that answers each 400 bytes with 200. It
// prints the client thread's CPU time and the wall time per round trip.
//
//   bench_roundtrip [round trips] [repetitions]      (default 200000, 5: the median)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

namespace {
constexpr size_t kAsk = 400, kAnswer = 200;

bool exactly(int sock, char* buffer, size_t length, bool sending) {
    for (size_t done = 0; done < length;) {
        ssize_t n = sending ? send(sock, buffer + done, length - done, MSG_NOSIGNAL)
                            : recv(sock, buffer + done, length - done, 0);
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

void noDelay(int sock) {
    int on = 1;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// The peer: answers every 400 bytes with 200 until the client closes.
void answer(int listener) {
    int sock = accept(listener, nullptr, nullptr);
    noDelay(sock);
    char in[kAsk], out[kAnswer] = {};
    while (exactly(sock, in, kAsk, false) && exactly(sock, out, kAnswer, true)) {
    }
    _exit(0);
}

double seconds(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}
}  // namespace

int main(int argc, char** argv) {
    const long trips = argc > 1 ? atol(argv[1]) : 200000;
    const int repetitions = argc > 2 ? atoi(argv[2]) : 5;
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(listener, 4) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        perror("listen");
        return 1;
    }
    std::vector<double> cpu, wall;
    for (int k = 0; k < repetitions; ++k) {
        pid_t peer = fork();
        if (peer == 0) answer(listener);
        int sock = socket(AF_INET, SOCK_STREAM, 0);
        if (connect(sock, reinterpret_cast<sockaddr*>(&address), size) != 0) {
            perror("connect");
            return 1;
        }
        noDelay(sock);
        char out[kAsk] = {}, in[kAnswer];
        const double cpu0 = seconds(CLOCK_THREAD_CPUTIME_ID), wall0 = seconds(CLOCK_MONOTONIC);
        for (long i = 0; i < trips; ++i)
            if (!exactly(sock, out, kAsk, true) || !exactly(sock, in, kAnswer, false)) return 1;
        cpu.push_back((seconds(CLOCK_THREAD_CPUTIME_ID) - cpu0) / double(trips) * 1e6);
        wall.push_back((seconds(CLOCK_MONOTONIC) - wall0) / double(trips) * 1e6);
        close(sock);
        waitpid(peer, nullptr, 0);
    }
    std::sort(cpu.begin(), cpu.end());
    std::sort(wall.begin(), wall.end());
    printf("round trip (send %zu B, receive %zu B, TCP_NODELAY, one thread): cpu_us=%.2f "
           "wall_us=%.2f (medians of %d x %ld)\n",
           kAsk, kAnswer, cpu[cpu.size() / 2], wall[wall.size() / 2], repetitions, trips);
    return 0;
}
