// Props exchanges, pings and keep-alive, checked byte for byte, and the reload of the
// property sets and the cluster sequence number on SIGHUP.
#include <gtest/gtest.h>

#include "backend_process.h"
#include "wire_client.h"

namespace backend_test {
namespace {

using namespace std::string_literals;

const std::string kServerProps = "rep_id=SRV1\nmapcheck=30\nweight=5\n";
const std::string kMappings = "/app/*=servlet\r\n# a comment\n/examples/*=examples\n";
const std::string kCluster = "s1=127.0.0.2:9001\ns2=127.0.0.3:9002\n";

// 00 00 00 0D, the name's length, the name: PROXY_GET_PROPS.
std::string getProps(const std::string& name) { return "\x00\x00\x00\x0D"s + str(name); }

// 00 00 00 0E, the text's length, the text: PROXY_PUT_PROPS.
std::string putProps(const std::string& text) { return "\x00\x00\x00\x0E"s + str(text); }

const std::string kPing("\x00\x00\x00\x0C", 4);
const std::string kFinish("\x00\x00\x00\x09", 4);

class PropsExchangeTest : public testing::Test {
protected:
    void SetUp() override {
        std::vector<std::string> options = {
            "--server-props", server.writeFile("server.props", kServerProps),
            "--mappings",     server.writeFile("mappings.props", kMappings),
            "--cluster",      server.writeFile("cluster.props", kCluster),
            "--control",      server.writeFile("control.props", "")};
        ASSERT_TRUE(server.start(options)) << readFile(server.path("stderr"));
        ASSERT_TRUE(client.connect(server.quonAddress()));
    }

    // Sends a props request and reads exactly the answer expected.
    void expectAnswer(const std::string& name, const std::string& answer) {
        ASSERT_TRUE(client.send(getProps(name)));
        EXPECT_EQ(client.read(answer.size()), answer) << name;
    }

    BackendProcess server{"127.0.0.2"};
    Client client;
};

TEST_F(PropsExchangeTest, SendsEachSetAsItsFileReads) {
    expectAnswer("server-props", putProps(kServerProps) + kFinish);
    expectAnswer("servlet-mappings", putProps(kMappings) + kFinish);
    expectAnswer("clustered-servers", putProps(kCluster) + kFinish);
    EXPECT_TRUE(client.silentFor(50));
}

TEST_F(PropsExchangeTest, TheServerPropsRequestIsTwentyBytes) {
    const std::string request = getProps("server-props");
    ASSERT_EQ(request.size(), 20u);
    EXPECT_EQ(request.substr(0, 8), "\x00\x00\x00\x0D\x00\x00\x00\x0C"s);
    expectAnswer("server-props", putProps(kServerProps) + kFinish);
}

TEST_F(PropsExchangeTest, AnUnknownSetGetsFinishAlone) {
    expectAnswer("no-such-set", kFinish);
    expectAnswer("", kFinish);
}

TEST_F(PropsExchangeTest, PingsBetweenExchangesGetNoAnswer) {
    ASSERT_TRUE(client.send(kPing));
    EXPECT_TRUE(client.silentFor(100));
    expectAnswer("server-props", putProps(kServerProps) + kFinish);
    ASSERT_TRUE(client.send(kPing + kPing + getProps("clustered-servers") + kPing));
    EXPECT_EQ(client.read(4 + 4 + kCluster.size() + 4), putProps(kCluster) + kFinish);
    EXPECT_TRUE(client.silentFor(100));
    EXPECT_TRUE(server.waitForLog("PROXY_PING"));
    EXPECT_TRUE(server.waitForLog("PROXY_GET_PROPS clustered-servers"));
}

TEST_F(PropsExchangeTest, OneConnectionCarriesManyExchanges) {
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(client.send(kPing));
        expectAnswer("servlet-mappings", putProps(kMappings) + kFinish);
    }
    Client second;
    ASSERT_TRUE(second.connect(server.quonAddress()));
    ASSERT_TRUE(second.send(getProps("server-props")));
    EXPECT_EQ(second.read(12 + kServerProps.size()), putProps(kServerProps) + kFinish);
}

TEST_F(PropsExchangeTest, TheClusterSequenceFollowsTheControlFile) {
    server.writeFile("control.props", "cluster-seq=7\n");
    ASSERT_TRUE(server.reload());
    // 00 00 00 28, then the number: PROXY_PUT_CLUSTER_SEQ.
    expectAnswer("clustered-servers", putProps(kCluster) + "\x00\x00\x00\x28"s + be32(7) + kFinish);
    server.writeFile("control.props", "cluster-seq=8\n");
    ASSERT_TRUE(server.reload());
    expectAnswer("server-props", putProps(kServerProps) + be32(40) + be32(8) + kFinish);
    server.writeFile("control.props", "");
    ASSERT_TRUE(server.reload());
    expectAnswer("server-props", putProps(kServerProps) + kFinish);
}

TEST_F(PropsExchangeTest, ReloadPicksUpNewMappingsAndMembers) {
    const std::string mappings = "/app/*=servlet\n/new/*=added\n";
    const std::string cluster = "s1=127.0.0.2:9001\n";
    server.writeFile("mappings.props", mappings);
    server.writeFile("cluster.props", cluster);
    ASSERT_TRUE(server.reload());
    // The idle connection opened before the reload sees the new sets.
    expectAnswer("servlet-mappings", putProps(mappings) + kFinish);
    expectAnswer("clustered-servers", putProps(cluster) + kFinish);
}

TEST_F(PropsExchangeTest, ARemovedFileLeavesTheSetEmpty) {
    std::remove(server.path("cluster.props").c_str());
    ASSERT_TRUE(server.reload());
    EXPECT_TRUE(server.waitForLog("settings: could not open"));
    expectAnswer("clustered-servers", kFinish);
    expectAnswer("server-props", putProps(kServerProps) + kFinish);
}

TEST_F(PropsExchangeTest, ABadSettingIsReportedAndTheRestApplied) {
    server.writeFile("control.props", "no-such-setting=1\ncluster-seq=x\nload-value=3\n");
    ASSERT_TRUE(server.reload());
    const std::string log = server.logText();
    EXPECT_NE(log.find("settings: unknown setting no-such-setting"), std::string::npos);
    EXPECT_NE(log.find("settings: bad value for cluster-seq: x"), std::string::npos);
    expectAnswer("server-props", putProps(kServerProps) + kFinish);
}

}  // namespace
}  // namespace backend_test
