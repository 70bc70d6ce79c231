#include "apache_server.h"

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <pwd.h>
#include <sched.h>
#include <sstream>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "backend_cluster.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using backend_test::countLines;
using backend_test::readFile;
using backend_test::waitUntil;

namespace {
constexpr const char* kApacheBinary = "/usr/sbin/apache2";
constexpr const char* kModuleDir = "/usr/lib/apache2/modules";
constexpr const char* kApacheUser = "www-data";
constexpr const char* kResumed = "resuming normal operations";

// The system's name service switch with hosts looked up in files alone.
std::string filesOnlyNsswitch() {
    std::istringstream lines(readFile("/etc/nsswitch.conf"));
    std::string text = "hosts: files\n";
    for (std::string line; std::getline(lines, line);)
        if (!line.starts_with("hosts:")) text += line + "\n";
    return text;
}

// A mount namespace of this process's own in which hosts is /etc/hosts and nsswitch is
// /etc/nsswitch.conf; false when it cannot be made.
bool mountPrivateHosts(const std::string& hosts, const std::string& nsswitch) {
    return unshare(CLONE_NEWNS) == 0 &&
           mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           mount(hosts.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) == 0 &&
           mount(nsswitch.c_str(), "/etc/nsswitch.conf", nullptr, MS_BIND, nullptr) == 0;
}
}  // namespace

std::string privateHostsUnavailable() {
    if (geteuid() != 0) return "a hosts file of Apache's own needs root (a mount namespace)";
    const pid_t child = fork();
    if (child == 0) _exit(mountPrivateHosts("/etc/hosts", "/etc/nsswitch.conf") ? 0 : 1);
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
        return "no mount namespace with a bind-mounted /etc/hosts can be made here";
    return "";
}

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

std::string quonModulePath() { return QUON_MODULE_PATH; }
std::string quonProbeModulePath() { return QUON_PROBE_MODULE_PATH; }

std::string loadModules(std::initializer_list<const char*> names) {
    std::string lines;
    for (const std::string name : names)
        lines += "LoadModule " + name + "_module " + kModuleDir + "/mod_" + name + ".so\n";
    return lines;
}

void shareWithApacheUser(const std::string& path) {
    const passwd* user = geteuid() == 0 ? getpwnam(kApacheUser) : nullptr;
    if (user && chown(path.c_str(), user->pw_uid, user->pw_gid) == 0)
        chmod(path.c_str(), fs::is_directory(path) ? 0755 : 0644);
}

ApacheServer::ApacheServer(ApacheOptions options) : options_(std::move(options)) {
    if (options_.modulePath.empty()) options_.modulePath = quonModulePath();
    char pattern[] = "/tmp/quon-apache-XXXXXX";
    dir_ = mkdtemp(pattern);
    chmod(dir_.c_str(), 0755);
    fs::create_directories(dir_ + "/htdocs");
    fs::create_directories(dir_ + "/run");
    shareWithApacheUser(dir_ + "/htdocs");
    if (!options_.hosts.empty()) {
        std::ofstream(dir_ + "/nsswitch.conf") << filesOnlyNsswitch();
        writeHosts(options_.hosts);
    }
}

pid_t ApacheServer::launch(const std::string& conf, const char* arg, const std::string& out) const {
    const pid_t pid = fork();
    if (pid != 0) return pid;
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGTERM);  // no Apache outlives a crashed test
    const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    dup2(fd, 1);
    dup2(fd, 2);
    if (!options_.hosts.empty() && !mountPrivateHosts(dir_ + "/hosts", dir_ + "/nsswitch.conf"))
        _exit(126);
    execl(kApacheBinary, kApacheBinary, "-f", conf.c_str(), arg, static_cast<char*>(nullptr));
    _exit(127);
}

ApacheServer::~ApacheServer() {
    stop();
    if (!getenv("QUON_KEEP_TEST_DIRS")) fs::remove_all(dir_);
}

std::string ApacheServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::string ApacheServer::configText() const {
    if (!options_.config.empty())
        return replaceAll(replaceAll(options_.config, "@DIR@", dir_), "@PORT@",
                          std::to_string(port_));
    std::ostringstream conf;
    const int children = std::max(options_.children, 1);
    const int threads = children > 1 ? 4 : 8;  // the connector's notice lines come at any log level
    conf << "ServerRoot \"" << dir_ << "\"\nServerName 127.0.0.1\n"
         << "Listen 127.0.0.1:" << port_ << "\n"
         << "PidFile " << dir_ << "/httpd.pid\nErrorLog " << dir_ << "/error.log\n"
         << "LogLevel " << options_.logLevel << "\nDefaultRuntimeDir " << dir_ << "/run\n"
         << loadModules({options_.mpm == "prefork" ? "mpm_prefork" : "mpm_event", "authz_core"})
         << "LoadModule quon_module " << options_.modulePath << "\n"
         << "StartServers " << children << "\nServerLimit " << children << "\n";
    if (options_.mpm == "prefork")
        conf << "MinSpareServers " << children << "\nMaxSpareServers " << children << "\n"
             << "MaxRequestWorkers " << children << "\n";
    else
        conf << "ThreadLimit " << threads << "\nThreadsPerChild " << threads << "\n"
             << "MinSpareThreads " << (children > 1 ? threads * children : 1)
             << "\nMaxSpareThreads " << threads * children << "\n"
             << "MaxRequestWorkers " << threads * children << "\n";
    conf
         << "Timeout 30\nKeepAlive On\nGracefulShutdownTimeout 5\n"
         << "DocumentRoot " << dir_ << "/htdocs\n"
         << "<Directory />\n  Require all granted\n</Directory>\n";
    if (geteuid() == 0) conf << "User " << kApacheUser << "\nGroup " << kApacheUser << "\n";
    std::string extra = replaceAll(options_.directives, "@DIR@", dir_);
    conf << replaceAll(extra, "@PORT@", std::to_string(port_)) << "\n";
    return conf.str();
}

// Apache logs that it resumed once its listeners are open and its configuration read.
testing::AssertionResult ApacheServer::start() {
    for (int attempt = 0; attempt < 3; ++attempt) {  // another port when this one is taken
        port_ = backend_test::freePort("127.0.0.1");
        std::string confPath = dir_ + "/httpd.conf";
        std::ofstream(confPath) << configText();
        int resumed = countLog(kResumed);
        pid_ = launch(confPath, "-DFOREGROUND", dir_ + "/stderr.log");
        bool exited = false;
        if (waitUntil(
                [&] {
                    exited = waitpid(pid_, nullptr, WNOHANG) == pid_;
                    return exited || countLog(kResumed) > resumed;
                },
                15s) &&
            !exited)
            return testing::AssertionSuccess();
        if (exited) pid_ = -1;  // reaped: nothing left to stop
        stop();
    }
    return testing::AssertionFailure() << "Apache did not start.\nstderr:\n"
                                       << readFile(dir_ + "/stderr.log") << "\nerror log:\n"
                                       << errorLog();
}

ConfigCheck ApacheServer::checkConfig(const std::string& directives) {
    options_.directives = directives;
    if (port_ == 0) port_ = backend_test::freePort("127.0.0.1");  // Listen needs one
    const std::string confPath = dir_ + "/check.conf", outPath = dir_ + "/check.log";
    std::ofstream(confPath) << configText();
    fs::remove(outPath);
    const pid_t checker = launch(confPath, "-t", outPath);
    int status = 0;
    if (checker < 0 ||
        !waitUntil([&] { return waitpid(checker, &status, WNOHANG) == checker; }, 15s)) {
        if (checker > 0) kill(checker, SIGKILL), waitpid(checker, nullptr, 0);
        return {-1, readFile(outPath)};
    }
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(outPath)};
}

bool ApacheServer::restartGracefully(const std::string& directives) {
    return restartWith(SIGUSR1, directives);
}

bool ApacheServer::restartWith(int signal, const std::string& directives) {
    options_.directives = directives;
    std::ofstream(dir_ + "/httpd.conf") << configText();
    int resumed = countLog(kResumed);
    return pid_ > 0 && kill(pid_, signal) == 0 &&
           waitUntil([&] { return countLog(kResumed) > resumed; }, 15s);
}

// An ungraceful stop (SIGTERM) makes the event MPM close every worker's connection from
// its main thread, which races with a worker closing the same connection and now and
// then crashes the child. A graceful stop lets each worker end its own connection. The
// parent looks for its ended children once a second; once they are gone, nothing is left
// to race with, and a SIGTERM ends it at once.
void ApacheServer::stop() {
    const auto reaped = [this](std::chrono::milliseconds limit) {
        return waitUntil([&] { return waitpid(pid_, nullptr, WNOHANG) != 0; }, limit);
    };
    // True once every child has exited (a child the parent has not reaped yet is a zombie).
    const auto childrenEnded = [this] {
        const std::string task = "/proc/" + std::to_string(pid_) + "/task/" + std::to_string(pid_);
        std::istringstream children(readFile(task + "/children"));
        for (std::string child; children >> child;) {
            const std::string stat = readFile("/proc/" + child + "/stat");
            const size_t end = stat.rfind(')');
            if (end != std::string::npos && stat.compare(end, 3, ") Z") != 0) return false;
        }
        return true;
    };
    if (pid_ <= 0) return;
    kill(pid_, SIGWINCH);
    if (waitUntil(childrenEnded, 10s)) kill(pid_, SIGTERM);
    if (!reaped(10s)) {
        kill(pid_, SIGTERM);
        if (!reaped(5s)) {
            kill(-pid_, SIGKILL);
            reaped(5s);
        }
    }
    pid_ = -1;
}

std::string ApacheServer::errorLog() const { return readFile(dir_ + "/error.log"); }

bool ApacheServer::waitForLog(const std::string& part, std::chrono::milliseconds limit) const {
    return waitUntil([&] { return errorLog().find(part) != std::string::npos; }, limit);
}

void ApacheServer::writeHosts(const std::string& lines) const {
    std::ofstream(dir_ + "/hosts", std::ios::trunc) << "127.0.0.1 localhost\n" << lines;
}

int ApacheServer::countLog(const std::string& part) const { return countLines(errorLog(), part); }
