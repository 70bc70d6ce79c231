// Forwarding requests in-process to the reference back-end: request bodies in many
// answers, and many threads at once. The command-by-command bytes are tested against a
// scripted peer.
#include <gtest/gtest.h>

#include <atomic>
#include <cinttypes>
#include <memory>
#include <thread>

#include "backend_process.h"
#include "fake_web_server.h"
#include "proxy.h"
#include "proxy_helpers.h"
#include "socket.h"

using backend_test::BackendProcess;

namespace {
std::string fnv1a(const std::string& bytes) {
    uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : bytes) hash = (hash ^ c) * 1099511628211ull;
    char text[17];
    snprintf(text, sizeof text, "%016" PRIx64, hash);
    return text;
}

// The value of the answer line "key: value".
std::string line(const std::string& body, const std::string& key) {
    size_t at = body.find(key + ": ");
    if (at == std::string::npos || (at > 0 && body[at - 1] != '\n')) return "<missing>";
    size_t start = at + key.size() + 2;
    return body.substr(start, body.find('\n', start) - start);
}

// One back-end serving "/app/*" and one initialised proxy to it, for the whole suite.
class ForwardBackend : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        backend = std::make_unique<BackendProcess>("127.0.0.2");
        std::string props = backend->writeFile("server.props", "mapcheck=0\n");
        std::string mappings = backend->writeFile("mappings.props", "/app/*=app\n");
        ASSERT_TRUE(backend->start({"--server-props", props, "--mappings", mappings}));
        RecordingRequest req;
        proxy = quonProxyNew(req.get());
        ASSERT_EQ(proxy->initProxy(proxy, req.get(), backend->quonAddress().c_str(), 0, 0), 0)
            << req.dump();
    }
    static void TearDownTestSuite() {
        RecordingRequest req;
        if (proxy) proxy->destroy(proxy, req.get());
        proxy = nullptr;
        backend.reset();
    }

    // Forwards one request as the handler would prepare it.
    int forward(FakeWebServer& web, const std::string& uri, const std::string& method = "GET") {
        web.uri = uri.substr(0, uri.find('?'));
        web.variables["REQUEST_METHOD"] = method;
        web.variables["QUERY_STRING"] = uri.find('?') == std::string::npos ? "" : uri.substr(uri.find('?') + 1);
        web.prepare();
        int result = proxy->handleRequest(web.get(), proxy, nullptr, nullptr);
        web.finish();
        return result;
    }

    static std::unique_ptr<BackendProcess> backend;
    static quonProxy* proxy;
};
std::unique_ptr<BackendProcess> ForwardBackend::backend;
quonProxy* ForwardBackend::proxy = nullptr;
}  // namespace

class ForwardBodies : public ForwardBackend, public ::testing::WithParamInterface<size_t> {};

TEST_P(ForwardBodies, ArriveWholeInAnswersOfAtMost40960Bytes) {
    FakeWebServer web;
    for (size_t i = 0; i < GetParam(); ++i) web.body += char(i * 31 % 251);
    web.maxRead = 30000;  // the client delivers less than asked for at times
    ASSERT_EQ(forward(web, "/app/body?want=40960", "POST"), 0) << web.recorder.dump();
    EXPECT_EQ(line(web.responseBody, "length"), std::to_string(GetParam()));
    EXPECT_EQ(line(web.responseBody, "checksum"), fnv1a(web.body));
    size_t answers = (GetParam() + 29999) / 30000 + 1;  // the last one says the body ended
    EXPECT_EQ(line(web.responseBody, "reads"), std::to_string(answers));
}

INSTANTIATE_TEST_SUITE_P(Sizes, ForwardBodies,
                         ::testing::Values(0, 40961, size_t(3) << 20));

// Sixteen threads forward through one proxy: every answer is whole, the idle list ends
// no longer than the number of threads, and connections were reused.
TEST_F(ForwardBackend, SixteenThreadsShareOneProxy) {
    constexpr int kThreads = 16, kRequests = 25;
    static std::atomic<int> connects{0};
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRequests; ++i) {
                FakeWebServer web(0);
                web->connect = [](quon_request* req, const sockaddr_in* address) {
                    ++connects;
                    return qnConnect(req, address);
                };
                size_t n = size_t(100 + t * 37 + i);
                if (forward(web, "/app/size?n=" + std::to_string(n) + "&m=3") != 0 ||
                    web.responseBody.size() != n)
                    ++wrong;
            }
        });
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
    int idle = 0;
    for (quonConnection* c = proxy->pool->freeList; c; c = c->next) ++idle;
    EXPECT_LE(idle, kThreads);
    EXPECT_LE(connects.load(), kThreads) << "connections are reused";
}
