// quon-backend's member list ("clustered-servers") as a connector fetches it: the
// --cluster file as it is, and without one the server itself alone, under its rep_id.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "backend_process.h"
#include "core/proxy/wire_codes.h"

namespace {
using backend_test::BackendProcess;

// What one props exchange brought: the set's text (absent: PROXY_FINISH alone) and the
// sequence number, if any; finished is false when the exchange broke off.
struct PropsAnswer {
    std::optional<std::string> text;
    std::optional<int32_t> seq;
    bool finished = false;
};

class ProtocolClient {
public:
    explicit ProtocolClient(const std::string& address) {
        const size_t colon = address.rfind(':');
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(uint16_t(std::stoi(address.substr(colon + 1))));
        inet_pton(AF_INET, address.substr(0, colon).c_str(), &a.sin_addr);
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        timeval limit{5, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~ProtocolClient() { close(fd_); }

    PropsAnswer getProps(const std::string& name) {
        PropsAnswer answer;
        std::string out = int32Bytes(PROXY_GET_PROPS) + int32Bytes(int32_t(name.size())) + name;
        if (!connected_ || send(fd_, out.data(), out.size(), 0) != ssize_t(out.size()))
            return answer;
        for (int32_t code = 0; readInt32(code);) {
            if (code == PROXY_FINISH) {
                answer.finished = true;
                break;
            }
            int32_t n = 0;
            if (code == PROXY_PUT_CLUSTER_SEQ && readInt32(n)) {
                answer.seq = n;
            } else if (code == PROXY_PUT_PROPS && readInt32(n) && n >= 0 && n < 65536) {
                std::string text(size_t(n), '\0');
                if (!readExact(text.data(), text.size())) break;
                answer.text = text;
            } else {
                break;
            }
        }
        return answer;
    }

private:
    static std::string int32Bytes(int32_t v) {
        const uint32_t n = htonl(uint32_t(v));
        return std::string(reinterpret_cast<const char*>(&n), 4);
    }
    bool readExact(char* to, size_t size) {
        for (size_t got = 0; got < size;) {
            const ssize_t r = recv(fd_, to + got, size - got, 0);
            if (r <= 0) return false;
            got += size_t(r);
        }
        return true;
    }
    bool readInt32(int32_t& v) {
        uint32_t n = 0;
        if (!readExact(reinterpret_cast<char*>(&n), 4)) return false;
        v = int32_t(ntohl(n));
        return true;
    }

    int fd_ = -1;
    bool connected_ = false;
};

struct MemberRow {
    const char* what;
    const char* serverProps;  // nullptr: no --server-props
    const char* cluster;      // nullptr: no --cluster
    std::vector<std::string> more;
    const char* key;  // the own list's key; nullptr: the list is the --cluster file's text
    std::optional<int32_t> seq;
};

TEST(MemberList, WithoutAFileTheServerNamesItselfAlone) {
    const MemberRow rows[] = {
        {"rep_id is the key", "rep_id=SRV9\nweight=1\n", nullptr, {}, "SRV9", {}},
        {"no server-props", nullptr, nullptr, {}, "self", {}},
        {"rep_id no key can carry", "rep_id=a=b\n", nullptr, {}, "self", {}},
        {"rep_id that would read as a comment", "rep_id=#x\n", nullptr, {}, "self", {}},
        {"the sequence number follows the list",
         "rep_id=SRV9\n",
         nullptr,
         {"--cluster-seq", "4"},
         "SRV9",
         4},
        {"the file wins", "rep_id=SRV9\n", "s1=127.0.0.3:1\n", {}, nullptr, {}},
        {"an empty file is sent as it is", "rep_id=SRV9\n", "", {}, nullptr, {}},
    };
    for (const MemberRow& row : rows) {
        SCOPED_TRACE(row.what);
        BackendProcess server("127.0.0.2");
        std::vector<std::string> options = row.more;
        if (row.serverProps)
            options.insert(options.end(),
                           {"--server-props", server.writeFile("server.props", row.serverProps)});
        if (row.cluster)
            options.insert(options.end(),
                           {"--cluster", server.writeFile("cluster.props", row.cluster)});
        ASSERT_TRUE(server.start(options));
        ProtocolClient client(server.quonAddress());
        const PropsAnswer answer = client.getProps("clustered-servers");
        EXPECT_TRUE(answer.finished);
        EXPECT_EQ(answer.text, row.key ? std::string(row.key) + "=" + server.quonAddress() + "\n"
                                       : std::string(row.cluster));
        EXPECT_EQ(answer.seq, row.seq);
        // Other sets the server lacks are still answered with PROXY_FINISH alone.
        const PropsAnswer other = client.getProps("servlet-mappings");
        EXPECT_TRUE(other.finished && !other.text && !other.seq);
    }
}
}  // namespace
