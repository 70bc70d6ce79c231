// The back-end's command line.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "properties.h"

namespace quon_backend {

struct Endpoint {
    std::string host;      // dotted IPv4 address, or IPv6 address without brackets
    int family = AF_INET;  // or AF_INET6
    uint16_t port = 0;     // 0: any free port
};

struct Options {
    Endpoint quon;                 // the protocol port
    std::optional<Endpoint> http;  // the same application over HTTP/1.1
    PropertyList propertyFiles;    // set name -> file path
    PropertyList settingDefaults;  // run-time settings given on the command line
    std::string controlFile;       // run-time settings read at start and on SIGHUP
    std::string logFile;
    bool logTimes = false;  // each log line starts with the epoch time in milliseconds
    std::string readyFile;
    std::string docRoot = "/srv/quon";
    int maxConnections = 4096;
};

// Parses argv; false with a reason in `error` for anything it does not understand.
bool parseOptions(int argc, char** argv, Options& options, std::string& error);
bool parseEndpoint(std::string_view text, Endpoint& endpoint);
bool parseInt32(std::string_view text, int32_t& value);
const char* usageText();

}  // namespace quon_backend
