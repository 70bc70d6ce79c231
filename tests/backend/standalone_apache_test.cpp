// A connector bootstrapped from a quon-backend started by hand, without a member list:
// the server names itself, so the module learns it and serves mapped requests from it.
#include <gtest/gtest.h>

#include "apache_server.h"
#include "backend_process.h"
#include "http_client.h"

namespace {
TEST(StandaloneBackend, TheModuleServesMappedRequestsFromIt) {
    backend_test::BackendProcess server("127.0.0.3");
    ASSERT_TRUE(server.start({"--server-props", server.writeFile("server.props", "rep_id=SRV1\n"),
                              "--mappings", server.writeFile("mappings.props", "/app/*=app\n")}));
    ApacheServer apache({.directives = "QuonConfig bootstrap " + server.quonAddress() + "\n"});
    ASSERT_TRUE(apache.start());
    for (int i = 0; i < 3; ++i) {
        HttpResponse r = httpGet(apache.url("/app/echo"));
        EXPECT_EQ(r.status, 200) << r.body << apache.errorLog();
        EXPECT_EQ(r.header("X-Quon-Server"), server.quonAddress());
    }
}
}  // namespace
