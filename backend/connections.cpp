#include "connections.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "event_log.h"
#include "settings.h"

namespace quon_backend {
namespace {

// A worker held up this long in one exchange no longer counts as available.
constexpr int64_t kHeldUpMs = 20;
constexpr int kMonitorPeriodMs = 10;
// Bound on workers, whatever the connection limit: each is one stuck exchange.
constexpr size_t kMaxWorkers = 1024;

// Log lines, after the connection's tag in brackets.
constexpr char kLogRefused[] = "[%s] refused: %zu connections already";
constexpr char kLogError[] = "[%s] error: %s, closing";
constexpr char kLogCloseIdle[] = "[%s] closing idle connection";
constexpr char kLogIdleTimeout[] = "[%s] idle time-out, closing";

}  // namespace

int64_t monotonicMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

Connection::~Connection() {
    if (fd_ >= 0) ::close(fd_);
}

ConnectionPool::ConnectionPool(size_t limit, EventLog& log, SettingsStore& settings)
    : limit_(limit), log_(log), settings_(settings) {}

bool ConnectionPool::open(std::string& error) {
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (epoll_ < 0 || wake_ < 0) {
        error = std::string("cannot create the epoll set: ") + std::strerror(errno);
        return false;
    }
    epoll_event event{};
    event.events = EPOLLIN;  // level-triggered: once written, it wakes every worker
    event.data.ptr = nullptr;
    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &event);
    const size_t base = std::max(2u, std::thread::hardware_concurrency());
    for (size_t i = 0; i < base; ++i) startWorker();
    monitor_ = std::thread([this] { monitor(); });
    return true;
}

void ConnectionPool::startWorker() {
    Worker& w = workers_.emplace_back();
    w.thread = std::thread([this, &w] { work(w); });
}

bool ConnectionPool::add(std::unique_ptr<Connection> connection) {
    std::lock_guard lock(mutex_);
    if (connections_.size() >= limit_ || stopping_) {
        log_.printf(kLogRefused, connection->tag().c_str(), connections_.size());
        return false;
    }
    Connection* c = connection.get();
    // The first worker to serve it locks this too, and so sees it fully built.
    std::lock_guard serving(c->serving_);
    c->idleSinceMs_ = monotonicMs();
    connections_.emplace(c, std::move(connection));
    epoll_event event{};
    event.events = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;
    event.data.ptr = c;
    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, c->fd(), &event);
    return true;
}

// Takes ready connections one at a time, so that a worker held up in an exchange holds
// up no other connection.
void ConnectionPool::work(Worker& self) {
    while (!stopping_) {
        epoll_event event{};
        const int n = ::epoll_wait(epoll_, &event, 1, 1000);
        if (n <= 0 || event.data.ptr == nullptr) continue;
        auto* c = static_cast<Connection*>(event.data.ptr);
        std::unique_lock serving(c->serving_);
        c->idle_ = false;
        self.busySinceMs = monotonicMs();
        bool keep = false;
        try {
            keep = !stopping_ && c->serve();
        } catch (const std::exception& e) {
            log_.printf(kLogError, c->tag().c_str(), e.what());
        } catch (...) {
            log_.printf(kLogError, c->tag().c_str(), "unknown exception");
        }
        self.busySinceMs = 0;
        // Re-armed under the serving lock, so the next worker's turn starts after this one.
        const bool rearmed = keep && rearm(c);
        serving.unlock();
        if (!rearmed) remove(c);
    }
}

// Puts a served connection back into the epoll set; false when that fails or the pool stops.
bool ConnectionPool::rearm(Connection* c) {
    if (stopping_) return false;
    c->idleSinceMs_ = monotonicMs();
    c->idle_ = true;
    epoll_event event{};
    event.events = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;
    event.data.ptr = c;
    return ::epoll_ctl(epoll_, EPOLL_CTL_MOD, c->fd(), &event) == 0;
}

// Closing the descriptor under the lock keeps shutdown() calls off a reused number.
void ConnectionPool::remove(Connection* c) {
    std::lock_guard lock(mutex_);
    connections_.erase(c);
}

void ConnectionPool::closeIdle() {
    std::lock_guard lock(mutex_);
    for (auto& [c, owned] : connections_) {
        if (!c->idle_) continue;
        log_.printf(kLogCloseIdle, c->tag().c_str());
        ::shutdown(c->fd(), SHUT_RDWR);
    }
}

void ConnectionPool::closeIdleFor(int64_t idleMs) {
    const int64_t now = monotonicMs();
    std::lock_guard lock(mutex_);
    for (auto& [c, owned] : connections_) {
        if (!c->idle_ || now - c->idleSinceMs_ < idleMs) continue;
        log_.printf(kLogIdleTimeout, c->tag().c_str());
        ::shutdown(c->fd(), SHUT_RDWR);
        c->idleSinceMs_ = now;  // logged once; the worker that sees the close ends it
    }
}

// Adds a worker when every worker is held up, and applies the idle time-out.
void ConnectionPool::monitor() {
    while (!stopping_) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kMonitorPeriodMs));
        const int64_t now = monotonicMs();
        bool allHeldUp = workers_.size() < kMaxWorkers;
        for (const Worker& w : workers_) {
            const int64_t since = w.busySinceMs.load();
            allHeldUp = allHeldUp && since != 0 && now - since >= kHeldUpMs;
        }
        if (allHeldUp && !stopping_) startWorker();
        const int32_t idleMs = settings_.current()->idleTimeoutMs;
        if (idleMs > 0) closeIdleFor(idleMs);
    }
}

void ConnectionPool::stop() {
    if (epoll_ < 0) return;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        for (auto& [c, owned] : connections_) ::shutdown(c->fd(), SHUT_RDWR);
    }
    const uint64_t one = 1;
    ssize_t ignored = ::write(wake_, &one, sizeof one);
    (void)ignored;
    if (monitor_.joinable()) monitor_.join();
    for (Worker& w : workers_) w.thread.join();
    workers_.clear();
    {
        std::lock_guard lock(mutex_);
        connections_.clear();
    }
    ::close(wake_);
    ::close(epoll_);
    epoll_ = wake_ = -1;
}

}  // namespace quon_backend
