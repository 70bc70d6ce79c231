#include "apache_server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {
constexpr const char* kApacheBinary = "/usr/sbin/apache2";
constexpr const char* kModuleDir = "/usr/lib/apache2/modules";
constexpr const char* kApacheUser = "www-data";
constexpr const char* kResumed = "resuming normal operations";

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

bool acceptsConnections(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

// Polls done every 20 ms until it holds (true) or limit has passed (false).
template <typename Done>
bool waitUntil(std::chrono::milliseconds limit, Done done) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (; !done(); std::this_thread::sleep_for(std::chrono::milliseconds(20)))
        if (std::chrono::steady_clock::now() > deadline) return false;
    return true;
}

// Waits for the process to end, at most limit; true when it ended.
bool reap(pid_t pid, std::chrono::milliseconds limit) {
    return waitUntil(limit, [&] {
        pid_t done = waitpid(pid, nullptr, WNOHANG);
        return done == pid || (done < 0 && errno == ECHILD);
    });
}
}  // namespace

std::string quonModulePath() { return QUON_MODULE_PATH; }
std::string quonProbeModulePath() { return QUON_PROBE_MODULE_PATH; }

int freeLoopbackPort(const char* host) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = inet_addr(host);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

void shareWithApacheUser(const std::string& path) {
    if (geteuid() != 0) return;
    const passwd* user = getpwnam(kApacheUser);
    if (!user) return;
    if (chown(path.c_str(), user->pw_uid, user->pw_gid) != 0) return;
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
}

ApacheServer::~ApacheServer() {
    stop();
    if (!getenv("QUON_KEEP_TEST_DIRS")) fs::remove_all(dir_);
}

std::string ApacheServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::string ApacheServer::configText() const {
    std::ostringstream conf;
    int threads = options_.threadsPerChild;
    conf << "ServerRoot \"" << dir_ << "\"\n"
         << "ServerName 127.0.0.1\n"
         << "Listen 127.0.0.1:" << port_ << "\n"
         << "PidFile " << dir_ << "/httpd.pid\n"
         << "ErrorLog " << dir_ << "/error.log\n"
         << "LogLevel " << options_.logLevel << "\n"
         << "DefaultRuntimeDir " << dir_ << "/run\n"
         << "LoadModule mpm_event_module " << kModuleDir << "/mod_mpm_event.so\n"
         << "LoadModule authz_core_module " << kModuleDir << "/mod_authz_core.so\n"
         << "LoadModule quon_module " << options_.modulePath << "\n"
         << "StartServers 1\nServerLimit 1\n"
         << "ThreadLimit " << threads << "\nThreadsPerChild " << threads << "\n"
         << "MinSpareThreads 1\nMaxSpareThreads " << threads << "\n"
         << "MaxRequestWorkers " << threads << "\n"
         << "Timeout 30\nKeepAlive On\nGracefulShutdownTimeout 5\n"
         << "DocumentRoot " << dir_ << "/htdocs\n"
         << "<Directory />\n  Require all granted\n</Directory>\n";
    if (geteuid() == 0) conf << "User " << kApacheUser << "\nGroup " << kApacheUser << "\n";
    std::string extra = replaceAll(options_.directives, "@DIR@", dir_);
    conf << replaceAll(extra, "@PORT@", std::to_string(port_)) << "\n";
    return conf.str();
}

bool ApacheServer::start(std::string* why) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        port_ = freeLoopbackPort();
        std::string confPath = dir_ + "/httpd.conf";
        std::ofstream(confPath) << configText();
        pid_t pid = fork();
        if (pid == 0) {
            setpgid(0, 0);
            prctl(PR_SET_PDEATHSIG, SIGTERM);  // no Apache outlives a crashed test
            int out = open((dir_ + "/stderr.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            dup2(out, 1);
            dup2(out, 2);
            execl(kApacheBinary, kApacheBinary, "-f", confPath.c_str(), "-DFOREGROUND",
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        pid_ = pid;
        int resumed = countLog(kResumed);
        bool exited = false;  // then retry on another port, or fail
        if (waitUntil(std::chrono::seconds(15), [&] {
                exited = waitpid(pid_, nullptr, WNOHANG) == pid_;
                return exited || acceptsConnections(port_);
            }) && !exited && waitForResumed(resumed))
            return true;
        if (exited) pid_ = -1;  // reaped: nothing left to stop
        stop();
    }
    if (why)
        *why = "Apache did not start.\nstderr:\n" + readFile(dir_ + "/stderr.log") +
               "\nerror log:\n" + errorLog();
    return false;
}

bool ApacheServer::waitForResumed(int before) const {
    return waitUntil(std::chrono::seconds(15), [&] { return countLog(kResumed) > before; });
}

bool ApacheServer::restartGracefully(const std::string& directives) {
    options_.directives = directives;
    std::ofstream(dir_ + "/httpd.conf") << configText();
    int resumed = countLog(kResumed);
    return pid_ > 0 && kill(pid_, SIGUSR1) == 0 && waitForResumed(resumed);
}

// An ungraceful stop (SIGTERM) makes the event MPM close every worker's connection from
// its main thread, which races with a worker closing the same connection and now and
// then crashes the child. A graceful stop lets each worker end its own connection.
void ApacheServer::stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGWINCH);
    if (!reap(pid_, std::chrono::seconds(10))) {
        kill(pid_, SIGTERM);
        if (!reap(pid_, std::chrono::seconds(5))) {
            kill(-pid_, SIGKILL);
            reap(pid_, std::chrono::seconds(5));
        }
    }
    pid_ = -1;
}

std::string ApacheServer::errorLog() const { return readFile(dir_ + "/error.log"); }

bool ApacheServer::waitForLog(const std::string& part, std::chrono::milliseconds limit) const {
    return waitUntil(limit, [&] { return errorLog().find(part) != std::string::npos; });
}

int ApacheServer::countLog(const std::string& part) const {
    std::istringstream lines(errorLog());
    int count = 0;
    for (std::string line; std::getline(lines, line);)
        if (line.find(part) != std::string::npos) ++count;
    return count;
}
