// The two boundaries a front-end server holds, tried as an attacker would through a real
// Apache: a client cannot speak for Apache, and a back end cannot frame the client's
// connection, reach another client, or take memory without bound.
#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <sys/stat.h>
#include <thread>

#include "quon_cluster.h"

namespace {
using namespace std::chrono_literals;
using backend_test::waitUntil;

constexpr const char* kProtocolPage = "Quon Connector Protocol Error";

std::string get(const std::string& path, const char* more = "") {
    return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + more + "\r\n";
}

class OneServer : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        cluster = std::make_unique<QuonCluster>(1);
        const testing::AssertionResult started =
            cluster->start(loadModules({"auth_basic", "authn_core", "authn_file", "authz_user",
                                        "http2", "setenvif"}) +
                           "Protocols h2c http/1.1\n"
                           "SetEnvIf Remote_Addr \"^10\\.\" TRUSTED_NET=1\n"
                           "SetEnvIf Remote_Addr \"^127\\.\" LOCAL_NET=1\n"
                           "QuonConfig maxpropssize 1000000\n"
                           "<Location /app/private>\n  AuthType Basic\n  AuthName quon\n"
                           "  AuthUserFile @DIR@/users\n  Require valid-user\n</Location>\n");
        if (!started) cluster.reset();
        ASSERT_TRUE(started);
        const std::string users = cluster->apache().dir() + "/users";
        ASSERT_EQ(system(("htpasswd -cbB " + users + " alice secret >/dev/null 2>&1").c_str()), 0);
        shareWithApacheUser(users);
    }
    static void TearDownTestSuite() { cluster.reset(); }
    void SetUp() override { ASSERT_TRUE(cluster); }
    void TearDown() override { EXPECT_EQ(cluster->apache().countLog("exit signal"), 0); }

    static HttpResponse fetch(const std::string& path, std::vector<std::string> headers = {}) {
        return cluster->get(path, headers);
    }
    static std::unique_ptr<QuonCluster> cluster;
};
std::unique_ptr<QuonCluster> OneServer::cluster;

// A name in variable form (an underscore, or one of Apache's single words such as HTTPS)
// is Apache's alone: the request's environment, the CGI and TLS variables, never a
// header; a header is reached by its own name in any case, or as HTTP_<NAME>. Rows: the request's
// headers, the names asked, what each must give ("" none, "!x" anything but x).
struct VariableRow {
    const char* name;
    std::vector<std::string> headers;
    std::vector<std::pair<std::string, std::string>> answers;
    std::string body = "";  // sent with POST, as text/plain
};
void PrintTo(const VariableRow& row, std::ostream* out) { *out << row.name; }
class Variables : public OneServer, public ::testing::WithParamInterface<VariableRow> {};

const std::string kLongTls = "SSL_CLIENT_S_DN_" + std::string(60, 'X');  // 76 characters
// clang-format off
const VariableRow kVariableRows[] = {
    {"ApachesOwn",
     {"REMOTE_USER: admin", "AUTH_TYPE: Basic", "REMOTE_HOST: x", "HTTPS: on",
      "SSL_CLIENT_S_DN: CN=admin", "SSL-Client-S-DN: CN=x"},
     {{"HTTPS", ""}, {"SSL_CLIENT_S_DN", ""}, {"SSL-Client-S-DN", ""}, {"REMOTE_USER", ""},
      {"Remote-User", ""}, {"REMOTE_HOST", "127.0.0.1"}}},
    {"ForgedBodyFacts",
     {"CONTENT_LENGTH: 99999", "CONTENT_TYPE: evil/forged"},
     {{"CONTENT_LENGTH", "5"}, {"CONTENT_TYPE", "text/plain"}, {"Content-Length", "5"}},
     "hello"},
    {"SetOnlyForAnotherNetwork", {"TRUSTED_NET: 1", "LOCAL_NET: 0"},
     {{"TRUSTED_NET", ""}, {"LOCAL_NET", "1"}}},
    {"AuthenticationModules",
     {"AUTHENTICATE_UID: admin", "OIDC_CLAIM_email: admin@x", "MELLON_NAME_ID: admin",
      "Shib-Session-ID: forged", "Shib-Identity-Provider: forged", "GSS_NAME: admin",
      "KRB5CCNAME: /tmp/x", "CERT_SUBJECT: CN=admin", "LOGON_USER: admin",
      "UNMAPPED_REMOTE_USER: admin"},
     {{"AUTHENTICATE_UID", ""}, {"OIDC_CLAIM_email", ""}, {"MELLON_NAME_ID", ""},
      {"Shib-Session-ID", ""}, {"Shib-Identity-Provider", ""}, {"GSS_NAME", ""},
      {"KRB5CCNAME", ""}, {"CERT_SUBJECT", ""}, {"LOGON_USER", ""},
      {"UNMAPPED_REMOTE_USER", ""}}},
    {"ProcessEnvironment", {"PATH: /forged"}, {{"PATH", "!/forged"}, {"Path", "!/forged"}}},
    // Alone: a name asked after it could make Apache's environment, which holds the real one.
    {"ForgedHttpVariable", {"HTTP_USER_AGENT: forged", "User-Agent: real"},
     {{"HTTP_USER_AGENT", "real"}}},
    {"LongName", {kLongTls + ": forged"}, {{kLongTls, ""}}},
    // Capitals: a header's name in any case is the client's header; a name with an
    // underscore or one of Apache's single words stays Apache's.
    {"HeaderNamesInCapitals",
     {"HOST: forged.example", "Accept: text/x-quon", "COOKIE: a=1", "X-Forwarded-For: 10.9.8.7",
      "REMOTE_USER: admin", "CONTENT_LENGTH: 99999", "HTTPS: on", "SSL_CLIENT_S_DN: CN=admin"},
     {{"HOST", "forged.example"}, {"Accept", "text/x-quon"}, {"ACCEPT", "text/x-quon"},
      {"COOKIE", "a=1"}, {"X-Forwarded-For", "10.9.8.7"}, {"X-FORWARDED-FOR", "10.9.8.7"},
      {"REMOTE_USER", ""}, {"CONTENT_LENGTH", "5"}, {"HTTPS", ""}, {"Https", ""},
      {"SSL_CLIENT_S_DN", ""}},
     "hello"},
    {"HeadersByTheirNames",
     {"X-Custom: yes", "X_Under: no"},
     {{"X-Custom", "yes"}, {"x-custom", "yes"}, {"HTTP_X_CUSTOM", "yes"}, {"X_CUSTOM", ""},
      {"X_Under", ""}, {"HTTP_X_UNDER", ""}}},
};
// clang-format on

TEST_P(Variables, AreApachesAndHeadersAreTheClients) {
    const VariableRow& row = GetParam();
    std::string names;
    for (const auto& [name, expected] : row.answers) names += (names.empty() ? "" : ",") + name;
    std::vector<std::string> headers = row.headers;
    if (!row.body.empty()) headers.push_back("Content-Type: text/plain");
    HttpResponse r = httpRequest({.url = cluster->url("/app/echo?get=" + names),
                                  .method = row.body.empty() ? "GET" : "POST",
                                  .headers = headers,
                                  .body = row.body});
    ASSERT_EQ(r.status, 200) << r.body;
    auto echo = keyValues(r.body, ": ");
    for (const auto& [name, expected] : row.answers) {
        if (expected.starts_with("!"))
            EXPECT_NE(echo["get." + name], expected.substr(1)) << name;
        else
            EXPECT_EQ(echo["get." + name], expected) << name;
    }
    // The message's own variables are Apache's too.
    EXPECT_EQ(echo["cgi.REMOTE_USER"], "");
    EXPECT_EQ(echo["cgi.AUTH_TYPE"], "");
    EXPECT_EQ(echo["cgi.REMOTE_HOST"], "127.0.0.1");
}
INSTANTIATE_TEST_SUITE_P(Client, Variables, ::testing::ValuesIn(kVariableRows),
                         [](const auto& info) { return std::string(info.param.name); });

// Real authentication still names its user; a header cannot.
TEST_F(OneServer, AuthenticationNamesItsUser) {
    HttpResponse r = fetch("/app/private/echo", {"Authorization: Basic YWxpY2U6c2VjcmV0"});
    auto authenticated = keyValues(r.body, ": ");
    EXPECT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(authenticated["cgi.REMOTE_USER"], "alice");
    EXPECT_EQ(authenticated["cgi.AUTH_TYPE"], "Basic");
    EXPECT_EQ(fetch("/app/private/echo", {"REMOTE_USER: alice"}).status, 401);
}

// A second, pipelined request must get its own answer whatever framing the first answer's
// server claimed; the connection's framing is Apache's alone.
struct FramingRow {
    const char* name;
    std::string query;  // of /app/raw
    std::string firstBody;
    bool secondServed;  // false: the first answer was cut or refused, the connection closed
    int firstStatus = 200;
};
void PrintTo(const FramingRow& row, std::ostream* out) { *out << row.name; }
class Framing : public OneServer, public ::testing::WithParamInterface<FramingRow> {};

constexpr const char* kForged = "HTTP/1.1%20200%20OK%0D%0AContent-Length:%206%0D%0A%0D%0Aforged";
const FramingRow kFramingRows[] = {
    {"LengthEndsInTheSecondPiece", std::string("h=Content-Length:5&b=123&b=456") + kForged, "12345",
     true},
    {"ChunkedClaimed", std::string("h=Transfer-Encoding:chunked&b=0%0D%0A%0D%0A") + kForged,
     "0\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nforged", true},
    // Short of its length before anything went out: the client gets Apache's 502 instead.
    {"LengthOneMoreThanBody", "h=Content-Length:6&b=short", "", false, 502},
    // Short of its length after the body began to go out: the answer is cut.
    {"LengthLongerThanALongBody", "h=Content-Length:100000&bn=20000", std::string(20000, 'x'),
     false},
    {"ConnectionHeaders",
     "h=Connection:close,%20X-Secret&h=X-Secret:1&h=Keep-Alive:timeout=1&h=Upgrade:websocket"
     "&h=Proxy-Authenticate:Basic&h=Trailer:X-T&h=X-Kept:1&b=body",
     "body", true},
};

TEST_P(Framing, TheNextPipelinedRequestGetsItsOwnAnswer) {
    const FramingRow& row = GetParam();
    std::vector<RawResponse> answers = parseResponses(
        rawExchange(cluster->apache().port(),
                    get("/app/raw?" + row.query) + get("/app/echo", "Connection: close\r\n")));
    ASSERT_GE(answers.size(), 1u);
    EXPECT_EQ(answers[0].status, row.firstStatus);
    if (row.firstStatus == 200) {
        EXPECT_EQ(answers[0].body, row.firstBody);
        EXPECT_EQ(answers[0].complete, row.secondServed);
    }
    for (const char* name : {"X-Secret", "Keep-Alive", "Proxy-Authenticate", "Trailer"})
        EXPECT_EQ(answers[0].header(name), "") << name;
    EXPECT_NE(answers[0].header("Upgrade"), "websocket");  // Apache's own offer of h2c stays
    if (row.name == std::string("ConnectionHeaders")) {
        EXPECT_EQ(answers[0].header("X-Kept"), "1");
    }
    ASSERT_EQ(answers.size(), row.secondServed ? 2u : 1u);
    if (row.secondServed) {
        EXPECT_EQ(answers[1].body.rfind("action: echo\n", 0), 0u) << answers[1].body;
    }
}
INSTANTIATE_TEST_SUITE_P(Backend, Framing, ::testing::ValuesIn(kFramingRows),
                         [](const auto& info) { return std::string(info.param.name); });

// A server that dies after its body began: the client sees a cut response, never an error
// page appended to it, over HTTP/1.1 (with and without a length) and HTTP/2.
TEST_F(OneServer, AFailureAfterTheBodyBeganCutsTheResponse) {
    for (const std::string query :
         {"b=first&end=close", "h=Content-Length:100&b=first&end=close"}) {
        for (const bool http2 : {false, true}) {
            HttpResponse r =
                httpRequest({.url = cluster->url("/app/raw?" + query), .http2 = http2});
            // HTTP/2 resets the stream, which may overtake the data frame.
            EXPECT_TRUE(http2 ? std::string("first").starts_with(r.body) : r.body == "first")
                << query << http2 << r.body;
            EXPECT_NE(r.error, "") << query << http2;
        }
    }
    EXPECT_TRUE(cluster->apache().waitForLog("failed after the response started: "));
}

// Retained bytes are bounded per exchange: reasons are cut and only the last one kept,
// attributes and real paths count against maxpropssize (1,000,000 here).
TEST_F(OneServer, WhatAnExchangeKeepsIsBounded) {
    HttpResponse many = fetch("/app/raw?reasons=400&reasonlen=100000&b=ok");
    EXPECT_EQ(many.status, 200);
    EXPECT_EQ(many.statusLine, "HTTP/1.1 200 OK" + std::string(256 - 2, 'r'));
    for (const std::string query : {"attrs=5&attrlen=300000", "realpaths=100&pathlen=20000"}) {
        HttpResponse r = fetch("/app/raw?" + query + "&b=never");
        EXPECT_EQ(r.status, 503) << query;
        EXPECT_NE(r.body.find(kProtocolPage), std::string::npos) << query;
    }
    // The server's 1,200,000 bytes and the request's own client port (a few digits).
    EXPECT_TRUE(cluster->apache().waitForLog("sent PROXY_SET_ATTRIBUTE of 12000"));
    EXPECT_TRUE(cluster->apache().waitForLog(" bytes, limit 1000000"));
    EXPECT_TRUE(cluster->apache().waitForLog("sent PROXY_GET_REALPATH of "));
    EXPECT_EQ(fetch("/app/echo").status, 200);
}

// Bytes a server sends after the end of an exchange never reach the next request that
// takes the pooled connection.
TEST_F(OneServer, LateBytesNeverReachTheNextClient) {
    const std::string late = "late=" + std::string(kForged);
    EXPECT_EQ(fetch("/app/raw?b=first&latems=20&" + late).body, "first");
    ASSERT_TRUE((*cluster)[0].waitForLog("late bytes sent"));
    std::this_thread::sleep_for(50ms);  // from the server's socket into the module's
    HttpResponse next = fetch("/app/echo");
    EXPECT_EQ(next.status, 200);
    EXPECT_EQ(next.body.rfind("action: echo\n", 0), 0u) << next.body;
    EXPECT_TRUE(cluster->apache().waitForLog("bytes arrived while it was idle"));
}

// A server that writes late, before it reads the next request on that connection: the
// next request takes the connection idle longest, and the late bytes close the connection
// once they have come.
TEST_F(OneServer, LateBytesHaveTheLongestIdleTimeToShow) {
    // Two idle connections: one while the other is busy.
    auto slow = std::async(std::launch::async, [] { return fetch("/app/slow?ms=300"); });
    std::this_thread::sleep_for(100ms);
    ASSERT_EQ(fetch("/app/echo").status, 200);
    ASSERT_EQ(slow.get().status, 200);
    const int closedBefore = cluster->apache().countLog("bytes arrived while it was idle");
    const int lateBefore = cluster->logLines(0, "late bytes sent");
    ASSERT_EQ(fetch("/app/raw?b=first&latems=400&late=" + std::string(kForged)).body, "first");
    for (int round = 0; round < 2; ++round) {
        HttpResponse next = fetch("/app/echo");
        EXPECT_EQ(next.status, 200) << round;
        EXPECT_EQ(next.body.rfind("action: echo\n", 0), 0u) << round << next.body;
        if (round > 0) continue;
        ASSERT_TRUE(
            waitUntil([&] { return cluster->logLines(0, "late bytes sent") > lateBefore; }));
        std::this_thread::sleep_for(50ms);  // from the server's socket into the module's
    }
    EXPECT_EQ(cluster->apache().countLog("bytes arrived while it was idle"), closedBefore + 1);
}

// Path parameters and one more decoding must not hide a dot segment from the match, nor
// a control character (a NUL ends the segment for a server: "..%00" is "..").
TEST_F(OneServer, DotSegmentsAndControlCharactersAreRefused) {
    for (const char* path :
         {"/app/..;/admin/x", "/app/%252e%252e/admin/x", "/app/x;p/%252e%252e/admin/x",
          "/app/.%3b/x", "/app/x/..%255cadmin",
          "/app/..%2500/echo", "/app/x%2501/echo", "/app/x%01/echo", "/app/x%1f", "/app/x%7f",
          "/app/x%257F", "/app/x%09y", "/app/x%250d%250a"})
        EXPECT_EQ(fetch(path).status, 400) << path;
    for (const char* path :
         {"/app/x;jsessionid=abc", "/app/..x/y", "/app/x%20y", "/app/%c3%a9", "/app/x%2520"})
        EXPECT_EQ(fetch(path).status, 200) << path;
}

// A request that reached the server whose pooled connection then closed goes out again
// only when its method is safe to repeat.
TEST_F(OneServer, OnlySafeMethodsAreSentAgainAfterAStaleConnection) {
    struct Row {
        const char* method;
        long status;
        int seen;
    };
    for (const Row row : {Row{"GET", 200, 2}, Row{"POST", 503, 1}, Row{"DELETE", 200, 2}}) {
        ASSERT_EQ(fetch("/app/echo").status, 200);  // leaves a pooled connection
        const std::string control = backend_test::readFile((*cluster)[0].path("control.props"));
        (*cluster)[0].writeFile("control.props", "fault=close-before-code\nfault-count=1\n");
        ASSERT_TRUE((*cluster)[0].reload());
        const int before = cluster->requestsSeen(0);
        HttpResponse r = httpRequest({.url = cluster->url("/app/echo"), .method = row.method});
        EXPECT_EQ(r.status, row.status) << row.method << r.body;
        EXPECT_EQ(cluster->requestsSeen(0) - before, row.seen) << row.method;
        (*cluster)[0].writeFile("control.props", control);
        ASSERT_TRUE((*cluster)[0].reload());
    }
}

// Credentials asked for by a server never reach the error log, though Verbose is on.
TEST_F(OneServer, TracesRedactCredentials) {
    fetch("/app/echo?get=Authorization,Proxy-Authorization,Cookie",
          {"Authorization: Basic dG9wc2VjcmV0",
           "Proxy-Authorization: Basic cHJveHlzZWNyZXQ=", "Cookie: JSESSIONID=SRV1cookiesecret"});
    const std::string log = cluster->apache().errorLog();
    for (const char* secret : {"dG9wc2VjcmV0", "cHJveHlzZWNyZXQ", "cookiesecret"})
        EXPECT_EQ(log.find(secret), std::string::npos) << secret;
    EXPECT_TRUE(cluster->apache().waitForLog("Authorization: [redacted]"));
}

// The store is replaced as a whole by a file of its own, never written through a link.
TEST(StoreFile, IsReplacedNotWrittenThroughALink) {
    QuonCluster cluster(2);
    const std::filesystem::path dir = cluster[0].path("store");
    std::filesystem::create_directories(dir);
    std::filesystem::permissions(dir.parent_path(), std::filesystem::perms(0755));
    shareWithApacheUser(dir);
    const std::string victim = cluster[0].writeFile("victim", "untouched");
    shareWithApacheUser(victim);  // the store's writer could write through the link
    std::filesystem::create_symlink(victim, dir / "servers");
    ASSERT_TRUE(cluster.start("QuonConfig serverstore " + (dir / "servers").string() + "\n"));
    ASSERT_EQ(cluster.get("/app/echo").status, 200);
    EXPECT_TRUE(waitUntil([&] { return !std::filesystem::is_symlink(dir / "servers"); }));
    EXPECT_EQ(backend_test::readFile(victim), "untouched");
    struct stat info {};
    ASSERT_EQ(stat((dir / "servers").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_NE(backend_test::readFile((dir / "servers").string()).find(cluster.address(1)),
              std::string::npos);
}

// A request claimed before the directory walk skips the <Directory> sections: one under
// the document root whose access rules a claimed request skips is told of, once per
// interval; rules above the document root (the file system's defaults), or that grant
// everything, are not. With directorywalk they apply.
TEST(DirectoryRules, SkippedByClaimedRequestsAreToldOf) {
    for (const bool walk : {false, true}) {
        SCOPED_TRACE(walk ? "directorywalk" : "claimed before the walk");
        QuonCluster cluster(1);
        ASSERT_TRUE(
            cluster.start(std::string(walk ? "QuonConfig directorywalk true\n" : "") +
                          "<Directory @DIR@/htdocs/app/private>\n  Require all denied\n"
                          "</Directory>\n<Directory @DIR@/htdocs/app/open>\n"
                          "  Require all granted\n</Directory>\n"
                          "<Directory @DIR@>\n  Require all denied\n</Directory>\n"
                          "<Directory @DIR@/htdocs>\n  Require all granted\n</Directory>\n"));
        // The walk reaches only what exists.
        for (const char* dir : {"/htdocs/app/private", "/htdocs/app/open"}) {
            std::filesystem::create_directories(cluster.apache().dir() + dir);
            shareWithApacheUser(cluster.apache().dir() + dir);
        }
        const std::string line = "<Directory " + cluster.apache().dir() +
                                 "/htdocs/app/private> holds access rules that requests the module "
                                 "claims skip";
        EXPECT_EQ(cluster.get("/app/echo").status, 200);
        EXPECT_EQ(cluster.get("/app/open/echo").status, 200);
        for (int k = 0; k < 3; ++k)
            EXPECT_EQ(cluster.get("/app/private/echo").status, walk ? 403 : 200);
        EXPECT_TRUE(walk || cluster.apache().waitForLog(line)) << cluster.apache().errorLog();
        EXPECT_EQ(cluster.apache().countLog(line), walk ? 0 : 1);
        EXPECT_EQ(cluster.apache().countLog("holds access rules"), walk ? 0 : 1);
    }
}

// A member list may name any address: one no server is at, or one outside the networks
// the operator allows, is refused with a line that says why and never connected to.
TEST(MemberList, NamesOnlyServersInTheAllowedNetworks) {
    QuonCluster cluster(3);
    ASSERT_TRUE(cluster.BackendCluster::start());
    const std::string port = std::to_string(cluster.port(0));
    const std::string bad = "BAD1=0.0.0.0:" + port + "\nBAD2=224.0.0.1:" + port + "\n";
    cluster[0].writeFile("cluster.props",
                         backend_test::readFile(cluster[0].path("cluster.props")) + bad);
    ASSERT_TRUE(cluster[0].reload());
    ASSERT_TRUE(cluster.start("QuonConfig membernetworks \"127.0.0.2/31, ::1\"\n"));
    for (const std::string& line :
         {cluster.memberName(2) + " refused as a member: its address 127.0.0.4 is outside the "
                                  "networks of membernetworks",
          "0.0.0.0:" + port + " refused as a member: its address 0.0.0.0 is unspecified",
          "224.0.0.1:" + port + " refused as a member: its address 224.0.0.1 is multicast"})
        EXPECT_TRUE(cluster.apache().waitForLog(line)) << line;
    for (int k = 0; k < 6; ++k) {
        HttpResponse r = cluster.get("/app/echo");
        EXPECT_EQ(r.status, 200);
        EXPECT_TRUE(cluster.served(r) == 0 || cluster.served(r) == 1) << r.body;
    }
    EXPECT_EQ(cluster.logLines(2, "] accepted from "), 0);
}

// A member that joins with a more specific pattern while a request waits between the
// translate hook and the handler moves the entries: the request still goes to the
// application it matched, not to the entry that took its index.
TEST(MappingIndex, StaysWithTheEntryTheRequestMatched) {
    QuonCluster cluster({"/app/*=app\n*.jsp=jsp\n", "/shop/checkout/*=shop\n"},
                        "mapcheck=30\nweight=1\nalgorithm=ROUNDROBIN\nsticky=true\n");
    cluster.useProbeModule();
    ASSERT_TRUE(cluster.BackendCluster::start({0}));  // both run, server 0 alone is listed
    ASSERT_TRUE(cluster.start());
    ASSERT_EQ(cluster.get("/app/echo").status, 200);
    auto paused = std::async(std::launch::async,
                             [&] { return cluster.get("/app/echo", {"X-Probe-Pause: 1500"}); });
    std::this_thread::sleep_for(300ms);
    ASSERT_TRUE(cluster.announce({0, 1}, 2));
    // The next answer carries the new number: server 1 joins and its entry goes first.
    ASSERT_EQ(cluster.get("/app/echo").status, 200);
    ASSERT_TRUE(waitUntil([&] { return cluster.get("/shop/checkout/x").status == 200; }));
    HttpResponse r = paused.get();
    EXPECT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(cluster.served(r), 0) << r.body;
    EXPECT_TRUE(cluster.apache().waitForLog("mappings moved since the request was filtered"));
}
}  // namespace
