#include "connections.h"

#include <sys/socket.h>
#include <unistd.h>

#include "event_log.h"

namespace quon_backend {

bool ConnectionRegistry::start(int fd, std::string tag,
                               std::function<void(ConnectionSlot&)> serve) {
    reap();
    std::lock_guard lock(mutex_);
    if (slots_.size() >= limit_) {
        log_.printf("[%s] refused: %zu connections already", tag.c_str(), slots_.size());
        ::close(fd);
        return false;
    }
    auto slot = std::make_unique<ConnectionSlot>(fd, std::move(tag));
    ConnectionSlot& s = *slot;
    slots_.push_back(std::move(slot));
    s.thread_ = std::thread([this, &s, serve = std::move(serve)] {
        try {
            serve(s);
        } catch (const std::exception& e) {
            log_.printf("[%s] error: %s", s.tag().c_str(), e.what());
        } catch (...) {
            log_.printf("[%s] error: unknown exception", s.tag().c_str());
        }
        finish(s);
    });
    return true;
}

void ConnectionRegistry::finish(ConnectionSlot& slot) {
    std::lock_guard lock(mutex_);
    ::close(slot.fd_);
    slot.fd_ = -1;
    slot.done_ = true;
}

void ConnectionRegistry::reap() {
    std::list<std::unique_ptr<ConnectionSlot>> ended;
    {
        std::lock_guard lock(mutex_);
        for (auto it = slots_.begin(); it != slots_.end();) {
            auto here = it++;
            if ((*here)->done_) ended.splice(ended.end(), slots_, here);
        }
    }
    for (auto& slot : ended) slot->thread_.join();
}

void ConnectionRegistry::closeIdle() {
    std::lock_guard lock(mutex_);
    for (auto& slot : slots_) {
        if (slot->fd_ >= 0 && slot->idle_.load(std::memory_order_relaxed)) {
            log_.printf("[%s] closing idle connection", slot->tag_.c_str());
            ::shutdown(slot->fd_, SHUT_RDWR);
        }
    }
}

void ConnectionRegistry::shutdownAll() {
    std::list<std::unique_ptr<ConnectionSlot>> all;
    {
        std::lock_guard lock(mutex_);
        for (auto& slot : slots_)
            if (slot->fd_ >= 0) ::shutdown(slot->fd_, SHUT_RDWR);
        all.swap(slots_);
    }
    for (auto& slot : all) slot->thread_.join();
}

}  // namespace quon_backend
