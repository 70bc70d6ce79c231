#include "tomcat_server.h"

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "backend_cluster.h"

extern char** environ;

namespace fs = std::filesystem;
using backend_test::countLines;
using backend_test::readFile;
using backend_test::waitUntil;

namespace {
constexpr const char* kCatalinaHome = "/usr/share/tomcat10";
// Written by Catalina once every connector has started (or failed to).
constexpr const char* kStarted = "Server startup in";

void writeText(const std::string& path, const std::string& text) {
    std::ofstream(path + ".new", std::ios::binary) << text;
    fs::rename(path + ".new", path);
}

bool accepts(const std::string& host, int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = inet_addr(host.c_str());
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

// A tribes member id: 16 signed bytes, the address's last byte and the port making it
// unique.
std::string uniqueId(const std::string& host, int port) {
    const int last = std::stoi(host.substr(host.rfind('.') + 1));
    return "{0,0,0,0,0,0,0,0,0,0,0,0," + std::to_string(last - 128) + ",0," +
           std::to_string(port / 256 - 128) + "," + std::to_string(port % 256 - 128) + "}";
}

// The <Cluster> of a replicating Tomcat: DeltaManager (every session on every member) and
// a static membership, so that nothing is sent by multicast.
std::string clusterXml(const std::string& host, int port, const std::vector<std::string>& peers) {
    std::string members;
    for (const std::string& peer : peers) {
        const std::string h = peer.substr(0, peer.rfind(':'));
        const int p = std::stoi(peer.substr(peer.rfind(':') + 1));
        members +=
            "          <Member className=\"org.apache.catalina.tribes.membership.StaticMember\""
            " host=\"" +
            h + "\" port=\"" + std::to_string(p) + "\" uniqueId=\"" + uniqueId(h, p) + "\"/>\n";
    }
    return R"(      <Cluster className="org.apache.catalina.ha.tcp.SimpleTcpCluster" channelSendOptions="6">
        <Manager className="org.apache.catalina.ha.session.DeltaManager"
                 expireSessionsOnShutdown="false" notifyListenersOnReplication="true"
                 stateTransferTimeout="5"/>
        <Channel className="org.apache.catalina.tribes.group.GroupChannel">
          <Membership className="org.apache.catalina.tribes.membership.StaticMembershipService">
            <LocalMember className="org.apache.catalina.tribes.membership.StaticMember" uniqueId=")" +
           uniqueId(host, port) + R"("/>
)" + members +
           R"(          </Membership>
          <Receiver className="org.apache.catalina.tribes.transport.nio.NioReceiver"
                    address=")" +
           host + "\" port=\"" + std::to_string(port) +
           R"(" autoBind="0" selectorTimeout="100" maxThreads="6"/>
          <Sender className="org.apache.catalina.tribes.transport.ReplicationTransmitter">
            <Transport className="org.apache.catalina.tribes.transport.nio.PooledParallelSender"/>
          </Sender>
          <Interceptor className="org.apache.catalina.tribes.group.interceptors.TcpFailureDetector"/>
          <Interceptor className="org.apache.catalina.tribes.group.interceptors.MessageDispatchInterceptor"/>
        </Channel>
        <ClusterListener className="org.apache.catalina.ha.session.ClusterSessionListener"/>
      </Cluster>
)";
}
}  // namespace

std::string TomcatOptions::testWarPath() { return QUON_TEST_WAR; }
std::string quonTomcatJar() { return QUON_TOMCAT_JAR; }

TomcatServer::TomcatServer(TomcatOptions options) : options_(std::move(options)) {
    char pattern[] = "/tmp/quon-tomcat-test-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    dir_ = made ? made : "";
    port_ = backend_test::freePort(options_.host);
    if (options_.http) httpPort_ = backend_test::freePort(options_.host);
    if (options_.replicate) clusterPort_ = backend_test::freePort(options_.host);
}

TomcatServer::~TomcatServer() {
    stop();
    std::error_code ignored;
    if (!dir_.empty()) fs::remove_all(dir_, ignored);
}

std::string TomcatServer::serverXml() const {
    std::string connectors;
    if (options_.quon)
        connectors += "    <Connector protocol=\"org.quon22.tomcat.QuonNioProtocol\" address=\"" +
                      options_.host + "\" port=\"" + std::to_string(port_) + "\" " +
                      options_.connector + "/>\n";
    if (options_.http)
        connectors += "    <Connector protocol=\"HTTP/1.1\" address=\"" + options_.host +
                      "\" port=\"" + std::to_string(httpPort_) + "\"/>\n";
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<Server port=\"-1\" shutdown=\"SHUTDOWN\">\n"
           "  <Service name=\"Catalina\">\n" +
           connectors + "    <Engine name=\"Catalina\" defaultHost=\"localhost\" " +
           options_.engine + ">\n" +
           (options_.quon ? "      <Listener className=\"org.quon22.tomcat.QuonListener\"/>\n"
                          : "") +
           (options_.replicate ? clusterXml(options_.host, clusterPort_, peers) : "") +
           // The deployer looks at webapps/ every second, not every ten.
           "      <Host name=\"localhost\" appBase=\"webapps\" unpackWARs=\"true\""
           " autoDeploy=\"true\" backgroundProcessorDelay=\"1\"/>\n"
           "    </Engine>\n"
           "  </Service>\n"
           "</Server>\n";
}

void TomcatServer::writeBase() const {
    for (const char* sub : {"conf", "logs", "webapps", "work", "temp", "lib"})
        fs::create_directories(dir_ + "/" + sub);
    writeText(dir_ + "/conf/server.xml", serverXml());
    if (fs::exists(dir_ + "/conf/web.xml")) return;  // the rest is kept across restarts
    fs::copy_file(std::string(kCatalinaHome) + "/skel/conf/web.xml", dir_ + "/conf/web.xml");
    // No jar of Tomcat's is scanned for TLDs or fragments: it saves seconds of every start.
    writeText(dir_ + "/conf/catalina.properties",
              "common.loader=\"${catalina.base}/lib\",\"${catalina.base}/lib/*.jar\","
              "\"${catalina.home}/lib\",\"${catalina.home}/lib/*.jar\"\n"
              "server.loader=\nshared.loader=\n"
              "tomcat.util.scan.StandardJarScanFilter.jarsToSkip=*.jar\n");
    if (options_.quon) fs::copy_file(quonTomcatJar(), dir_ + "/lib/quon22-tomcat.jar");
    for (const auto& [name, war] : options_.webapps) deploy(name, war);
}

testing::AssertionResult TomcatServer::start() {
    if (running()) return testing::AssertionSuccess();
    if (dir_.empty()) return testing::AssertionFailure() << "no temporary folder";
    if (options_.quon && !fs::exists(quonTomcatJar()))
        return testing::AssertionFailure()
               << "the connector's jar is not built: " << quonTomcatJar();
    writeBase();
    const std::string base = "-Dcatalina.base=" + dir_;
    const std::string home = std::string("-Dcatalina.home=") + kCatalinaHome;
    const std::string temp = "-Djava.io.tmpdir=" + dir_ + "/temp";
    const std::string name = "-Dquon.test.name=" + options_.name;
    const std::string classPath =
        std::string(kCatalinaHome) + "/bin/bootstrap.jar:" + kCatalinaHome + "/bin/tomcat-juli.jar";
    // setpriv asks the kernel to end the JVM with the test; the JVM flags trade peak speed
    // for a cheap start (C1 only, a small serial heap).
    std::vector<std::string> args = {
        "/usr/bin/setpriv", "--pdeathsig", "KILL", "--", "/usr/bin/java", "-XX:TieredStopAtLevel=1",
        "-Xshare:auto", "-XX:+UseSerialGC", "-Xmx128m", "-Xss512k",
        "-Djava.security.egd=file:/dev/./urandom",
        // What catalina.sh opens for Tomcat's leak protection.
        "--add-opens=java.base/java.lang=ALL-UNNAMED", "--add-opens=java.base/java.io=ALL-UNNAMED",
        "--add-opens=java.rmi/sun.rmi.transport=ALL-UNNAMED", base, home, temp, name, "-cp",
        classPath, "org.apache.catalina.startup.Bootstrap", "start"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string out = dir_ + "/logs/catalina.out";
    const auto before = log().size();
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&files, 1, 2);
    posix_spawn_file_actions_addchdir_np(&files, dir_.c_str());
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    if (posix_spawn(&pid_, argv[0], &files, &attributes, argv.data(), environ) != 0) pid_ = -1;
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&files);
    const int port = options_.quon ? port_ : httpPort_;
    const bool started =
        running() && waitUntil(
                         [&] {
                             if (::waitpid(pid_, nullptr, WNOHANG) == pid_) pid_ = -1;
                             return !running() || log().find(kStarted, before) != std::string::npos;
                         },
                         std::chrono::seconds(60));
    if (started && running() && accepts(options_.host, port)) return testing::AssertionSuccess();
    const std::string text = log();
    return testing::AssertionFailure() << "Tomcat " << options_.name << " did not start on "
                                       << options_.host << ":" << port << "; its log ends:\n"
                                       << text.substr(text.size() > 6000 ? text.size() - 6000 : 0);
}

void TomcatServer::stop() {
    if (!running()) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    if (!waitUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; },
                   std::chrono::seconds(15))) {
        ::kill(-pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
    }
    pid_ = -1;
}

void TomcatServer::kill() {
    if (!running()) return;
    ::kill(-pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

void TomcatServer::deploy(const std::string& name, const std::string& war) const {
    fs::create_directories(dir_ + "/temp");
    const std::string staged = dir_ + "/temp/" + name + ".war";
    fs::copy_file(war, staged, fs::copy_options::overwrite_existing);
    fs::rename(staged, dir_ + "/webapps/" + name + ".war");
}

void TomcatServer::undeploy(const std::string& name) const {
    fs::remove(dir_ + "/webapps/" + name + ".war");
}

std::string TomcatServer::log() const { return readFile(dir_ + "/logs/catalina.out"); }

bool TomcatServer::waitForLog(const std::string& part, std::chrono::milliseconds limit) const {
    return waitUntil([&] { return log().find(part) != std::string::npos; }, limit);
}

int TomcatServer::countLog(const std::string& part) const { return countLines(log(), part); }

TomcatCluster::TomcatCluster(int tomcats, const std::string& connector, bool replicate) {
    for (int i = 0; i < tomcats; ++i)
        tomcats_.push_back(std::make_unique<TomcatServer>(TomcatOptions{
            .host = "127.0.0." + std::to_string(2 + i), .name = repId(i), .replicate = replicate}));
    std::string members;
    for (const auto& t : tomcats_) members += (members.empty() ? "" : ",") + t->address();
    for (int i = 0; i < tomcats; ++i) {
        TomcatServer& t = (*this)[i];
        t.options().connector = "repId=\"" + repId(i) + "\" buddies=\"" + repId((i + 1) % tomcats) +
                                "\" members=\"" + members + "\" " + connector;
        for (int j = 0; j < tomcats; ++j)
            if (j != i)
                t.peers.push_back((*this)[j].host() + ":" +
                                  std::to_string((*this)[j].clusterPort()));
    }
}

int TomcatCluster::indexOf(const std::string& name) const {
    for (int i = 0; i < size(); ++i)
        if (tomcats_[size_t(i)]->name() == name) return i;
    return -1;
}

testing::AssertionResult TomcatCluster::start() {
    for (auto& t : tomcats_)
        if (testing::AssertionResult started = t->start(); !started) return started;
    return testing::AssertionSuccess();
}
