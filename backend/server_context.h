// What every connection of the server shares.
#pragma once

#include <string>

namespace quon_backend {

class EventLog;
class SessionStore;
class SettingsStore;
class Stopper;

struct ServerContext {
    SettingsStore& settings;
    SessionStore& sessions;
    Stopper& stopper;
    EventLog& log;
    std::string quonAddress;  // the bound protocol address, host:port
    std::string httpAddress;  // the bound HTTP address, or empty
    std::string docRoot;
};

// How long a peer may take to answer a question in the middle of an exchange.
inline constexpr int kAnswerTimeoutMs = 60000;

}  // namespace quon_backend
