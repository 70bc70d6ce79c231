// A back-end cluster (each server maps "/app/*" and "*.jsp") behind a real Apache with the module.
#pragma once

#include <memory>
#include <string>

#include "apache_server.h"
#include "backend_cluster.h"
#include "http_client.h"

// The status page at /quon-status, open to the local host alone.
inline const std::string kStatusLocation =
    loadModules({"authz_host"}) +
    "<Location /quon-status>\n  SetHandler quon-status\n  Require local\n</Location>\n";

class QuonCluster : public backend_test::BackendCluster {
public:
    explicit QuonCluster(int servers,
                         const std::string& serverProps =
                             "mapcheck=30\nweight=1\nalgorithm=ROUNDROBIN\nsticky=true\n")
        : BackendCluster(std::vector<std::string>(size_t(servers), "/app/*=app\n*.jsp=jsp\n"),
                         serverProps) {}
    // Servers with mappings of their own, one text each.
    QuonCluster(std::vector<std::string> mappings, const std::string& serverProps)
        : BackendCluster(std::move(mappings), serverProps) {}
    // Apache loads the test build of the module (the probe handler and its hooks).
    void useProbeModule() { modulePath_ = quonProbeModulePath(); }
    // No proxyretryinterval line: servers found unreachable wait the connector's default.
    void useDefaultRetryInterval() { retryLine_.clear(); }
    // Apache runs this many children, with this MPM.
    void useChildren(int children, const std::string& mpm = "event") {
        children_ = children;
        mpm_ = mpm;
    }
    // Apache's LogLevel line instead of "warn", and no Verbose or traceflags line.
    void useLogLevel(const std::string& level) {
        logLevel_ = level;
        traceLines_.clear();
    }

    // Apache looks names up in a hosts file of these lines alone (see ApacheOptions::hosts).
    void useHosts(const std::string& lines) { hosts_ = lines; }

    // Starts the servers not running yet, then Apache bootstrapped from the first one (by
    // its member name) with a one-second retry interval (unless asked otherwise), full
    // tracing and `directives` ("@BOOT@": the first server); then waits for the table
    // unless told not to.
    testing::AssertionResult start(const std::string& directives = "", bool waitForTable = true) {
        if (!BackendCluster::start()) return testing::AssertionFailure() << "no back end";
        lines_ = replaceAll("QuonConfig bootstrap @BOOT@\n" + traceLines_ + retryLine_ + directives,
                            "@BOOT@", memberName(0));
        apache_ = std::make_unique<ApacheServer>(ApacheOptions{.directives = lines_,
                                                               .modulePath = modulePath_,
                                                               .children = children_,
                                                               .mpm = mpm_,
                                                               .logLevel = logLevel_,
                                                               .hosts = hosts_});
        testing::AssertionResult started = apache_->start();
        // The child's upkeep thread initialises the tables as it starts; requests that come
        // before it has are declined. Tests begin once it has (or the wait runs out): with
        // the traces, once a server is added (by each child, of every server, with several
        // children); without, once a mapped request is served.
        const bool traced = !traceLines_.empty();
        if (started && waitForTable && traced && children_ == 1)
            apache_->waitForLog("added/activated proxy");
        if (started && waitForTable && traced && children_ > 1)
            backend_test::waitUntil(
                [&] { return apache_->countLog("added/activated proxy") >= size() * children_; });
        if (started && waitForTable && !traced)
            backend_test::waitUntil([&] { return get("/app/echo").status == 200; });
        return started;
    }

    ApacheServer& apache() { return *apache_; }
    // A graceful restart with the same configuration; true once Apache has resumed.
    bool restartApache() { return apache_->restartGracefully(lines_); }
    // A restart with signal (SIGHUP: apache2ctl restart); true once Apache has resumed.
    bool restartApache(int signal) { return apache_->restartWith(signal, lines_); }
    std::string url(const std::string& path) const { return apache_->url(path); }
    HttpResponse get(const std::string& path, const std::vector<std::string>& headers = {}) {
        return httpGet(url(path), headers);
    }
    // The index of the server that answered, -1 when none did.
    int served(const HttpResponse& r) const { return indexOf(r.header("X-Quon-Server")); }

private:
    std::string modulePath_, hosts_;
    int children_ = 1;
    std::string mpm_ = "event";
    std::string lines_;
    std::string retryLine_ = "QuonConfig proxyretryinterval 1\n";
    std::string traceLines_ = "QuonConfig Verbose true\nQuonConfig traceflags 3\n";
    std::string logLevel_ = "warn";
    // Destroyed before the servers: Apache's children must not see them vanish.
    std::unique_ptr<ApacheServer> apache_;
};
