// Several quon-backend servers that form one cluster, on 127.0.0.2, .3, .4 and on: each
// has the rep_id SRVn and the next one as its session buddy, all share one member list
// and sequence number, and each keeps its ports across a kill and a restart.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "backend_process.h"

namespace backend_test {

class BackendCluster {
public:
    // mappings: each server's "servlet-mappings" text (their number is the cluster's
    // size); serverProps: each server's "server-props" besides its rep_id.
    explicit BackendCluster(std::vector<std::string> mappings,
                            std::string serverProps =
                                "mapcheck=30\nweight=1\n"
                                "algorithm=ROUNDROBIN\nsticky=true\n");

    // Starts the servers not running yet, all listing members (every server when
    // empty). A lone server announces no sequence number: its table is no cluster.
    bool start(std::vector<int> members = {});
    int size() const { return int(servers_.size()); }
    BackendProcess& operator[](int i) { return *servers_[size_t(i)]; }
    // The protocol address server i listens on, "host:port" ("[::1]:port" for IPv6).
    const std::string& address(int i) const { return addresses_[size_t(i)]; }
    int port(int i) const;
    // Before server i starts (or starts again): it listens on host ("127.0.0.1", "[::1]")
    // at the port given, or a free one.
    void listenAt(int i, const std::string& host, int port = 0);
    // The name member lists give server i ("localhost:7001"); its address until set.
    const std::string& memberName(int i) const { return names_[size_t(i)]; }
    void nameAs(int i, const std::string& name) { names_[size_t(i)] = name; }
    std::string repId(int i) const { return "SRV" + std::to_string(i + 1); }
    // Index of the server with this protocol address, or -1.
    int indexOf(const std::string& address) const;

    // SIGKILL: the server vanishes without closing anything; it is reaped at once.
    void kill(int i);
    void stop(int i) { (*this)[i].stop(); }
    // Starts server i again on the same ports, with its files as they are now. The
    // harness cannot reload a restarted server: its generation count starts again.
    bool restart(int i);
    // The "servlet-mappings" text server i starts with from its next (re)start on.
    void deploy(int i, const std::string& mappings) { mappings_[size_t(i)] = mappings; }
    // Rewrites every server's member list and sequence number; running servers reload.
    bool announce(const std::vector<int>& members, int seq, bool reload = true);

    // Lines of server i's log that contain part, and what they tell.
    int logLines(int i, const std::string& part) const;
    int requestsSeen(int i) const;
    int openConnections(int i) const {
        return logLines(i, "] accepted from ") - logLines(i, "] closed: ");
    }

private:
    void add(const std::string& mappings);
    bool startServer(int i);
    void writeMembers(int i, const std::vector<int>& members, int seq);

    std::string serverProps_;
    std::vector<std::string> mappings_, addresses_, httpAddresses_, names_;
    std::vector<std::unique_ptr<BackendProcess>> servers_;
};

// A port nothing listens on at host, an IPv4 address or an IPv6 one in brackets (bound
// and released at once).
int freePort(const std::string& host);

}  // namespace backend_test
