#include "quon_cluster.h"

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <sys/wait.h>

namespace {
std::string hostOf(int i) { return "127.0.0." + std::to_string(2 + i); }
}  // namespace

std::string fnv1a64(const std::string& bytes) {
    uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : bytes) hash = (hash ^ c) * 1099511628211ull;
    char text[17];
    snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return text;
}

std::map<std::string, std::string> answerLines(const std::string& body) {
    std::map<std::string, std::string> lines;
    std::istringstream in(body);
    for (std::string line; std::getline(in, line);) {
        size_t colon = line.find(": ");
        if (colon != std::string::npos) lines[line.substr(0, colon)] = line.substr(colon + 2);
    }
    return lines;
}

QuonCluster::QuonCluster(int servers, std::string serverProps, std::string mappings)
    : serverProps_(std::move(serverProps)), mappings_(std::move(mappings)) {
    for (int i = 0; i < servers; ++i) {
        servers_.push_back(std::make_unique<backend_test::BackendProcess>(hostOf(i)));
        addresses_.push_back(hostOf(i) + ":" + std::to_string(freeLoopbackPort(hostOf(i).c_str())));
        httpAddresses_.push_back(hostOf(i) + ":" +
                                 std::to_string(freeLoopbackPort(hostOf(i).c_str())));
    }
}

// Apache goes first: its children must not see the servers vanish under them.
QuonCluster::~QuonCluster() { apache_.reset(); }

std::string QuonCluster::memberList(const std::vector<int>& members) const {
    std::string text;
    for (int i : members) text += repId(i) + "=" + address(i) + "\n";
    return text;
}

bool QuonCluster::startServer(int i) {
    backend_test::BackendProcess& s = server(i);
    std::string buddy = repId((i + 1) % size());
    options_.resize(servers_.size());
    options_[size_t(i)] = {
        "--listen", address(i), "--http", httpAddresses_[size_t(i)],
        "--server-props", s.writeFile("server.props", "rep_id=" + repId(i) + "\n" + serverProps_),
        "--mappings", s.writeFile("mappings.props", mappings_),
        "--cluster", s.path("cluster.props"), "--control", s.path("control.props"),
        "--buddies", buddy};
    return s.start(options_[size_t(i)]);
}

bool QuonCluster::startServers(std::string* why) {
    std::vector<int> all;
    for (int i = 0; i < size(); ++i) all.push_back(i);
    for (int i = 0; i < size(); ++i) {
        if (server(i).running()) continue;
        server(i).writeFile("cluster.props", memberList(all));
        server(i).writeFile("control.props", "cluster-seq=1\n");
        if (!startServer(i)) {
            *why = "server " + repId(i) + " did not start";
            return false;
        }
    }
    return true;
}

bool QuonCluster::start(const std::string& directives, std::string* why) {
    if (!startServers(why)) return false;
    std::string lines = "QuonConfig bootstrap " + address(0) +
                        "\nQuonConfig Verbose true\nQuonConfig traceflags 3\n"
                        "QuonConfig proxyretryinterval 1\n" + directives;
    for (size_t at = lines.find("@BOOT@"); at != std::string::npos; at = lines.find("@BOOT@"))
        lines.replace(at, 6, address(0));
    apache_ = std::make_unique<ApacheServer>(ApacheOptions{.directives = lines});
    return apache_->start(why);
}

int QuonCluster::indexOf(const std::string& address) const {
    for (int i = 0; i < size(); ++i)
        if (addresses_[size_t(i)] == address) return i;
    return -1;
}

int QuonCluster::logLines(int i, const std::string& part) const {
    std::istringstream lines(servers_[size_t(i)]->logText());
    int count = 0;
    for (std::string line; std::getline(lines, line);) count += line.find(part) != std::string::npos;
    return count;
}

int QuonCluster::requestsSeen(int i) const { return logLines(i, "] PROXY_SERVICE_40 ") -
                                                   logLines(i, "] PROXY_SERVICE_40 length") -
                                                   logLines(i, "] PROXY_SERVICE_40 items"); }

int QuonCluster::openConnections(int i) const {
    return logLines(i, "] accepted from ") - logLines(i, "] closed: ");
}

void QuonCluster::kill(int i) {
    ::kill(server(i).pid(), SIGKILL);
    server(i).stop();  // reaps it; the exit status of a killed server is of no interest
}

void QuonCluster::stop(int i) { server(i).stop(); }

bool QuonCluster::restart(int i) {
    std::filesystem::remove(server(i).path("ready"));
    return server(i).start(options_[size_t(i)]);
}

bool QuonCluster::announce(const std::vector<int>& members, int seq) {
    bool ok = true;
    for (int i = 0; i < size(); ++i) {
        if (server(i).running()) continue;
        server(i).writeFile("cluster.props", memberList(members));
        server(i).writeFile("control.props", "cluster-seq=" + std::to_string(seq) + "\n");
        if (server(i).running()) ok = server(i).reload() && ok;
    }
    return ok;
}

int QuonCluster::addServer(std::string* why) {
    int i = size();
    servers_.push_back(std::make_unique<backend_test::BackendProcess>(hostOf(i)));
    addresses_.push_back(hostOf(i) + ":" + std::to_string(freeLoopbackPort(hostOf(i).c_str())));
    httpAddresses_.push_back(hostOf(i) + ":" + std::to_string(freeLoopbackPort(hostOf(i).c_str())));
    server(i).writeFile("cluster.props", memberList({0}));
    server(i).writeFile("control.props", "cluster-seq=1\n");
    if (!startServer(i)) {
        *why = "server " + repId(i) + " did not start";
        return -1;
    }
    return i;
}
