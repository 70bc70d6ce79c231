// The one lock type of the connector: an APR thread mutex (non-recursive) and a flag
// that tells whether some thread holds it, used to detect a mutex that failed to exclude.
#pragma once

#include <cstdint>

struct apr_thread_mutex_t;

extern "C" {

struct syncLock {
    apr_thread_mutex_t* mutex;
    int32_t held;
};

}  // extern "C"
