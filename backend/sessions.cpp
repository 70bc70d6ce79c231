#include "sessions.h"

#include <cstdio>
#include <random>

namespace quon_backend {

std::string_view sessionIdOf(std::string_view received) {
    const size_t end = received.find_first_of("; ,\t");
    return received.substr(0, end);
}

std::string replicationId4(std::string_view repId) {
    std::string id(repId.substr(0, 4));
    id.resize(4, '-');
    return id;
}

std::vector<std::string> sessionBuddies(std::string_view id) {
    std::vector<std::string> buddies;
    const size_t tr = id.find("TR");
    if (tr == std::string_view::npos) return buddies;
    for (size_t at = tr + 2; at + 4 <= id.size(); at += 4) buddies.emplace_back(id.substr(at, 4));
    return buddies;
}

SessionStore::SessionStore() {
    // Ids from different runs should not collide, so the counter starts at random.
    std::random_device seed;
    next_ = (uint64_t{seed()} << 16) & 0xFFFFFFFF0000ull;
}

std::string SessionStore::newId(std::string_view repId, const std::vector<std::string>& buddies) {
    std::string id = replicationId4(repId);
    // Lowercase hex can never spell "TR", so the first "TR" opens the buddy list.
    char unique[16];
    std::snprintf(unique, sizeof unique, "%012llx",
                  static_cast<unsigned long long>(next_++ & 0xFFFFFFFFFFFFull));
    id.append(unique);
    if (!buddies.empty()) {
        id.append("TR");
        for (const std::string& b : buddies) id.append(b);
    }
    if (hits_.size() >= kMaxSessions) {
        hits_.clear();
        adopted_.clear();
    }
    return id;
}

std::string SessionStore::create(std::string_view repId, const std::vector<std::string>& buddies) {
    std::lock_guard lock(mutex_);
    std::string id = newId(repId, buddies);
    hits_[id] = 1;
    return id;
}

int64_t SessionStore::hit(std::string_view id) {
    std::lock_guard lock(mutex_);
    auto name = adopted_.find(std::string(id));
    auto it = hits_.find(name == adopted_.end() ? std::string(id) : name->second);
    return it == hits_.end() ? 0 : ++it->second;
}

std::pair<std::string, int64_t> SessionStore::adopt(std::string_view id, std::string_view repId,
                                                    const std::vector<std::string>& buddies) {
    std::lock_guard lock(mutex_);
    std::string mine = newId(repId, buddies);
    adopted_[std::string(id)] = mine;
    return {mine, hits_[mine] = 1};
}

}  // namespace quon_backend
