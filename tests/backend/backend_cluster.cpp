#include "backend_cluster.h"

#include <arpa/inet.h>
#include <csignal>
#include <filesystem>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

namespace backend_test {
int freePort(const std::string& host) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = inet_addr(host.c_str());
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t length = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    close(fd);
    return ntohs(a.sin_port);
}

BackendCluster::BackendCluster(std::vector<std::string> mappings, std::string serverProps)
    : serverProps_(std::move(serverProps)) {
    for (const std::string& m : mappings) add(m);
}

void BackendCluster::add(const std::string& mappings) {
    const std::string host = "127.0.0." + std::to_string(2 + size());
    servers_.push_back(std::make_unique<BackendProcess>(host));
    mappings_.push_back(mappings);
    addresses_.push_back(host + ":" + std::to_string(freePort(host)));
    httpAddresses_.push_back(host + ":" + std::to_string(freePort(host)));
}

void BackendCluster::writeMembers(int i, const std::vector<int>& members, int seq) {
    std::string list;
    for (int m : members) list += repId(m) + "=" + address(m) + "\n";
    (*this)[i].writeFile("cluster.props", list);
    (*this)[i].writeFile("control.props", seq ? "cluster-seq=" + std::to_string(seq) + "\n" : "");
}

bool BackendCluster::startServer(int i) {
    BackendProcess& s = (*this)[i];
    return s.start({"--listen", address(i), "--http", httpAddresses_[size_t(i)], "--server-props",
                    s.writeFile("server.props", "rep_id=" + repId(i) + "\n" + serverProps_),
                    "--mappings", s.writeFile("mappings.props", mappings_[size_t(i)]), "--cluster",
                    s.path("cluster.props"), "--control", s.path("control.props"), "--buddies",
                    repId((i + 1) % size())});
}

bool BackendCluster::start(std::vector<int> members) {
    if (members.empty())
        for (int i = 0; i < size(); ++i) members.push_back(i);
    for (int i = 0; i < size(); ++i) {
        if ((*this)[i].running()) continue;
        writeMembers(i, members, size() > 1 ? 1 : 0);
        if (!startServer(i)) return false;
    }
    return true;
}

int BackendCluster::indexOf(const std::string& address) const {
    for (int i = 0; i < size(); ++i)
        if (addresses_[size_t(i)] == address) return i;
    return -1;
}

void BackendCluster::kill(int i) {
    ::kill((*this)[i].pid(), SIGKILL);
    (*this)[i].stop();  // reaps it; a killed server's exit status tells nothing
}

bool BackendCluster::restart(int i) {
    std::filesystem::remove((*this)[i].path("ready"));
    return startServer(i);
}

bool BackendCluster::announce(const std::vector<int>& members, int seq, bool reload) {
    bool ok = true;
    for (int i = 0; i < size(); ++i) {
        writeMembers(i, members, seq);
        if (reload && (*this)[i].running()) ok = (*this)[i].reload() && ok;
    }
    return ok;
}

int BackendCluster::logLines(int i, const std::string& part) const {
    return countLines(servers_[size_t(i)]->logText(), part);
}

int BackendCluster::requestsSeen(int i) const {
    std::istringstream lines(servers_[size_t(i)]->logText());
    int count = 0;  // "[q1] PROXY_SERVICE_40 <n> bytes GET /app/echo" per request
    for (std::string line; std::getline(lines, line);)
        count += line.find("] PROXY_SERVICE_40 ") != std::string::npos &&
                 line.find(" bytes ") != std::string::npos;
    return count;
}

}  // namespace backend_test
