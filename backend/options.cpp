#include "options.h"

#include <arpa/inet.h>
#include <charconv>

namespace quon_backend {
namespace {

constexpr const char* kUsage =
    "usage: quon-backend --listen HOST:PORT [options]\n"
    "  --listen HOST:PORT        protocol port on an IPv4 address or an IPv6 address in\n"
    "                            brackets, such as [::1]:8009 (port 0: any free port)\n"
    "  --http HOST:PORT          also serve the application over HTTP/1.1\n"
    "  --props NAME=FILE         property set NAME is the text of FILE (repeatable)\n"
    "  --server-props FILE       same as --props server-props=FILE\n"
    "  --mappings FILE           same as --props servlet-mappings=FILE\n"
    "  --cluster FILE            same as --props clustered-servers=FILE\n"
    "  --cluster-seq N           send PROXY_PUT_CLUSTER_SEQ N in every exchange\n"
    "  --load-value N            send PROXY_PUT_LOAD_VALUE N in every request exchange\n"
    "  --buddies ID[,ID...]      4-character buddy ids named in new session ids\n"
    "  --fault MODE              fault for request exchanges (see README)\n"
    "  --fault-count N           apply that fault to the next N request exchanges only\n"
    "  --props-fault MODE        fault for props exchanges\n"
    "  --props-fault-count N     apply that fault to the next N props exchanges only\n"
    "  --idle-timeout-ms N       close connections idle for N ms (0: never)\n"
    "  --control FILE            run-time settings, read at start and on every SIGHUP\n"
    "  --docroot DIR             root of real paths over HTTP (default /srv/quon)\n"
    "  --log FILE                append one line per received message\n"
    "  --log-times 0|1           1: start each log line with the epoch time in ms\n"
    "  --ready-file FILE         written once listening: the bound addresses\n"
    "  --max-connections N       connections served at once (default 4096)\n";

// Options that set a run-time setting of the same name (without the dashes).
constexpr const char* kSettingOptions[] = {
    "cluster-seq", "load-value",  "buddies",           "fault",
    "fault-count", "props-fault", "props-fault-count", "idle-timeout-ms",
};

bool isSettingOption(std::string_view name) {
    for (const char* s : kSettingOptions)
        if (name == s) return true;
    return false;
}

bool applyOption(Options& o, std::string_view name, const std::string& value, std::string& error) {
    if (name == "listen") {
        if (!parseEndpoint(value, o.quon)) error = "bad address for --listen: " + value;
    } else if (name == "http") {
        o.http.emplace();
        if (!parseEndpoint(value, *o.http)) error = "bad address for --http: " + value;
    } else if (name == "props") {
        const size_t eq = value.find('=');
        if (eq == std::string::npos || eq == 0 || eq + 1 == value.size())
            error = "--props wants NAME=FILE, not " + value;
        else
            o.propertyFiles.push_back({value.substr(0, eq), value.substr(eq + 1)});
    } else if (name == "server-props") {
        o.propertyFiles.push_back({"server-props", value});
    } else if (name == "mappings") {
        o.propertyFiles.push_back({"servlet-mappings", value});
    } else if (name == "cluster") {
        o.propertyFiles.push_back({"clustered-servers", value});
    } else if (isSettingOption(name)) {
        o.settingDefaults.push_back({std::string(name), value});
    } else if (name == "control") {
        o.controlFile = value;
    } else if (name == "docroot") {
        o.docRoot = value;
    } else if (name == "log") {
        o.logFile = value;
    } else if (name == "log-times") {
        if (value != "0" && value != "1") error = "--log-times wants 0 or 1, not " + value;
        o.logTimes = value == "1";
    } else if (name == "ready-file") {
        o.readyFile = value;
    } else if (name == "max-connections") {
        int32_t n = 0;
        if (!parseInt32(value, n) || n < 1) error = "bad --max-connections: " + value;
        o.maxConnections = n;
    } else {
        error = "unknown option --" + std::string(name);
    }
    return error.empty();
}

}  // namespace

const char* usageText() { return kUsage; }

bool parseInt32(std::string_view text, int32_t& value) {
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return ec == std::errc() && ptr == end && !text.empty();
}

// "a.b.c.d:port" or "[ipv6]:port".
bool parseEndpoint(std::string_view text, Endpoint& endpoint) {
    const size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) return false;
    std::string_view host = text.substr(0, colon);
    int family = AF_INET;
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
        family = AF_INET6;
    }
    const std::string literal(host);
    in6_addr addr{};
    if (inet_pton(family, literal.c_str(), &addr) != 1) return false;
    int32_t port = 0;
    if (!parseInt32(text.substr(colon + 1), port) || port < 0 || port > 65535) return false;
    endpoint.host = literal;
    endpoint.family = family;
    endpoint.port = static_cast<uint16_t>(port);
    return true;
}

bool parseOptions(int argc, char** argv, Options& options, std::string& error) {
    bool haveListen = false;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg.substr(0, 2) != "--") {
            error = "unexpected argument " + std::string(arg);
            return false;
        }
        std::string_view name = arg.substr(2);
        std::string value;
        if (const size_t eq = name.find('='); eq != std::string_view::npos) {
            value = std::string(name.substr(eq + 1));
            name = name.substr(0, eq);
        } else if (i + 1 < argc) {
            value = argv[++i];
        } else {
            error = "option " + std::string(arg) + " needs a value";
            return false;
        }
        if (!applyOption(options, name, value, error)) return false;
        haveListen = haveListen || name == "listen";
    }
    if (!haveListen) error = "--listen HOST:PORT is required";
    return error.empty();
}

}  // namespace quon_backend
