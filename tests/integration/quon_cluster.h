// An end-to-end set-up: a back-end cluster (tests/backend/backend_cluster.h) and a real
// Apache with the module in front of it, bootstrapped from the first server.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "apache_server.h"
#include "backend_cluster.h"
#include "http_client.h"

// FNV-1a 64 in 16 lower-case hex digits, as the back end's body action reports it.
std::string fnv1a64(const std::string& bytes);
// The body of a back-end answer as "key: value" lines.
std::map<std::string, std::string> answerLines(const std::string& body);

class QuonCluster : public backend_test::BackendCluster {
public:
    explicit QuonCluster(int servers = 3, std::string serverProps =
                                              "mapcheck=30\nweight=1\n"
                                              "algorithm=ROUNDROBIN\nsticky=true\n");
    ~QuonCluster();

    // Starts the servers not running yet, then Apache with QuonConfig lines for the first
    // server, a one-second retry interval and full tracing, then directives, in which
    // "@BOOT@" stands for the first server's address.
    bool start(const std::string& directives, std::string* why);

    ApacheServer& apache() { return *apache_; }
    std::string url(const std::string& path) const { return apache_->url(path); }
    // The index of the server that answered, -1 when none did.
    int served(const HttpResponse& r) const { return indexOf(r.header("X-Quon-Server")); }

private:
    std::unique_ptr<ApacheServer> apache_;
};
