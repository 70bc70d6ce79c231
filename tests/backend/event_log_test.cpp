// quon-backend's log with --log-times: every line starts with the time it was written.
#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>

#include "backend_process.h"

namespace {
using backend_test::BackendProcess;

long long epochMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

TEST(EventLog, LogTimesStampEveryLineAndTakeOnlyZeroOrOne) {
    BackendProcess server("127.0.0.2");
    const long long before = epochMs();
    ASSERT_TRUE(server.start({"--log-times", "1"}));
    ASSERT_TRUE(server.reload());
    const long long after = epochMs();
    std::istringstream lines(server.logText());
    int stamped = 0;
    for (std::string line; std::getline(lines, line); ++stamped) {
        size_t end = 0;
        const long long at = std::stoll(line, &end);
        EXPECT_TRUE(at >= before && at <= after && line[end] == ' ') << line;
    }
    EXPECT_GE(stamped, 3);  // listening, two loads of the settings
    EXPECT_EQ(server.stop(), 0);

    BackendProcess plain("127.0.0.2");
    ASSERT_TRUE(plain.start({"--log-times", "0"}));
    EXPECT_EQ(plain.logText().rfind("settings loaded (generation 1)\n", 0), 0u) << plain.logText();

    BackendProcess bad("127.0.0.2");
    EXPECT_FALSE(bad.start({"--log-times", "yes"}));
    EXPECT_EQ(bad.stop(), -1);
}
}  // namespace
