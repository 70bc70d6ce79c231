// Real Tomcats with the Quon connector behind a real Apache with the module, started once
// per test suite (a JVM's start costs seconds of CPU).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "apache_server.h"
#include "backend_process.h"
#include "http_client.h"
#include "tomcat_server.h"

class TomcatFront {
public:
    // connector: further attributes of every Tomcat's Quon connector.
    TomcatFront(int tomcats, const std::string& connector, bool replicate = false)
        : tomcats(tomcats, connector, replicate) {}

    // Starts the Tomcats, then Apache bootstrapped from the first (with directives besides),
    // and waits until a request to path is served by a Tomcat.
    testing::AssertionResult start(const std::string& directives = "",
                                   const std::string& path = "/app/echo") {
        if (testing::AssertionResult up = tomcats.start(); !up) return up;
        apache = std::make_unique<ApacheServer>(
            ApacheOptions{.directives = "QuonConfig bootstrap " + tomcats[0].address() +
                                        "\nQuonConfig proxyretryinterval 1\n" + directives});
        if (testing::AssertionResult up = apache->start(); !up) return up;
        if (!backend_test::waitUntil([&] { return served(get(path)) >= 0; }))
            return testing::AssertionFailure()
                   << "no Tomcat answers " << path << " through Apache:\n"
                   << apache->errorLog();
        return testing::AssertionSuccess();
    }

    HttpResponse get(const std::string& path, const std::vector<std::string>& headers = {}) {
        return httpGet(apache->url(path), headers);
    }
    // The index of the Tomcat that answered, -1 when none did.
    int served(const HttpResponse& r) const { return tomcats.indexOf(r.header("X-Tomcat")); }

    TomcatCluster tomcats;
    // Destroyed before the Tomcats.
    std::unique_ptr<ApacheServer> apache;
};

// A connection to the Tomcat's connector, as a hostile or broken peer would open it; -1
// when it is refused.
inline int connectTo(const TomcatServer& tomcat) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(tomcat.port()));
    a.sin_addr.s_addr = inet_addr(tomcat.host().c_str());
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}
