// The server's stop signal, with waits that end early when it is given.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace quon_backend {

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

}  // namespace quon_backend
