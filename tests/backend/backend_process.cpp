#include "backend_process.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>

extern char** environ;

namespace backend_test {

std::string readFile(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (; !done(); std::this_thread::sleep_for(std::chrono::milliseconds(5)))
        if (std::chrono::steady_clock::now() > deadline) return false;
    return true;
}

int countLines(const std::string& text, const std::string& part) {
    std::istringstream lines(text);
    int count = 0;
    for (std::string line; std::getline(lines, line);)
        count += line.find(part) != std::string::npos;
    return count;
}

int runCommand(const std::string& command, std::string& output) {
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return -1;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
    const int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

BackendProcess::BackendProcess(std::string host, std::string binary)
    : host_(std::move(host)), binary_(binary.empty() ? QUON_BACKEND_PATH : std::move(binary)) {
    char pattern[] = "/tmp/quon-backend-test-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    dir_ = made ? made : "/tmp";
}

BackendProcess::~BackendProcess() {
    // Every test's server must also stop cleanly and without a sanitizer report.
    if (running()) {
        EXPECT_EQ(stop(), 0) << readFile(path("stderr"));
    }
    const std::string errors = readFile(path("stderr"));
    EXPECT_EQ(errors.find("Sanitizer"), std::string::npos) << errors;
    EXPECT_EQ(errors.find("runtime error"), std::string::npos) << errors;
    std::error_code ignored;
    if (dir_ != "/tmp") std::filesystem::remove_all(dir_, ignored);
}

std::string BackendProcess::writeFile(const std::string& name, const std::string& text) const {
    std::ofstream(path(name) + ".new", std::ios::binary) << text;
    std::filesystem::rename(path(name) + ".new", path(name));
    return path(name);
}

bool BackendProcess::start(const std::vector<std::string>& options) {
    // setpriv execs the server in its own place (same pid) after asking the kernel to end it
    // with the test: no server outlives a crashed test.
    std::vector<std::string> args = {
        "/usr/bin/setpriv",  "--pdeathsig",  "TERM",       "--",         binary_,
        "--listen",          host_ + ":0",   "--http",     host_ + ":0", "--log",
        path("backend.log"), "--ready-file", path("ready")};
    args.insert(args.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 1, path("stdout").c_str(), O_WRONLY | O_CREAT, 0644);
    posix_spawn_file_actions_addopen(&files, 2, path("stderr").c_str(), O_WRONLY | O_CREAT, 0644);
    if (posix_spawn(&pid_, argv[0], &files, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&files);
    // Up when the ready file names its pid; down when it has exited already.
    const auto value = [&](const std::string& key) {
        std::istringstream lines(readFile(path("ready")));
        for (std::string line; std::getline(lines, line);)
            if (line.starts_with(key + "=")) return line.substr(key.size() + 1);
        return std::string();
    };
    const bool up = running() && waitUntil([&] {
                        if (::waitpid(pid_, nullptr, WNOHANG) == pid_) pid_ = -1;
                        return !running() || !value("pid").empty();
                    });
    quon_ = value("quon");
    return up && running();
}

bool BackendProcess::reload() {
    if (!running() || ::kill(pid_, SIGHUP) != 0) return false;
    return waitForLog("settings loaded (generation " + std::to_string(++generation_) + ")");
}

int BackendProcess::stop() {
    if (!running()) return -1;
    ::kill(pid_, SIGTERM);
    int status = 0;
    const bool exited = waitUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; });
    if (!exited) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
    }
    pid_ = -1;
    return exited && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string BackendProcess::logText() const { return readFile(path("backend.log")); }

bool BackendProcess::waitForLog(const std::string& text) const {
    return waitUntil([&] { return logText().find(text) != std::string::npos; });
}

}  // namespace backend_test
