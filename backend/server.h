// The listening side of the back-end: the protocol port and the optional HTTP port, the
// accept loop that hands each connection to the connection pool, the refuse fault that
// closes the listening sockets, and the orderly stop.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "connections.h"
#include "event_log.h"
#include "options.h"
#include "server_context.h"
#include "sessions.h"
#include "settings.h"

namespace quon_backend {

class Server {
public:
    Server(const Options& options, SettingsStore& settings, EventLog& log);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds the listening sockets and writes the ready file.
    bool open(std::string& error);
    // Accepts connections until stop(); then ends every connection and joins its thread.
    void run();
    // Both may be called from any thread.
    void stop();
    void settingsChanged();

    const std::string& quonAddress() const { return context_.quonAddress; }
    const std::string& httpAddress() const { return context_.httpAddress; }

private:
    struct Listener {
        Endpoint endpoint;
        bool http = false;
        int fd = -1;
    };

    bool listen(Listener& listener, std::string& error);
    void applyRefuse();
    void acceptAll(Listener& listener);
    bool writeReadyFile(std::string& error) const;
    void wake();

    const Options& options_;
    SessionStore sessions_;
    Stopper stopper_;
    ServerContext context_;
    ConnectionPool pool_;
    std::vector<Listener> listeners_;
    int wakePipe_[2] = {-1, -1};
    uint64_t accepted_ = 0;
};

}  // namespace quon_backend
