// One health check against scripted peers: what it sends, byte for byte, and what each
// kind of answer, silence or refusal makes of it. The check never blocks: the test drives
// it by poll, as the checker does, and plays the peer in between.
#include <gtest/gtest.h>

#include <poll.h>

#include "check.h"
#include "health.h"
#include "proxy_helpers.h"

namespace {
// Polls and steps the check until it is done or limitMs pass; whether it is done.
bool drive(qnCheck& check, int limitMs) {
    const int64_t until = qnMonoMillis() + limitMs;
    for (;;) {
        pollfd fd{qnCheckSocket(check), qnCheckEvents(check), 0};
        if (fd.fd < 0) return true;
        poll(&fd, 1, 5);
        if (qnCheckStep(check, fd.revents, qnMonoMillis())) return true;
        if (qnMonoMillis() >= until) return false;
    }
}

bool start(qnCheck& check, const sockaddr_in& at, int timeoutMs = QN_CHECK_TIMEOUT_MS) {
    const qnAddress address = addressOf(at);
    return qnCheckStart(check, &address, 1, qnMonoMillis(), timeoutMs);
}

const std::string kSent = be32(PROXY_PING) + message(PROXY_GET_PROPS, wireString("server-props"));

struct Row {
    const char* what;
    std::string answer;
    bool close;       // the peer closes after its answer
    bool byteByByte;  // the answer comes one byte at a time
    int error;
};

class CheckAnswers : public ::testing::TestWithParam<Row> {};

TEST_P(CheckAnswers, DecideTheCheck) {
    const Row& row = GetParam();
    LoopbackPeer peer;
    qnCheck check;
    ASSERT_TRUE(start(check, peer.address(), 1000));
    ASSERT_FALSE(drive(check, 50));  // connected and sent: it waits for the answer
    ASSERT_TRUE(peer.accept());
    EXPECT_EQ(peer.receive(kSent.size()), kSent);
    for (size_t at = 0; row.byteByByte && at < row.answer.size(); ++at) {
        ASSERT_TRUE(peer.send(row.answer.substr(at, 1)));
        drive(check, 5);
    }
    if (!row.byteByByte) {
        ASSERT_TRUE(peer.send(row.answer));
    }
    if (row.close) peer.close();
    EXPECT_TRUE(drive(check, 2000));
    EXPECT_EQ(check.error, row.error) << qnCheckReason(check.error);
    EXPECT_EQ(qnCheckSocket(check), -1);
}

const std::string kProps = message(PROXY_PUT_PROPS, wireString("rep_id=SRV1\nweight=3\n"));

INSTANTIATE_TEST_SUITE_P(
    Check, CheckAnswers,
    ::testing::Values(Row{"finish", message(PROXY_FINISH), false, false, 0},
                      Row{"props, sequence and finish in pieces",
                          kProps + message(PROXY_PUT_CLUSTER_SEQ, be32(7)) + message(PROXY_FINISH),
                          false, true, 0},
                      Row{"busy", message(PROXY_BUSY), false, false, 0},
                      Row{"an unknown code", message(99), false, false, QN_CHECK_PROTOCOL},
                      Row{"a request's command", message(PROXY_PUT_STATUS, be32(200)), false, false,
                          QN_CHECK_PROTOCOL},
                      Row{"a negative length", message(PROXY_PUT_PROPS, be32(-5)), false, false,
                          QN_CHECK_PROTOCOL},
                      Row{"a length past the bound",
                          message(PROXY_PUT_PROPS, be32(QN_CHECK_MAX_TEXT + 1)), false, false,
                          QN_CHECK_PROTOCOL},
                      Row{"the longest text announced, then silence",
                          message(PROXY_PUT_PROPS, be32(QN_CHECK_MAX_TEXT)), false, false,
                          EQUON_RESPONSE_TIMEOUT},
                      Row{"closed within the text", message(PROXY_PUT_PROPS, be32(10)) + "abc",
                          true, false, ECONNRESET},
                      Row{"closed after a whole command", kProps, true, false, ECONNRESET},
                      Row{"silence", "", false, false, EQUON_RESPONSE_TIMEOUT}),
    [](const auto& info) { return testName(info.param.what); });

// Commands that never end in a finish are cut off once the answer passes its bound.
TEST(Check, AnAnswerWithoutEndIsCutAtItsBound) {
    std::string numbers;
    for (int k = 0; k < 1024; ++k) numbers += message(PROXY_PUT_CLUSTER_SEQ, be32(7));
    const auto* bytes = reinterpret_cast<const unsigned char*>(numbers.data());
    qnCheck check;
    int64_t fed = 0;
    for (; fed <= QN_CHECK_MAX_ANSWER; fed += int64_t(numbers.size()))
        if (qnCheckFeed(check, bytes, numbers.size())) break;
    EXPECT_EQ(fed, QN_CHECK_MAX_ANSWER);
    EXPECT_EQ(check.error, QN_CHECK_PROTOCOL);
}

// The application check: the ping, then a GET of the path (its query apart) with the
// check's User-Agent, byte for byte; the status of the answer decides.
struct AppRow {
    const char* what;
    std::string answer;
    int error;
};

class AppCheckAnswers : public ::testing::TestWithParam<AppRow> {};

std::string item(int32_t code, const std::string& text) { return be32(code) + wireString(text); }

TEST_P(AppCheckAnswers, DecideByTheStatus) {
    std::string items = item(SERVICE_QUERY_STRING, "deep=1") + item(SERVICE_REQUEST_METHOD, "GET");
    for (int32_t code : {SERVICE_SCRIPT_NAME, SERVICE_PATH_INFO, SERVICE_REMOTE_HOST,
                         SERVICE_REMOTE_ADDR, SERVICE_SERVER_NAME, SERVICE_SERVER_PORT})
        items += item(code, "");
    items += item(SERVICE_SERVER_PROTOCOL, "HTTP/1.1");
    for (int32_t code : {SERVICE_PATH_TRANSLATED, SERVICE_SERVER_PORT_SECURE, SERVICE_REMOTE_USER,
                         SERVICE_AUTH_TYPE})
        items += item(code, "");
    items += item(SERVICE_URI, "/app/health") + item(SERVICE_HEADER, "User-Agent") +
             wireString("mod_quon22-health-check") + be32(SERVICE_END);
    const std::string sent =
        be32(PROXY_PING) + be32(PROXY_SERVICE_40) + be32(int32_t(items.size())) + items;
    LoopbackPeer peer;
    qnCheck check;
    const qnAddress address = addressOf(peer.address());
    ASSERT_TRUE(qnCheckStart(check, &address, 1, qnMonoMillis(), 1000, "/app/health?deep=1"));
    ASSERT_FALSE(drive(check, 50));
    ASSERT_TRUE(peer.accept());
    EXPECT_EQ(peer.receive(sent.size()), sent);
    ASSERT_TRUE(peer.send(GetParam().answer));
    EXPECT_TRUE(drive(check, 2000));
    EXPECT_EQ(check.error, GetParam().error) << qnCheckReason(check.error);
}

std::string status(int32_t code) { return message(PROXY_PUT_STATUS, be32(code) + wireString("R")); }
const std::string kFinish = message(PROXY_FINISH);

INSTANTIATE_TEST_SUITE_P(
    Check, AppCheckAnswers,
    ::testing::Values(
        AppRow{"200 with headers, body and load",
               status(200) + message(PROXY_PUT_HEADER, wireString("A: b\r\n")) +
                   message(PROXY_PUT_HEADER_VALUE, wireString("C") + wireString("d")) +
                   message(PROXY_SET_ATTRIBUTE, wireString("e") + wireString("f")) +
                   message(PROXY_PUT_CLIENT, wireString("ok")) +
                   message(PROXY_PUT_LOAD_VALUE, be32(4)) + kFinish,
               0},
        AppRow{"302", status(302) + kFinish, 0},
        AppRow{"500", status(500) + message(PROXY_PUT_CLIENT, wireString("x")) + kFinish,
               QN_CHECK_APP_STATUS + 500},
        AppRow{"199", status(199) + kFinish, QN_CHECK_APP_STATUS + 199},
        AppRow{"400", status(400) + kFinish, QN_CHECK_APP_STATUS + 400},
        AppRow{"no status", kFinish, QN_CHECK_APP_STATUS},
        AppRow{"a question for a header",
               status(200) + message(PROXY_GET_HEADER, wireString("Host")), QN_CHECK_PROTOCOL},
        AppRow{"200 and then silence", status(200), EQUON_RESPONSE_TIMEOUT}),
    [](const auto& info) { return testName(info.param.what); });

TEST(Check, AnApplicationAnswerReadsForPeople) {
    EXPECT_STREQ(qnCheckReason(QN_CHECK_APP_STATUS + 500), "the application answered 500");
    EXPECT_STREQ(qnCheckReason(QN_CHECK_APP_STATUS), "the application answered no status");
}

TEST(Check, ARefusedConnectIsNoAnswer) {
    RefusingPort nobody;
    qnCheck check;
    if (start(check, nobody.address())) {
        EXPECT_TRUE(drive(check, 1000));
    }
    EXPECT_EQ(check.error, ECONNREFUSED);
}

// A connect that never completes ends with the check's time-out, and the next address of
// a server with several is tried within it.
TEST(Check, AConnectThatHangsTimesOutAndTheNextAddressIsTried) {
    FullBacklogListener hole;
    ASSERT_TRUE(hole.full());
    qnCheck check;
    const int64_t began = qnMonoMillis();
    ASSERT_TRUE(start(check, hole.address(), 300));
    EXPECT_TRUE(drive(check, 2000));
    EXPECT_EQ(check.error, ETIMEDOUT);
    EXPECT_GE(qnMonoMillis() - began, 250);

    LoopbackPeer peer;
    const qnAddress both[] = {addressOf(hole.address()), addressOf(peer.address())};
    ASSERT_TRUE(qnCheckStart(check, both, 2, qnMonoMillis(), 500));
    drive(check, 400);
    ASSERT_TRUE(peer.accept());
    EXPECT_EQ(peer.receive(kSent.size()), kSent);
}
}  // namespace
