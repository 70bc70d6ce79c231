// A real Apache httpd 2.4 with the freshly built module, on a free 127.0.0.1 port, the
// event MPM and one child (or as many as asked); stopped with its children by process id.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <initializer_list>
#include <string>
#include <sys/types.h>

struct ApacheOptions {
    // Directives appended to the generated configuration; "@DIR@" and "@PORT@" stand for
    // the instance's folder and port.
    std::string directives;
    std::string modulePath;  // default: the module that users load
    // The whole main configuration instead of the generated one ("@DIR@" and "@PORT@" as
    // above), for a test that lays out its own configuration folder in dir().
    std::string config;
    // Child processes, each with 8 threads when 1, else with 4: StartServers and
    // ServerLimit, with spare-thread bounds that keep them all running (and start them
    // all again after a graceful restart).
    int children = 1;
    // The MPM: "event", or "prefork" (children processes of one thread each, all started).
    std::string mpm = "event";
    // Apache's LogLevel line of the generated configuration ("warn", "warn quon:debug").
    std::string logLevel = "warn";
    // Lines of a hosts file of Apache's own (after "127.0.0.1 localhost"): when set, Apache
    // (and `apache2 -t`) runs in a mount namespace where this file is /etc/hosts and names
    // are looked up in it alone, never asked of a name server. Needs root; see
    // privateHostsUnavailable.
    std::string hosts;
};

// Whether Apache can be given a hosts file of its own here (root, mount namespaces);
// the reason why not otherwise.
std::string privateHostsUnavailable();

// text with every from replaced by to.
std::string replaceAll(std::string text, const std::string& from, const std::string& to);

// What `apache2 -t` said of a configuration: its exit status (-1 when it did not end in
// time) and its output.
struct ConfigCheck {
    int status;
    std::string output;
};

class ApacheServer {
public:
    explicit ApacheServer(ApacheOptions options);
    ~ApacheServer();
    ApacheServer(const ApacheServer&) = delete;
    ApacheServer& operator=(const ApacheServer&) = delete;

    // Starts Apache and waits until it has resumed normal operations (its configuration
    // messages are written by then); a failure carries Apache's output and error log.
    testing::AssertionResult start();
    // Runs `apache2 -t` on the configuration with these directives instead, which it
    // reads as a start would, without starting.
    ConfigCheck checkConfig(const std::string& directives);
    // Restarts gracefully (SIGUSR1) with these directives; true once Apache has resumed.
    bool restartGracefully(const std::string& directives);
    // Restarts with signal (SIGHUP: apache2ctl restart, which stops the children at once).
    bool restartWith(int signal, const std::string& directives);
    // Stops Apache gracefully (SIGWINCH: no worker's connection is cut), then SIGTERM and
    // at last SIGKILL of its process group after grace periods.
    void stop();
    pid_t pid() const { return pid_; }

    int port() const { return port_; }
    std::string url(const std::string& path) const;
    const std::string& dir() const { return dir_; }
    std::string errorLog() const;
    // Waits until the error log holds part (bounded); returns whether it appeared.
    bool waitForLog(const std::string& part,
                    std::chrono::milliseconds limit = std::chrono::seconds(5)) const;
    int countLog(const std::string& part) const;
    // Rewrites the hosts file of the options in place, which Apache's namespace has
    // bind-mounted (a new file renamed over it would not be seen).
    void writeHosts(const std::string& lines) const;

private:
    std::string configText() const;
    // Runs apache2 -f conf arg in a process group of its own that ends with the test, in
    // the hosts file of the options (if any), its output appended to out.
    pid_t launch(const std::string& conf, const char* arg, const std::string& out) const;

    ApacheOptions options_;
    std::string dir_;
    int port_ = 0;
    pid_t pid_ = -1;
};

// The module that users load, and its test build with the probe handler.
std::string quonModulePath();
std::string quonProbeModulePath();

// LoadModule lines for modules that Apache ships, by short name ("ssl": mod_ssl.so).
std::string loadModules(std::initializer_list<const char*> names);

// Gives path to Apache's children, who run as www-data when the tests run as root.
void shareWithApacheUser(const std::string& path);
