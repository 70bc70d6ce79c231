// Test entry: APR and the process-wide lock pool exist in every test, as they do in
// a web-server child.
#include <gtest/gtest.h>

#include <apr_general.h>

#include "sync.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    apr_initialize();
    initQuonMutexPool();
    int result = RUN_ALL_TESTS();
    freeQuonMutexPool();
    apr_terminate();
    return result;
}
