#include "quon_cluster.h"

#include <cstdio>
#include <sstream>

namespace {
constexpr const char* kMappings = "/app/*=app\n*.jsp=jsp\n";
}  // namespace

std::string fnv1a64(const std::string& bytes) {
    uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : bytes) hash = (hash ^ c) * 1099511628211ull;
    char text[17];
    snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return text;
}

std::map<std::string, std::string> answerLines(const std::string& body) {
    std::map<std::string, std::string> lines;
    std::istringstream in(body);
    for (std::string line; std::getline(in, line);) {
        size_t colon = line.find(": ");
        if (colon != std::string::npos) lines[line.substr(0, colon)] = line.substr(colon + 2);
    }
    return lines;
}

QuonCluster::QuonCluster(int servers, std::string serverProps)
    : BackendCluster(std::vector<std::string>(size_t(servers), kMappings), std::move(serverProps)) {
}

// Apache goes first: its children must not see the servers vanish under them.
QuonCluster::~QuonCluster() { apache_.reset(); }

bool QuonCluster::start(const std::string& directives, std::string* why) {
    if (!BackendCluster::start()) {
        *why = "the back-end servers did not start";
        return false;
    }
    std::string lines = "QuonConfig bootstrap " + address(0) +
                        "\nQuonConfig Verbose true\nQuonConfig traceflags 3\n"
                        "QuonConfig proxyretryinterval 1\n" +
                        directives;
    for (size_t at = lines.find("@BOOT@"); at != std::string::npos; at = lines.find("@BOOT@"))
        lines.replace(at, 6, address(0));
    apache_ = std::make_unique<ApacheServer>(ApacheOptions{.directives = lines});
    return apache_->start(why);
}
