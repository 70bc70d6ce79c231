// Runs the real quon-backend for a test: in a temporary directory of its own, on a
// loopback address and free ports, and stops it by its PID.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace backend_test {

// Generous for sanitizer builds; every wait in the tests is bounded by it.
inline constexpr std::chrono::milliseconds kWait{10000};

class BackendProcess {
public:
    // host: a 127.x.y.z address; files are written into the directory before the start.
    // binary: the quon-backend to run, the one built with the tests when empty.
    explicit BackendProcess(std::string host = "127.0.0.2", std::string binary = "");
    ~BackendProcess();
    BackendProcess(const BackendProcess&) = delete;
    BackendProcess& operator=(const BackendProcess&) = delete;

    // Path of a file of the test's directory, written with `text`.
    std::string writeFile(const std::string& name, const std::string& text) const;
    std::string path(const std::string& name) const { return dir_ + "/" + name; }

    // Starts the server with the given options besides --listen, --http, --log and
    // --ready-file; false when it did not come up.
    bool start(const std::vector<std::string>& options = {});
    // Sends SIGHUP and waits until the server has loaded the settings again.
    bool reload();
    // SIGTERM, then waits for the exit; the exit status, or -1 if it had to be killed.
    int stop();
    bool running() const { return pid_ > 0; }

    const std::string& quonAddress() const { return quon_; }
    pid_t pid() const { return pid_; }

    std::string logText() const;
    // Waits until the log holds `text`; false after kWait.
    bool waitForLog(const std::string& text) const;

private:
    std::string host_, binary_, dir_, quon_;
    pid_t pid_ = -1;
    int generation_ = 1;
};

std::string readFile(const std::string& path);
// Polls `done` every few milliseconds until it holds (true) or `limit` has passed (false).
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = kWait);
int countLines(const std::string& text, const std::string& part);
// Runs a shell command line; its exit status (-1 when it did not exit), with what it wrote
// on stdout in output.
int runCommand(const std::string& command, std::string& output);

}  // namespace backend_test
