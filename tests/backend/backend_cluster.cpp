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
    const bool v6 = host.starts_with('[');
    union {
        sockaddr any;
        sockaddr_in v4;
        sockaddr_in6 v6;
    } a{};
    socklen_t length = v6 ? sizeof a.v6 : sizeof a.v4;
    if (v6) {
        a.v6.sin6_family = AF_INET6;
        inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), &a.v6.sin6_addr);
    } else {
        a.v4.sin_family = AF_INET;
        a.v4.sin_addr.s_addr = inet_addr(host.c_str());
    }
    int fd = socket(a.any.sa_family, SOCK_STREAM, 0);
    bind(fd, &a.any, length);
    getsockname(fd, &a.any, &length);
    close(fd);
    return ntohs(v6 ? a.v6.sin6_port : a.v4.sin_port);
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
    names_.push_back(addresses_.back());
}

int BackendCluster::port(int i) const {
    const std::string& at = address(i);
    return std::stoi(at.substr(at.rfind(':') + 1));
}

void BackendCluster::listenAt(int i, const std::string& host, int port) {
    const bool named = names_[size_t(i)] == addresses_[size_t(i)];
    addresses_[size_t(i)] = host + ":" + std::to_string(port ? port : freePort(host));
    if (named) names_[size_t(i)] = addresses_[size_t(i)];
}

void BackendCluster::writeMembers(int i, const std::vector<int>& members, int seq) {
    std::string list;
    for (int m : members) list += repId(m) + "=" + memberName(m) + "\n";
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
