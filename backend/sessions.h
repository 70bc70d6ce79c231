// Sessions of the built-in application. A session id is the server's 4-character
// replication id, 12 lowercase hex digits, and, when the server has buddies, "TR"
// followed by their 4-character ids: "SRV1" "00c0ffee0001" "TR" "SRV2SRV3".
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace quon_backend {

// The id as a client sent it back: up to the first ';', ',' or blank (a cookie header
// carries later cookies after it).
std::string_view sessionIdOf(std::string_view received);

// The 4-character form of a replication id: cut, or padded with '-'.
std::string replicationId4(std::string_view repId);

// The buddy ids a session id names after its first "TR".
std::vector<std::string> sessionBuddies(std::string_view id);

class SessionStore {
public:
    SessionStore();

    // A new session of this server, counted as its first hit.
    std::string create(std::string_view repId, const std::vector<std::string>& buddies);

    // Counts a hit of a known session and returns its count, or 0 when it is unknown.
    int64_t hit(std::string_view id);

    // Takes over a session that another server issued, as its buddy, and becomes its
    // holder: the session gets a new id of this server, made as create() makes one, and
    // the old id stays known as another name of it. Counted as a hit; returns the new id
    // and the count.
    std::pair<std::string, int64_t> adopt(std::string_view id, std::string_view repId,
                                          const std::vector<std::string>& buddies);

private:
    static constexpr size_t kMaxSessions = 100000;

    // A new id of this server; mutex_ held.
    std::string newId(std::string_view repId, const std::vector<std::string>& buddies);

    std::mutex mutex_;
    uint64_t next_;
    std::unordered_map<std::string, int64_t> hits_;
    // Ids that other servers issued, by the id this server gave each session it adopted.
    std::unordered_map<std::string, std::string> adopted_;
};

}  // namespace quon_backend
