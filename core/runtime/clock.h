// The clocks the connector reads, in one place: the monotonic clock (the same in every
// process of the machine, so records in shared memory may hold its times) in milliseconds
// and nanoseconds, and the wall clock in milliseconds since the epoch.
#pragma once

#include <chrono>
#include <cstdint>

inline int64_t qnMonoMillis() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

inline int64_t qnMonoNanos() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

inline int64_t qnWallMillis() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}
