// A real Apache httpd 2.4 for integration tests: started from a generated configuration
// that loads the freshly built module, on a free 127.0.0.1 port, with the event MPM
// and several worker threads; stopped with its children by process id.
#pragma once

#include <chrono>
#include <string>
#include <sys/types.h>

struct ApacheOptions {
    // Directives appended to the generated configuration (QuonConfig lines, virtual
    // hosts, locations...). "@DIR@" and "@PORT@" are replaced by the instance's folder
    // and port.
    std::string directives;
    // Module to load; defaults to the module that users load.
    std::string modulePath;
    int threadsPerChild = 8;
    // Apache's own LogLevel; notice lines of the connector are written at any level.
    std::string logLevel = "warn";
};

class ApacheServer {
public:
    explicit ApacheServer(ApacheOptions options);
    ~ApacheServer();
    ApacheServer(const ApacheServer&) = delete;
    ApacheServer& operator=(const ApacheServer&) = delete;

    // Writes the configuration, starts Apache and waits until it accepts connections and
    // has logged that it resumed normal operations (its configuration messages are written
    // by then). On failure returns false with the reason (and the error log) in *why.
    bool start(std::string* why);
    // Writes the configuration with these directives and restarts gracefully (SIGUSR1);
    // true once Apache has resumed with it.
    bool restartGracefully(const std::string& directives);
    // Stops Apache gracefully (SIGWINCH: no worker's connection is cut), then SIGTERM and
    // at last SIGKILL of its process group after grace periods.
    void stop();
    bool running() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

    int port() const { return port_; }
    std::string url(const std::string& path) const;
    const std::string& dir() const { return dir_; }
    std::string errorLog() const;
    // Waits until the error log holds part (bounded); returns whether it appeared.
    bool waitForLog(const std::string& part,
                    std::chrono::milliseconds limit = std::chrono::seconds(5)) const;
    // Number of error-log lines that contain part.
    int countLog(const std::string& part) const;

private:
    std::string configText() const;
    bool waitForResumed(int before) const;

    ApacheOptions options_;
    std::string dir_;
    int port_ = 0;
    pid_t pid_ = -1;
};

// The module that users load, and its test build with the probe handler.
std::string quonModulePath();
std::string quonProbeModulePath();

// A free TCP port on the given loopback address (bound and released at once).
int freeLoopbackPort(const char* host = "127.0.0.1");

// Makes path (a file or folder) readable, and for folders writable, by Apache's
// children, which run as www-data when the tests run as root.
void shareWithApacheUser(const std::string& path);
