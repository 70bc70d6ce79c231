// Test entry: APR and the process-wide lock pool exist in every test, as they do in
// a web-server child.
#include <gtest/gtest.h>

#include <apr_general.h>

#include "sync.h"

namespace {
class ConnectorProcess : public ::testing::Environment {
public:
    void SetUp() override {
        apr_initialize();
        initQuonMutexPool();
    }
    void TearDown() override {
        freeQuonMutexPool();
        apr_terminate();
    }
};
}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new ConnectorProcess);
    return RUN_ALL_TESTS();
}
