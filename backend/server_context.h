// What every connection of the server shares, and the entry points that serve one
// connection of either port.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

namespace quon_backend {

class EventLog;
class SessionStore;
class SettingsStore;
class Connection;

// The server's stop signal, with waits that end early when it is given.
class Stopper {
public:
    void stop() {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        changed_.notify_all();
    }

    bool stopped() const {
        std::lock_guard lock(mutex_);
        return stopped_;
    }

    // Sleeps `ms` milliseconds; false when the server stopped first.
    bool sleepFor(int ms) {
        std::unique_lock lock(mutex_);
        return !changed_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopped_; });
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool stopped_ = false;
};

struct ServerContext {
    SettingsStore& settings;
    SessionStore& sessions;
    Stopper& stopper;
    EventLog& log;
    std::string quonAddress;  // the bound protocol address, host:port
    std::string httpAddress;  // the bound HTTP address, or empty
    std::string docRoot;
};

// How long a peer may take to answer a question in the middle of an exchange.
inline constexpr int kAnswerTimeoutMs = 60000;

// The protocols of the two ports, for an accepted socket: pings, props and request
// exchanges on the protocol port; HTTP/1.1 requests on the other.
std::unique_ptr<Connection> newQuonConnection(int fd, std::string tag, ServerContext& server);
std::unique_ptr<Connection> newHttpConnection(int fd, std::string tag, ServerContext& server);

}  // namespace quon_backend
