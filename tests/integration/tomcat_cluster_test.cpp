// Two real Tomcats with the Quon connector, replicating their sessions (DeltaManager over
// static membership), behind a real Apache: balancing, sticky sessions with buddy ids,
// the buddy taking over a killed holder's session with its data, and a full Tomcat.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <atomic>
#include <set>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "tomcat_front.h"

namespace {
using backend_test::waitUntil;

class TomcatSessions : public testing::Test {
protected:
    static void SetUpTestSuite() {
        // maxConnections 4: a few idle connections fill a Tomcat. A jvmRoute each, which
        // the replication id overrules.
        front = new TomcatFront(2, "mapcheck=\"1\" maxConnections=\"4\"", /*replicate=*/true);
        for (int i = 0; i < 2; ++i)
            front->tomcats[i].options().engine = "jvmRoute=\"route" + std::to_string(i) + "\"";
        started = front->start();
    }
    static void TearDownTestSuite() {
        delete front;
        front = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(started) << started.message(); }

    // Both Tomcats answer (after a test that killed one, once it is back).
    static bool bothServe() {
        std::set<int> seen;
        return waitUntil(
            [&] {
                seen.insert(front->served(front->get("/app/echo")));
                return seen.count(0) && seen.count(1);
            },
            std::chrono::seconds(20));
    }

    static inline TomcatFront* front = nullptr;
    static inline testing::AssertionResult started = testing::AssertionFailure();
};

TEST_F(TomcatSessions, RequestsWithoutASessionGoRoundRobin) {
    std::vector<int> count(2, 0);
    for (int k = 0; k < 10; ++k) {
        const int i = front->served(front->get("/app/echo"));
        ASSERT_GE(i, 0);
        ++count[size_t(i)];
    }
    EXPECT_EQ(count, (std::vector<int>{5, 5}));
}

// A full Tomcat answers busy, and the module fails over to the other one: every request
// is served. Once the Tomcat has room again it takes requests again.
TEST_F(TomcatSessions, AFullTomcatAnswersBusyAndTheOtherServes) {
    ASSERT_TRUE(bothServe());
    std::vector<int> idle;
    for (int k = 0; k < 5; ++k)
        if (const int fd = connectTo(front->tomcats[0]); fd >= 0) idle.push_back(fd);
    ASSERT_EQ(idle.size(), 5u);
    // Once Tomcat has accepted them (round robin alone never sends two requests in a row
    // to one Tomcat), every request goes to the other one.
    EXPECT_TRUE(waitUntil([] {
        return front->served(front->get("/app/echo")) == 1 &&
               front->served(front->get("/app/echo")) == 1;
    }));
    for (int k = 0; k < 8; ++k) {
        HttpResponse r = front->get("/app/echo");
        EXPECT_EQ(r.status, 200) << r.body;
        EXPECT_EQ(front->served(r), 1);
    }
    for (int fd : idle) ::close(fd);
    EXPECT_TRUE(bothServe());
}

// An application redeployed in one Tomcat while requests keep coming: while it is away
// that Tomcat answers busy and the other serves; no client sees an error.
TEST_F(TomcatSessions, ARedeployUnderLoadLosesNoRequest) {
    ASSERT_TRUE(bothServe());
    const std::string finished = "app.war] has finished";
    const int deployed = front->tomcats[0].countLog(finished);
    std::atomic<bool> done{false};
    std::atomic<int> served{0}, failed{0};
    std::string failure;
    std::thread load([&] {
        while (!done) {
            HttpResponse r = front->get("/app/echo");
            if (r.status == 200) {
                ++served;
            } else if (failed++ == 0) {
                failure = std::to_string(r.status) + " " + r.body;
            }
        }
    });
    // A newer WAR in place of the old one: Tomcat undeploys the application and deploys it
    // again.
    front->tomcats[0].deploy("app", TomcatOptions::testWarPath());
    EXPECT_TRUE(waitUntil([&] { return front->tomcats[0].countLog(finished) > deployed; },
                          std::chrono::seconds(30)));
    EXPECT_TRUE(bothServe());
    done = true;
    load.join();
    EXPECT_EQ(failed, 0) << failure;
    EXPECT_GT(served, 20);
}

// The session id names its holder and its buddy; the module keeps it on its holder, and
// when the holder is killed the buddy goes on with the replicated session's data.
TEST_F(TomcatSessions, ASessionStaysOnItsHolderAndMovesToItsBuddyWithItsData) {
    ASSERT_TRUE(bothServe());
    HttpResponse first = front->get("/app/session");
    ASSERT_EQ(first.status, 200) << first.body;
    const int holder = front->served(first);
    ASSERT_GE(holder, 0);
    const int buddy = 1 - holder;
    const std::string id = keyValues(first.body)["id"];
    EXPECT_EQ(id.substr(0, 4), front->tomcats.repId(holder)) << id;
    EXPECT_TRUE(id.ends_with("TR" + front->tomcats.repId(buddy))) << id;
    EXPECT_EQ(front->tomcats[holder].countLog("is not appended to session ids"), 1);
    EXPECT_NE(first.header("Set-Cookie").find("JSESSIONID=" + id), std::string::npos);

    const std::string cookie = "Cookie: JSESSIONID=" + id;
    for (int k = 2; k <= 4; ++k) {
        HttpResponse r = front->get("/app/session", {cookie});
        EXPECT_EQ(front->served(r), holder);
        EXPECT_EQ(keyValues(r.body)["count"], std::to_string(k)) << r.body;
    }
    front->tomcats[holder].kill();
    HttpResponse moved = front->get("/app/session", {cookie});
    ASSERT_EQ(moved.status, 200) << moved.body << front->apache->errorLog();
    EXPECT_EQ(front->served(moved), buddy);
    EXPECT_EQ(keyValues(moved.body)["count"], "5") << moved.body;
    EXPECT_EQ(keyValues(moved.body)["created"], "false") << moved.body;
    HttpResponse again = front->get("/app/session", {cookie});
    EXPECT_EQ(front->served(again), buddy);
    EXPECT_EQ(keyValues(again.body)["count"], "6") << again.body;

    ASSERT_TRUE(front->tomcats[holder].start());
    EXPECT_TRUE(bothServe());
}

}  // namespace
