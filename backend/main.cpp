// quon-backend: a reference back-end server for the connector, its tests, the demo and
// the benchmarks. See README.md for the command line and the application's URIs.
#include <csignal>
#include <cstdio>
#include <exception>
#include <pthread.h>
#include <thread>

#include "event_log.h"
#include "options.h"
#include "server.h"
#include "settings.h"

namespace quon_backend {
namespace {

// Loads the settings and reports what could not be applied; counts the generations so
// that whoever sent SIGHUP can wait for the matching log line.
bool loadSettings(SettingsStore& store, EventLog& log, int generation) {
    std::vector<std::string> problems;
    store.reload(problems);
    for (const std::string& p : problems) {
        log.printf("settings: %s", p.c_str());
        std::fprintf(stderr, "quon-backend: %s\n", p.c_str());
    }
    log.printf("settings loaded (generation %d)", generation);
    return problems.empty();
}

// Waits for SIGHUP (reload), SIGTERM and SIGINT (stop), which every thread blocks.
void handleSignals(const sigset_t& signals, Server& server, SettingsStore& store, EventLog& log) {
    int generation = 1;
    for (;;) {
        int signal = 0;
        if (sigwait(&signals, &signal) != 0) continue;
        if (signal == SIGHUP) {
            loadSettings(store, log, ++generation);
            server.settingsChanged();
            continue;
        }
        log.printf("signal %d, stopping", signal);
        server.stop();
        return;
    }
}

int runServer(int argc, char** argv) {
    Options options;
    std::string error;
    if (!parseOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "quon-backend: %s\n%s", error.c_str(), usageText());
        return 2;
    }
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGHUP);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    EventLog log;
    if (!log.open(options.logFile, options.logTimes, error)) {
        std::fprintf(stderr, "quon-backend: %s\n", error.c_str());
        return 1;
    }
    SettingsStore store(options);
    if (!loadSettings(store, log, 1)) return 2;
    Server server(options, store, log);
    if (!server.open(error)) {
        std::fprintf(stderr, "quon-backend: %s\n", error.c_str());
        return 1;
    }
    std::printf("quon-backend: protocol on %s%s%s\n", server.quonAddress().c_str(),
                options.http ? ", http on " : "", server.httpAddress().c_str());
    std::fflush(stdout);
    std::thread signalThread([&] { handleSignals(signals, server, store, log); });
    server.run();
    signalThread.join();
    return 0;
}

}  // namespace
}  // namespace quon_backend

int main(int argc, char** argv) {
    try {
        return quon_backend::runServer(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quon-backend: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "quon-backend: unexpected error\n");
    }
    return 1;
}
