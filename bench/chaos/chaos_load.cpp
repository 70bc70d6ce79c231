// chaos_load: an HTTP/1.1 load driver that records every response. Each connection is a
// thread with one keep-alive socket and its own session cookie; it cycles through the
// request kinds of --mix:
//   session  GET /app/session with the connection's JSESSIONID cookie
//   echo     GET /app/echo
//   post     POST /app/body with --post-bytes bytes, checked against the "length:" answer
//   static   GET /index.html, a file Apache serves itself (a control without forwarding)
// With --record, every response is one line "epoch-ms status kind server-octet latency-us
// session holder" (epoch-ms when the answer ended; status 0: no response; kind S, E, P or
// A, in lower case for a 2xx answer that is not what was asked; octet 0: no X-Quon-Server
// header; latency from the request's first byte out to its answer's end, or to the
// failure; one request at a time per connection, so no sample is made up for a slow one;
// session, for a 2xx answer to GET /app/session, the state the server gave it: n new
// (the request carried no id), l lost (it carried one, and the server issued a new one
// all the same), k known, a adopted, and - for any other answer; holder, the first four
// characters of the session id the request carried, the id of the server that holds the
// session, or - when it carried none). With
// --rss-pid, the resident size of that process is printed after every --sample-every
// responses as "rss <responses> <kB>".
//
// With --pause-ms, each connection waits that long after every answer: a paced load that
// leaves the machine room, so that a slow request shows what made it slow.
//
//   chaos_load --target HOST:PORT [--connections 64] [--seconds 60] [--requests N]
//              [--mix session,echo,post,static] [--post-bytes 4096] [--record FILE]
//              [--rss-pid PID --sample-every 100000] [--timeout-ms 30000] [--pause-ms 0]
//   chaos_load --free-port HOST      prints a port that is free on HOST now
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "http_connection.h"

namespace {

struct Config {
    std::string host = "127.0.0.1";
    int port = 0;
    int connections = 64;
    double seconds = 0;
    long requests = 0;
    std::vector<char> mix{'S', 'E', 'P'};
    size_t postBytes = 4096;
    std::string recordFile;
    int rssPid = 0;
    long sampleEvery = 100000;
    int timeoutMs = 30000;
    int pauseMs = 0;
};

struct Record {
    int64_t ms;
    int16_t status;
    char kind;
    uint8_t server;
    int32_t latencyUs;
    char session;
    char holder[5];
};

// What all connections share: the stop conditions, the counters and the samples.
struct Shared {
    const Config* config;
    std::chrono::steady_clock::time_point deadline;
    std::atomic<long> issued{0};
    std::atomic<long> answered{0};
    std::atomic<long> badBodies{0};
    std::atomic<long> sessionsNew{0}, sessionsKnown{0}, sessionsAdopted{0}, sessionsLost{0};
    std::mutex printLock;
};

int64_t epochMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

long rssKb(int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return atol(line.c_str() + 6);
    return -1;
}

std::string requestText(const Config& c, char kind, const std::string& cookie,
                        const std::string& body) {
    std::ostringstream r;
    const char* target = kind == 'S'   ? "/app/session"
                         : kind == 'E' ? "/app/echo"
                         : kind == 'A' ? "/index.html"
                                       : "/app/body";
    r << (kind == 'P' ? "POST " : "GET ") << target << " HTTP/1.1\r\nHost: " << c.host << ":"
      << c.port << "\r\n";
    if (!cookie.empty()) r << "Cookie: JSESSIONID=" << cookie << "\r\n";
    if (kind == 'P')
        r << "Content-Type: application/octet-stream\r\nContent-Length: " << body.size()
          << "\r\n\r\n"
          << body;
    else
        r << "\r\n";
    return r.str();
}

// The first few bad answers are shown whole: they say what went wrong.
void reportBad(Shared& s, char kind, const chaos::Response& r) {
    if (s.badBodies.fetch_add(1) >= 5) return;
    std::lock_guard hold(s.printLock);
    fprintf(stderr, "bad answer to %c from .%d, status %d: %.300s\n", kind, r.serverOctet, r.status,
            r.body.c_str());
}

// A 2xx answer that does not say what the request asked for counts as bad: false. The
// state of a session answer goes to session ('-' for any other answer); a new session
// issued to a request that carried an id is a lost one.
bool checkAnswer(Shared& s, char kind, bool carriedId, const chaos::Response& r, char& session) {
    session = '-';
    if (r.status < 200 || r.status > 299) return true;
    bool good = true;
    if (kind == 'P') {
        std::string want = "length: " + std::to_string(s.config->postBytes) + "\n";
        good = r.body.find(want) != std::string::npos;
    } else if (kind == 'S') {
        if (r.body.find("state: new") != std::string::npos) {
            session = carriedId ? 'l' : 'n';
            (carriedId ? s.sessionsLost : s.sessionsNew)++;
        } else if (r.body.find("state: known") != std::string::npos) {
            session = 'k';
            s.sessionsKnown++;
        } else if (r.body.find("state: adopted") != std::string::npos) {
            session = 'a';
            s.sessionsAdopted++;
        } else
            good = false;
    }
    if (!good) reportBad(s, kind, r);
    return good;
}

void sample(Shared& s, long answered) {
    const Config& c = *s.config;
    if (c.rssPid <= 0 || answered % c.sampleEvery != 0) return;
    std::lock_guard hold(s.printLock);
    printf("rss %ld %ld\n", answered, rssKb(c.rssPid));
    fflush(stdout);
}

void runConnection(Shared& s, int index, std::vector<Record>& records) {
    const Config& c = *s.config;
    chaos::HttpConnection conn(c.host, c.port, c.timeoutMs);
    std::string body(c.postBytes, 'x');
    for (size_t i = 0; i < body.size(); ++i) body[i] = char('a' + (i + size_t(index)) % 26);
    std::string cookie;
    for (size_t turn = size_t(index);; ++turn) {
        if (c.seconds > 0 && std::chrono::steady_clock::now() >= s.deadline) break;
        if (c.requests > 0 && s.issued.fetch_add(1) >= c.requests) break;
        char kind = c.mix[turn % c.mix.size()];
        const std::string request = requestText(c, kind, cookie, body);
        const auto sent = std::chrono::steady_clock::now();
        chaos::Response r = conn.exchange(request);
        const auto latency = std::chrono::duration_cast<std::chrono::microseconds>(
            std::chrono::steady_clock::now() - sent);
        Record record{
            epochMs(), int16_t(r.status), 0, uint8_t(r.serverOctet), int32_t(latency.count()), '-',
            "-"};
        if (cookie.size() >= 4) cookie.copy(record.holder, 4);
        // A bad answer is recorded with its kind in lower case.
        record.kind = checkAnswer(s, kind, !cookie.empty(), r, record.session)
                          ? kind
                          : char(kind - 'A' + 'a');
        if (!r.cookie.empty()) cookie = r.cookie;
        if (!c.recordFile.empty()) records.push_back(record);
        sample(s, s.answered.fetch_add(1) + 1);
        // A refused connect would otherwise spin: Apache is gone or not listening.
        const int pause = r.status == 0 ? std::max(c.pauseMs, 10) : c.pauseMs;
        if (pause > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pause));
    }
}

bool parseArgs(int argc, char** argv, Config& c) {
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string name = argv[i], value = argv[i + 1];
        if (name == "--target") {
            size_t colon = value.rfind(':');
            if (colon == std::string::npos) return false;
            c.host = value.substr(0, colon);
            c.port = atoi(value.c_str() + colon + 1);
        } else if (name == "--connections")
            c.connections = atoi(value.c_str());
        else if (name == "--seconds")
            c.seconds = atof(value.c_str());
        else if (name == "--requests")
            c.requests = atol(value.c_str());
        else if (name == "--post-bytes")
            c.postBytes = size_t(atol(value.c_str()));
        else if (name == "--record")
            c.recordFile = value;
        else if (name == "--rss-pid")
            c.rssPid = atoi(value.c_str());
        else if (name == "--sample-every")
            c.sampleEvery = atol(value.c_str());
        else if (name == "--timeout-ms")
            c.timeoutMs = atoi(value.c_str());
        else if (name == "--pause-ms")
            c.pauseMs = atoi(value.c_str());
        else if (name == "--mix") {
            c.mix.clear();
            std::istringstream list(value);
            for (std::string kind; std::getline(list, kind, ',');) {
                const char* code = kind == "session"  ? "S"
                                   : kind == "echo"   ? "E"
                                   : kind == "post"   ? "P"
                                   : kind == "static" ? "A"
                                                      : nullptr;
                if (!code) return false;
                c.mix.push_back(code[0]);
            }
        } else
            return false;
    }
    return c.port > 0 && c.connections > 0 && !c.mix.empty() && c.sampleEvery > 0 &&
           c.pauseMs >= 0 && (c.seconds > 0 || c.requests > 0);
}

int freePort(const char* host) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    if (inet_pton(AF_INET, host, &addr.sin_addr) != 1) return -1;
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    socklen_t size = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &size) != 0)
        return -1;
    ::close(fd);
    return ntohs(addr.sin_port);
}

void writeRecords(const std::string& file, const std::vector<std::vector<Record>>& all) {
    FILE* out = fopen(file.c_str(), "w");
    if (!out) return;
    for (const auto& records : all)
        for (const Record& r : records)
            fprintf(out, "%lld %d %c %d %d %c %s\n", static_cast<long long>(r.ms), r.status, r.kind,
                    r.server, r.latencyUs, r.session, r.holder);
    fclose(out);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && strcmp(argv[1], "--free-port") == 0) {
        int port = freePort(argv[2]);
        if (port <= 0) return 1;
        printf("%d\n", port);
        return 0;
    }
    Config c;
    if (!parseArgs(argc, argv, c)) {
        fprintf(stderr,
                "usage: chaos_load --target HOST:PORT (--seconds S | --requests N) "
                "[--connections N] [--mix session,echo,post,static] [--post-bytes B] "
                "[--record FILE] [--rss-pid PID] [--sample-every N] [--timeout-ms MS] "
                "[--pause-ms MS]\n");
        return 2;
    }
    Shared s;
    s.config = &c;
    auto start = std::chrono::steady_clock::now();
    s.deadline = start + std::chrono::milliseconds(long(c.seconds * 1000));
    std::vector<std::vector<Record>> records(size_t(c.connections));
    std::vector<std::thread> threads;
    for (int i = 0; i < c.connections; ++i)
        threads.emplace_back(runConnection, std::ref(s), i, std::ref(records[size_t(i)]));
    for (std::thread& t : threads) t.join();
    double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!c.recordFile.empty()) writeRecords(c.recordFile, records);
    printf(
        "responses %ld in %.1f s (%.0f/s), bad bodies %ld, sessions new %ld known %ld "
        "adopted %ld lost %ld\n",
        s.answered.load(), took, double(s.answered.load()) / took, s.badBodies.load(),
        s.sessionsNew.load(), s.sessionsKnown.load(), s.sessionsAdopted.load(),
        s.sessionsLost.load());
    return 0;
}
