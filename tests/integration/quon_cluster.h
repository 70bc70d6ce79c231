// An end-to-end set-up: up to three quon-backend servers on 127.0.0.2, .3 and .4 that
// form one cluster (each the session buddy of the next), and a real Apache with the
// module in front of them, bootstrapped from the first server.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "apache_server.h"
#include "backend_process.h"
#include "http_client.h"

// FNV-1a 64 in 16 lower-case hex digits, as the back end's body action reports it.
std::string fnv1a64(const std::string& bytes);
// The body of a back-end answer as "key: value" lines.
std::map<std::string, std::string> answerLines(const std::string& body);

class QuonCluster {
public:
    // serverProps: settings of every server's "server-props" besides its rep_id.
    explicit QuonCluster(int servers = 3,
                         std::string serverProps = "mapcheck=30\nweight=1\n"
                                                   "algorithm=ROUNDROBIN\nsticky=true\n",
                         std::string mappings = "/app/*=app\n*.jsp=jsp\n");
    ~QuonCluster();

    // Starts every server, then Apache with the QuonConfig lines that point at the
    // first server, a one-second retry interval and full tracing, plus directives, in
    // which "@BOOT@" stands for the first server's address.
    bool start(const std::string& directives, std::string* why);
    // The servers alone (those not running yet), for tests that need their addresses
    // before Apache starts.
    bool startServers(std::string* why);

    int size() const { return int(servers_.size()); }
    backend_test::BackendProcess& server(int i) { return *servers_[size_t(i)]; }
    std::string address(int i) const { return addresses_[size_t(i)]; }
    std::string repId(int i) const { return "SRV" + std::to_string(i + 1); }
    // The server index whose protocol address is address, or -1.
    int indexOf(const std::string& address) const;
    // PROXY_SERVICE_40 messages server i has received so far.
    int requestsSeen(int i) const;
    // Protocol connections server i accepted and has not seen closed yet.
    int openConnections(int i) const;
    // Lines of server i's log that contain part.
    int logLines(int i, const std::string& part) const;

    // SIGKILL: the server vanishes without closing anything; it is reaped at once.
    void kill(int i);
    // SIGTERM and wait.
    void stop(int i);
    // Starts server i again on the same ports.
    bool restart(int i);
    // Replaces the member list and sets cluster-seq; every running server reloads.
    bool announce(const std::vector<int>& members, int seq);
    // Adds one more server (on 127.0.0.(2+index)) listed nowhere yet; its index.
    int addServer(std::string* why);

    ApacheServer& apache() { return *apache_; }
    std::string url(const std::string& path) const { return apache_->url(path); }

private:
    bool startServer(int i);
    std::string memberList(const std::vector<int>& members) const;

    std::string serverProps_, mappings_;
    std::vector<std::unique_ptr<backend_test::BackendProcess>> servers_;
    std::vector<std::string> addresses_, httpAddresses_;
    std::vector<std::vector<std::string>> options_;
    std::unique_ptr<ApacheServer> apache_;
};
