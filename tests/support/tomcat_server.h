// A real Tomcat 10.1 for a test: a CATALINA_BASE of its own in a temporary folder, the
// system's CATALINA_HOME (/usr/share/tomcat10), the Quon connector on a free port of a
// 127.0.0.x address (kept across restarts), and `java` started directly in a process group
// of its own, stopped by process id. Never the system's service or its /var/lib/tomcat10.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

struct TomcatOptions {
    std::string host = "127.0.0.2";
    // The JVM's quon.test.name, which the test application sends back in X-Tomcat.
    std::string name = "T1";
    // Attributes of the Quon <Connector> besides protocol, address and port ("repId=\"SRV1\"
    // buddies=\"SRV2\""); the connector and its Listener are left out when quon is false.
    std::string connector;
    bool quon = true;
    bool http = false;  // Tomcat's own HTTP/1.1 connector too, on a free port of host
    // Attributes of the <Engine> besides name and defaultHost (jvmRoute="...").
    std::string engine;
    // Session replication: a <Cluster> with DeltaManager and static membership over the
    // receivers of these Tomcats (set by TomcatCluster), this one's receiver port first.
    bool replicate = false;
    // Web applications deployed at the start: context name (the WAR's file name without
    // ".war"; "ROOT" for "/") and the WAR to copy.
    std::vector<std::pair<std::string, std::string>> webapps = {{"app", testWarPath()}};

    static std::string testWarPath();
};

class TomcatServer {
public:
    explicit TomcatServer(TomcatOptions options);
    ~TomcatServer();
    TomcatServer(const TomcatServer&) = delete;
    TomcatServer& operator=(const TomcatServer&) = delete;

    // Writes the base (first time) and server.xml, starts java and waits until Tomcat says
    // it has started and the Quon (else HTTP) port accepts connections; a failure carries
    // the end of Tomcat's log.
    testing::AssertionResult start();
    // SIGTERM (Tomcat's graceful stop), then SIGKILL of the group after a grace period.
    void stop();
    // SIGKILL: the JVM vanishes without closing anything.
    void kill();
    bool running() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

    // Copies war into webapps/ under name.war (renamed into place, so that the deployer
    // never sees half a file); a running Tomcat deploys it by itself.
    void deploy(const std::string& name, const std::string& war) const;
    // Removes webapps/name.war: a running Tomcat undeploys the application.
    void undeploy(const std::string& name) const;

    const std::string& host() const { return options_.host; }
    int port() const { return port_; }
    int httpPort() const { return httpPort_; }
    int clusterPort() const { return clusterPort_; }
    // "host:port" of the Quon connector, as member lists name it.
    std::string address() const { return options_.host + ":" + std::to_string(port_); }
    const std::string& name() const { return options_.name; }
    const std::string& dir() const { return dir_; }
    TomcatOptions& options() { return options_; }

    // Tomcat's console log (catalina.out in the base); waits until it holds part.
    std::string log() const;
    bool waitForLog(const std::string& part,
                    std::chrono::milliseconds limit = std::chrono::seconds(30)) const;
    int countLog(const std::string& part) const;

    // Receivers of the other members of the replication cluster ("host:port").
    std::vector<std::string> peers;

private:
    std::string serverXml() const;
    void writeBase() const;

    TomcatOptions options_;
    std::string dir_;
    int port_ = 0, httpPort_ = 0, clusterPort_ = 0;
    pid_t pid_ = -1;
};

// Tomcats on 127.0.0.2, .3, ... with repId SRVn, each the buddy of the one before it
// ("SRV1" names "SRV2", the last names "SRV1"), all listing every member; optionally
// replicating their sessions to one another.
class TomcatCluster {
public:
    // connector: further attributes of every Quon connector ("mapcheck=\"1\"").
    explicit TomcatCluster(int tomcats, const std::string& connector = "", bool replicate = false);
    int size() const { return int(tomcats_.size()); }
    TomcatServer& operator[](int i) { return *tomcats_[size_t(i)]; }
    std::string repId(int i) const { return "SRV" + std::to_string(i + 1); }
    // The index of the Tomcat named in an answer's X-Tomcat, -1 when none.
    int indexOf(const std::string& name) const;
    // Starts every Tomcat not running yet, one after the other (two JVMs starting at once on
    // two cores take as long as both in turn).
    testing::AssertionResult start();

private:
    std::vector<std::unique_ptr<TomcatServer>> tomcats_;
};

// The Quon connector's jar, and whether it has been built.
std::string quonTomcatJar();
