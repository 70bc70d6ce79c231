#include "checks.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <unordered_map>
#include <vector>

#include "check.h"
#include "health.h"
#include "pool.h"
#include "stall.h"
#include "sync.h"
#include "table.h"
#include "table_lists.h"
#include "upkeep.h"

namespace {
constexpr int kTurnMs = 250;
constexpr const char* kWentDown = "%s is down (%s), %d of %d left in %s";
constexpr const char* kCameUp = "%s is up again after %lld s";
constexpr const char* kNoSlot =
    "%s is not checked: its virtual servers hold their share of the %d health slots, or all "
    "are in use";
constexpr const char* kStalled = "%s is stalled (%s), %d of %d left in %s";
constexpr const char* kStallEnded = "%s is no longer stalled after %lld s";

std::atomic<qnChecker*> gChecker{nullptr};

// A table that has the server in its master list.
struct Holder {
    mappingsTable* table;
    quonProxy* proxy;
};

// One server this process checks, whatever tables list it.
struct Watched {
    char name[QN_SERVER_NAME_SIZE];
    qnHealthSlot* slot = nullptr;
    std::vector<Holder> holders;
    qnCheck check;
    bool running = false;
    bool seen = false;
    bool slotless = false;        // told once that no slot was left for it
    int change = QN_HEALTH_SAME;  // recorded this turn, said once it is applied
    int64_t downForMs = 0;
    int stallChange = QN_STALL_SAME;  // the same for a stall (stall.h)
    int64_t stalledForMs = 0;
    // A server that no table holds but that a table not initialised yet waits for (its
    // bootstrap server, one its store names): the table, and where the server is.
    mappingsTable* coldTable = nullptr;
    qnAddress coldAddresses[QN_MAX_ADDRESSES];
    int coldCount = 0;
};
}  // namespace

struct qnChecker {
    std::vector<mappingsTable*> tables;
    std::vector<Watched> watched;
    int wake[2] = {-1, -1};
    int32_t pid = 0;
};

namespace {
Watched& watchedNamed(qnChecker* checker, const char* name) {
    for (Watched& w : checker->watched)
        if (strcmp(w.name, name) == 0) return w;
    checker->watched.emplace_back();
    Watched& w = checker->watched.back();
    snprintf(w.name, sizeof w.name, "%s", name);
    return w;
}

// Each server's slot on the board: the one it holds, else a new one while a table that
// holds it is under its share of the board (the slots over the tables: one virtual host's
// long list leaves room for the servers of the others), else none (its requests still tell
// when it is down).
void takeSlots(qnChecker* checker, quon_request* req, int64_t nowMono) {
    qnHealthBoard* board = qnHealthBoardInUse();
    const int share = QN_HEALTH_SLOTS / std::max<int>(1, int(checker->tables.size()));
    std::unordered_map<const mappingsTable*, int> held;
    for (Watched& w : checker->watched)
        if (qnHealthOwns(w.slot, w.name))
            for (const Holder& h : w.holders) ++held[h.table];
    for (Watched& w : checker->watched) {
        if (qnHealthOwns(w.slot, w.name)) {
            w.slot->wantedMono.store(nowMono, std::memory_order_relaxed);
        } else {
            // The few servers a table not initialised yet waits for always have room.
            const bool room = w.coldTable ||
                              std::any_of(w.holders.begin(), w.holders.end(),
                                          [&](const Holder& h) { return held[h.table] < share; });
            w.slot = room ? qnHealthFor(board, w.name, nowMono) : nullptr;
            if (w.slot)
                for (const Holder& h : w.holders) ++held[h.table];
        }
        if (!w.slot && !w.slotless) req->logAt(req, QN_LOG_WARN, kNoSlot, w.name, QN_HEALTH_SLOTS);
        w.slotless = !w.slot;
        for (const Holder& h : w.holders) h.proxy->health.store(w.slot, std::memory_order_relaxed);
    }
}

// The servers a table not initialised yet waits for, while no table holds them.
void watchCold(qnChecker* checker, quon_request* req, mappingsTable* table) {
    if (table->initialized.load(std::memory_order_acquire)) return;
    SyncGuard hold(req, table->tableLock);
    const qnColdWatch& cold = table->cold;
    for (int32_t i = 0; i < std::min(cold.count, QN_COLD_NAMES); ++i) {
        if (cold.addressCounts[i] <= 0) continue;
        Watched& w = watchedNamed(checker, cold.names[i]);
        w.seen = true;
        if (!w.holders.empty() || w.coldTable) continue;
        w.coldTable = table;
        w.coldCount = std::min(cold.addressCounts[i], QN_MAX_ADDRESSES);
        std::copy_n(cold.addresses[i], w.coldCount, w.coldAddresses);
    }
}

// The servers of every table's master list that the cluster still names, each with the
// tables that hold it; servers no table holds any more are dropped, their checks ended.
void gather(qnChecker* checker, quon_request* req, int64_t nowMono) {
    for (Watched& w : checker->watched) {
        w.seen = false;
        w.holders.clear();
        w.coldTable = nullptr;
    }
    for (mappingsTable* table : checker->tables) {
        SyncGuard hold(req, table->tableLock);
        for (int32_t slot = 0; slot < table->servers.count; ++slot) {
            quonProxy* proxy = table->servers.proxies[slot];
            if (!proxy || proxy->delisted.load(std::memory_order_relaxed)) continue;
            Watched& w = watchedNamed(checker, proxy->name);
            w.seen = true;
            w.holders.push_back({table, proxy});
        }
    }
    for (mappingsTable* table : checker->tables) watchCold(checker, req, table);
    std::erase_if(checker->watched, [](Watched& w) {
        if (!w.seen) qnCheckCancel(w.check);
        return !w.seen;
    });
    takeSlots(checker, req, nowMono);
}

void record(Watched& w, int error) {
    const int64_t nowMono = qnMonoMillis();
    const int millis = int(std::clamp<int64_t>(nowMono - w.check.startedMono, 0, 1 << 30));
    int64_t downFor = 0;
    const int change = qnHealthRecord(w.slot, error, millis, nowMono, qnWallMillis(), &downFor);
    // The application answered: news that ends a stall.
    if (error == 0 && w.check.app && qnAppCheckOutcome(w.check.status) == 0)
        w.slot->appOkMono.store(w.check.startedMono, std::memory_order_relaxed);
    w.running = false;
    if (change == QN_HEALTH_SAME) return;
    w.change = change;
    w.downForMs = downFor;
}

// Checks that are due and that this process claims begin, to the addresses the server's
// pool connects to.
void startDue(qnChecker* checker, quon_request* req, int64_t nowMono) {
    for (Watched& w : checker->watched) {
        if (w.running || !w.slot || (w.holders.empty() && !w.coldTable)) continue;
        quonProxy* proxy = w.holders.empty() ? nullptr : w.holders.front().proxy;
        const char* appUri =
            proxy ? w.holders.front().table->healthCheckUri : w.coldTable->healthCheckUri;
        if ((proxy && !proxy->pool) || !qnHealthClaim(w.slot, nowMono, checker->pid)) continue;
        qnAddress addresses[QN_MAX_ADDRESSES];
        int count = w.coldCount;
        if (proxy) {
            SyncGuard hold(req, proxy->lock);
            count = proxy->pool->addressCount;
            std::copy_n(proxy->pool->addresses, count, addresses);
        } else {
            std::copy_n(w.coldAddresses, count, addresses);
        }
        w.running = qnCheckStart(w.check, addresses, count, nowMono,
                                 qnCheckSettingsInUse().timeoutMs, appUri);
        if (!w.running) record(w, w.check.error);
    }
}

// Waits at most waitMs (less when a check's time runs out sooner, or the checker is
// woken) and moves every running check on.
void waitAndStep(qnChecker* checker, int waitMs) {
    std::vector<pollfd> fds{{checker->wake[0], POLLIN, 0}};
    int64_t until = qnMonoMillis() + waitMs;
    for (Watched& w : checker->watched) {
        if (!w.running) continue;
        fds.push_back({qnCheckSocket(w.check), qnCheckEvents(w.check), 0});
        until = std::min(until, w.check.deadlineMono);
    }
    const int timeout = int(std::clamp<int64_t>(until - qnMonoMillis(), 0, waitMs));
    if (poll(fds.data(), fds.size(), timeout) > 0 && fds[0].revents) {
        char drained[64];
        while (read(checker->wake[0], drained, sizeof drained) > 0) {
        }
    }
    const int64_t nowMono = qnMonoMillis();
    size_t at = 1;
    for (Watched& w : checker->watched) {
        if (!w.running) continue;
        const short revents = fds[at++].revents;
        if (qnCheckStep(w.check, revents, nowMono)) record(w, w.check.error);
    }
}

// The table's own view of the server follows the verdict, when the verdict is newer than
// the table's last move of it. Returns what it did: -1 out, 1 back in, 0 nothing.
int applyTo(quon_request* req, const Holder& h, const qnHealthSlot* slot) {
    SyncGuard hold(req, h.table->tableLock);
    quonProxy* proxy = h.proxy;
    const int32_t master = listSlotOf(&h.table->servers, proxy);
    if (master < 0) return 0;
    constexpr auto relaxed = std::memory_order_relaxed;
    const bool in = h.table->servers.active[master] != 0;
    const int64_t stalledMono = slot->stalledMono.load(relaxed);
    if (in && slot->verdict.load(relaxed) == QN_HEALTH_DOWN &&
        slot->changedMono.load(relaxed) > proxy->upSinceMono.load(relaxed)) {
        removeProxy(h.table, proxy, req, 0);
        proxy->outEpoch.fetch_add(1, relaxed);
        SyncGuard proxyHold(req, proxy->lock);
        setNextProxyRetryTime(req, proxy, nowSeconds());
        return -1;
    }
    // A stalled server gets no new request, and the requests waiting on it give up as for
    // a silent one: each holds a worker of the web server for as long as it waits.
    if (in && stalledMono != 0 && stalledMono > proxy->upSinceMono.load(relaxed)) {
        removeProxy(h.table, proxy, req, 0);
        proxy->outEpoch.fetch_add(1, relaxed);
        return -1;
    }
    const int64_t downSince = proxy->downSinceMono.load(relaxed);
    const bool stallEnded = slot->stallEndedMono.load(relaxed) > downSince &&
                            slot->verdict.load(relaxed) != QN_HEALTH_DOWN;
    if (!in && !proxy->delisted.load(relaxed) && stalledMono == 0 &&
        slot->verdict.load(relaxed) != QN_HEALTH_DOWN &&
        (slot->lastOkMono.load(relaxed) > downSince || stallEnded)) {
        if (addProxy(h.table, proxy, req, 0) != 0) return 0;
        proxy->nextProxyRetryTime.store(0, relaxed);
        // A server that was down may come back with other mappings: fetched at once.
        proxy->nextMapCheckTime.store(0, relaxed);
        return 1;
    }
    return 0;
}

// How many of the table's servers take requests, and how many it has.
void countServers(quon_request* req, mappingsTable* table, int& active, int& all) {
    SyncGuard hold(req, table->tableLock);
    all = table->servers.count;
    active = 0;
    for (int32_t slot = 0; slot < all; ++slot) active += table->servers.active[slot] != 0;
}

// Whether a server of one of the tables that hold w, other than w's, takes requests and
// answers them (one that no check watches counts when its table has it active).
bool othersAnswer(quon_request* req, const Watched& w, int64_t nowMono) {
    for (const Holder& h : w.holders) {
        SyncGuard hold(req, h.table->tableLock);
        const proxyList& servers = h.table->servers;
        for (int32_t slot = 0; slot < servers.count; ++slot) {
            const quonProxy* other = servers.proxies[slot];
            if (!other || other == h.proxy || !servers.active[slot]) continue;
            const qnHealthSlot* health = other->health.load(std::memory_order_relaxed);
            if (!health || qnAnswering(health, nowMono)) return true;
        }
    }
    return false;
}

// What the requests tell of each server's application: stalls that begin and end.
void reviewStalls(qnChecker* checker, quon_request* req) {
    const int64_t nowMono = qnMonoMillis();
    for (Watched& w : checker->watched) {
        if (!w.slot) continue;
        const int change = qnStallReview(w.slot, othersAnswer(req, w, nowMono), nowMono,
                                         qnWallMillis(), &w.stalledForMs);
        if (change != QN_STALL_SAME) w.stallChange = change;
    }
}

// The line of a server that went down or stalled, for each table that holds it.
void tellOut(quon_request* req, const Watched& w, const char* format, const char* reason) {
    for (const Holder& h : w.holders) {
        int active = 0, all = 0;
        countServers(req, h.table, active, all);
        req->logAt(req, QN_LOG_WARN, format, w.name, reason, active, all,
                   h.table->label ? h.table->label : "-");
    }
}

// Every verdict applied to every table; a change this process recorded is said once.
void applyAll(qnChecker* checker, quon_request* req) {
    for (Watched& w : checker->watched) {
        if (!w.slot) continue;
        for (const Holder& h : w.holders)
            if (applyTo(req, h, w.slot) > 0) qnWakeUpkeep(h.table);
        // A server the table waits for came back: its next try comes now, not after the
        // back-off. Only on the change: a verdict that was up already (another Apache's,
        // before this one started) would spend the try that a request may bring forward.
        if (w.coldTable && w.change == QN_HEALTH_CAME_UP) serverCameBack(w.coldTable);
        if (w.stallChange == QN_STALL_BEGAN) {
            char reason[96];
            qnStallReason(w.slot, qnMonoMillis(), reason, sizeof reason);
            tellOut(req, w, kStalled, reason);
        } else if (w.stallChange == QN_STALL_ENDED) {
            req->logAt(req, QN_LOG_NOTICE, kStallEnded, w.name, (long long)(w.stalledForMs / 1000));
        }
        w.stallChange = QN_STALL_SAME;
        if (w.change == QN_HEALTH_WENT_DOWN) {
            tellOut(req, w, kWentDown,
                    qnCheckReason(w.slot->lastError.load(std::memory_order_relaxed)));
        } else if (w.change == QN_HEALTH_CAME_UP) {
            req->logAt(req, QN_LOG_NOTICE, kCameUp, w.name, (long long)(w.downForMs / 1000));
        }
        w.change = QN_HEALTH_SAME;
    }
}
}  // namespace

qnChecker* qnCheckerNew(quon_request* req, mappingsTable* const* tables, int count) {
    auto* checker = new (std::nothrow) qnChecker();
    if (!checker) return nullptr;
    if (pipe2(checker->wake, O_NONBLOCK | O_CLOEXEC) != 0) {
        req->logAt(req, QN_LOG_ERROR, "health checks: no wake pipe: %s", strerror(errno));
        delete checker;
        return nullptr;
    }
    checker->tables.assign(tables, tables + std::max(count, 0));
    checker->pid = int32_t(getpid());
    return checker;
}

void qnCheckerDelete(qnChecker* checker) {
    if (!checker) return;
    for (Watched& w : checker->watched) qnCheckCancel(w.check);
    close(checker->wake[0]);
    close(checker->wake[1]);
    delete checker;
}

void qnCheckerTurn(qnChecker* checker, quon_request* req, int waitMs) {
    gather(checker, req, qnMonoMillis());
    startDue(checker, req, qnMonoMillis());
    waitAndStep(checker, waitMs);
    reviewStalls(checker, req);
    applyAll(checker, req);
}

void qnCheckerRun(qnChecker* checker, quon_request* req, const std::atomic<int>& stop) {
    while (!stop.load()) qnCheckerTurn(checker, req, kTurnMs);
}

void qnCheckerWake(qnChecker* checker) {
    const char byte = 1;
    if (checker && write(checker->wake[1], &byte, 1) < 0) {
        // A full pipe already wakes the checker.
    }
}

void qnSetChecker(qnChecker* checker) { gChecker.store(checker); }

void qnWakeChecker() { qnCheckerWake(gChecker.load()); }
