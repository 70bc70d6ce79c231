// Membership by name: a list of server names turned into proxies (from the store or the
// bootstrap server), and the cluster's own member list applied when a server reports a
// new cluster sequence number.
#include <poll.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>

#include "address.h"
#include "network.h"
#include "check.h"
#include "health.h"
#include "log_limit.h"
#include "pool.h"
#include "property.h"
#include "sync.h"
#include "proxy.h"
#include "table.h"
#include "table_lists.h"

namespace {
constexpr const char* kMembersSet = "clustered-servers";
constexpr const char* kSeen = "%s updateClusteredServers: seq %d, seen seq %d";
constexpr const char* kStale = "%s cluster info is stale %d, refreshing ...";
constexpr const char* kNotUpdated = "%s clustered-servers not updated";
constexpr const char* kUsing = "Using sequence number %d from %s";
constexpr const char* kUpdated = "%s clusters updated using seq %d";
constexpr const char* kUpdateError = "%s error updating clusters so seq is %d";
constexpr const char* kProbeListed = "%s listed again: probed before it takes requests";

constexpr const char* kRefusedMember = "%s refused as a member: its address %s is %s";
constexpr const char* kNotJoined = "%s not joined now: %s";
constexpr const char* kCannotInit = "could not initialize proxy for %s";
constexpr const char* kTooManyNew =
    "a list names %d servers the table does not know: the first %d are tried now";
// The servers one list may bring in at a time: a list of thousands of names (a back end's
// word) costs a bounded number of lookups, checks and lines; the rest wait for the next.
constexpr int32_t kMaxNewPerList = 64;

enum class Joined { added, skipped, failed };
// Where the names to join come from: a member list (a server's word, refused where no
// server may be) or the server store (the operator's file, whose names passed that
// refusal when a list gave them, or were written by the operator: taken as configured).
enum class Source { memberList, store };

bool isBootstrap(const mappingsTable* table, const char* name) {
    return table->bootstrapServer && strcasecmp(table->bootstrapServer, name) == 0;
}

// Why name may not be a member, with the address that decides; null when it may. Each of
// its addresses (count of them, as resolved) must be one a server can be at and, with
// member networks, in one of them. The configured bootstrap server stays as configured
// (and the store's names, which joinAll does not ask about).
const char* unfitMember(const mappingsTable* table, const char* name, const qnAddress* addresses,
                        int count, char (&host)[QN_HOST_TEXT_SIZE]) {
    if (isBootstrap(table, name)) return nullptr;
    for (int i = 0; i < std::min(count, QN_MAX_ADDRESSES); ++i) {
        const char* unfit =
            unfitMemberAt(addresses[i], table->memberNetworks, table->memberNetworkCount);
        if (!unfit) continue;
        hostText(addresses[i], host);
        return unfit;
    }
    return nullptr;
}

// A host name's letter case names no other server: every name of a list is folded to
// lower case before it is compared, so that spellings of one server make one member.
void foldNames(propertyTable* list) {
    for (int32_t i = 0; list && i < list->count; ++i)
        for (char* at = list->entries[i].value; at && *at; ++at)
            *at = char(tolower(static_cast<unsigned char>(*at)));
}

// A new proxy for name, initialised from its server (connect, ping, its properties and
// mappings) with no lock held, then added to the table under tableLock. Skipped when it
// cannot be made at all, the master list is full, or another thread added the name
// meanwhile; failed when the server could not be initialised (the proxy is destroyed
// then). A member list's server is held to membernetworks at every later lookup of its
// name too. The first server to join makes the table ready for requests, while the
// others still join. tableLock not held.
Joined joinNewServer(mappingsTable* table, quon_request* req, const char* name, Source source) {
    {
        SyncGuard hold(req, table->tableLock);
        if (table->servers.count >= QN_MAX_PROXIES) {
            logListFull(req, &table->logLimits.kinds[QN_LIMIT_FULL], name, QN_MASTER_LIST,
                        table->servers.count);
            return Joined::skipped;
        }
    }
    quonProxy* proxy = quonProxyNew(req);
    if (!proxy) return Joined::skipped;
    if (source == Source::memberList && table->memberNetworkCount > 0 &&
        !isBootstrap(table, name)) {
        proxy->allowedNetworks = table->memberNetworks;
        proxy->allowedNetworkCount = table->memberNetworkCount;
    }
    qnLogLimitsCopy(proxy->logLimits, table->joinLogLimits);
    if (proxy->initProxy(proxy, req, name, table->proxyRetryInterval, 0) != 0) {
        qnLogLimitsCopy(table->joinLogLimits, proxy->logLimits);
        proxy->destroy(proxy, req);
        return Joined::failed;
    }
    SyncGuard hold(req, table->tableLock);
    if (hasProxyNamed(table, name) < 0 && addProxy(table, proxy, req, 0) == 0) {
        table->initialized.store(1, std::memory_order_release);
        return Joined::added;
    }
    hold.unlock();
    proxy->destroy(proxy, req);
    return Joined::skipped;
}

// Servers that may join: each is checked first, all at once (check.h), and those that
// answered join, in the list's order, so that a server that takes connections and never
// answers holds up the others hardly at all; it is tried again with the list.
struct Candidate {
    const char* name = nullptr;
    qnLookup* lookup = nullptr;  // the lookup of its name, until it ends
    qnAddress addresses[QN_MAX_ADDRESSES];
    int found = 0;  // addresses the lookup found
    qnCheck check;
    qnHealthSlot* slot = nullptr;  // its slot on the health board; null when none was left
    // Another process's check of the server is awaited (until waitUntil), one that had
    // ended checksBefore checks when the wait began at waitSince.
    int64_t waitSince = 0, waitUntil = 0;
    uint64_t checksBefore = 0;
    bool checked = false;  // a check began (and may have ended at once)
    bool running = false;
    bool settled = false;  // joined, or given up after its check
};

// Once a check has answered, the others' are waited for this much longer before those
// that answered join: a healthy cluster's checks all answer within it (and so join in the
// list's order), while a member that never answers holds the others up no longer.
constexpr int64_t kJoinGraceMs = 100;
// How often a check that another process makes is looked at while it is awaited.
constexpr int64_t kSharedLookMs = 20;

// A check made here goes on the board as any health check of the server; one that
// failed for a local reason (no descriptor, no memory, the upkeep stopping) is no miss.
void recordOwn(Candidate& c, int64_t nowMono) {
    if (!c.slot) return;
    const int millis = int(std::clamp<int64_t>(nowMono - c.check.startedMono, 0, 1 << 30));
    qnHealthRecord(c.slot, c.check.error, millis, nowMono, qnWallMillis(), nullptr);
}

// The candidate's check, shared through the health board with every process of the web
// server and with the health checks: an answer of the last interval is taken as it is,
// a check under way elsewhere is awaited, a miss of the last interval is taken as it is,
// and only a check that is due is made here (and recorded there). However many children,
// tables and lists name a server, it is then checked about once an interval. The check's
// time starts with its own connect, never before its name was looked up.
void beginCheck(Candidate& c, const qnAddress* addresses, int count) {
    constexpr auto relaxed = std::memory_order_relaxed;
    const qnCheckSettings& settings = qnCheckSettingsInUse();
    const int64_t now = qnMonoMillis();
    c.slot = qnHealthFor(qnHealthBoardInUse(), c.name, now);
    if (!c.slot || qnHealthClaim(c.slot, now, int32_t(getpid()))) {
        c.running = qnCheckStart(c.check, addresses, count, now, settings.timeoutMs);
        if (!c.running) recordOwn(c, now);
        return;
    }
    if (c.slot->lastOkMono.load(relaxed) >= now - settings.intervalMs) return;
    const int lastError = c.slot->lastError.load(relaxed);
    if (c.slot->checking.load(relaxed) == 0 && lastError != 0) {
        c.check.error = lastError;
        return;
    }
    c.running = true;
    c.waitSince = now;
    c.waitUntil = now + settings.timeoutMs + kJoinGraceMs;
    c.checksBefore = c.slot->checks.load(relaxed);
}

// Whether the check another process makes of the candidate's server has ended (its
// outcome is then the candidate's), or has taken longer than a check may.
bool sharedEnded(Candidate& c, int64_t nowMono) {
    constexpr auto relaxed = std::memory_order_relaxed;
    if (c.slot->lastOkMono.load(relaxed) >= c.waitSince - qnCheckSettingsInUse().timeoutMs) {
        c.check.error = 0;
        return true;
    }
    if (c.slot->checks.load(relaxed) != c.checksBefore) {
        c.check.error = c.slot->lastError.load(relaxed);
        if (c.check.error == 0) c.check.error = EQUON_RESPONSE_TIMEOUT;
        return true;
    }
    if (nowMono < c.waitUntil) return false;
    c.check.error = EQUON_RESPONSE_TIMEOUT;
    return true;
}

// Names looked up at once at most: a list's names are looked up in batches of this many.
constexpr int32_t kLookupBatch = 16;

// Every name is looked up before any check begins (a check's time is its own), a batch at
// once, each batch within one bound, so that a slow resolver costs its time once a batch
// and a name it never answers costs no more; then each name that may be a member is checked.
void checkCandidates(mappingsTable* table, quon_request* req, const char* const* names,
                     int32_t count, Source source, Candidate* candidates, bool* failed) {
    int32_t room;
    {
        SyncGuard hold(req, table->tableLock);
        room = QN_MAX_PROXIES - table->servers.count;
    }
    for (int32_t i = 0; i < count; ++i) {
        candidates[i] = Candidate{};
        candidates[i].name = names[i];
        // No server is made, or checked, for a master list that cannot take it.
        if (i >= room)
            logListFull(req, &table->logLimits.kinds[QN_LIMIT_FULL], names[i], QN_MASTER_LIST,
                        QN_MAX_PROXIES - room);
    }
    const int32_t tried = std::min(count, room);
    for (int32_t from = 0; from < tried; from += kLookupBatch) {
        const int32_t to = std::min(tried, from + kLookupBatch);
        for (int32_t i = from; i < to; ++i)
            candidates[i].lookup = lookUpServer(req, candidates[i].name);
        const int64_t lookedUpBy = qnMonoMillis() + QN_LOOKUP_WAIT_MS;
        for (int32_t i = from; i < to; ++i) {
            Candidate& c = candidates[i];
            c.found = lookedUp(req, c.lookup, c.name, lookedUpBy, c.addresses,
                               &table->logLimits.kinds[QN_LIMIT_LOOKUP]);
            c.lookup = nullptr;
        }
    }
    for (int32_t i = 0; i < tried; ++i) {
        Candidate& c = candidates[i];
        *failed |= c.found == 0;
        if (c.found == 0) {
            logLimited(req, &table->logLimits.kinds[QN_LIMIT_UNJOINED], QN_LOG_ERROR, kCannotInit,
                       c.name);
            continue;
        }
        // Refused before any connect, the check's included.
        char host[QN_HOST_TEXT_SIZE];
        const char* unfit = source == Source::memberList
                                ? unfitMember(table, c.name, c.addresses, c.found, host)
                                : nullptr;
        if (unfit) {
            req->logAt(req, QN_LOG_ERROR, kRefusedMember, c.name, host, unfit);
            continue;
        }
        c.checked = true;
        if (table->joinChecks) beginCheck(c, c.addresses, c.found);
    }
}

// Waits for the candidates' checks, bounded by their time-out, until every one has ended,
// or kJoinGraceMs after the first of them answered, or until the upkeep stops. True while
// checks still run.
bool awaitChecks(quon_request* req, Candidate* candidates, int32_t count, pollfd* fds) {
    int64_t firstEnded = 0;  // when the first check answered
    for (;;) {
        int32_t polled = 0;
        bool pending = false, shared = false;
        int64_t until = firstEnded ? firstEnded + kJoinGraceMs : INT64_MAX;
        for (int32_t i = 0; i < count; ++i) {
            const Candidate& c = candidates[i];
            if (!c.running) continue;
            pending = true;
            shared |= c.waitUntil != 0;
            if (c.waitUntil != 0) {
                until = std::min(until, c.waitUntil);
                continue;
            }
            fds[polled++] = {qnCheckSocket(c.check), qnCheckEvents(c.check), 0};
            until = std::min(until, c.check.deadlineMono);
        }
        if (!pending) return false;
        if (firstEnded && qnMonoMillis() >= firstEnded + kJoinGraceMs) return true;
        const bool cancelled = req->cancelled && req->cancelled->load();
        const int64_t wait =
            std::clamp<int64_t>(until - qnMonoMillis(), 0, shared ? kSharedLookMs : 100);
        if (!cancelled) poll(fds, nfds_t(polled), int(wait));
        const int64_t now = qnMonoMillis();
        for (int32_t i = 0, at = 0; i < count; ++i) {
            Candidate& c = candidates[i];
            if (!c.running) continue;
            if (c.waitUntil != 0) {
                if (cancelled)
                    c.check.error = ECANCELED;
                else if (!sharedEnded(c, now))
                    continue;
            } else {
                const short revents = fds[at++].revents;
                if (cancelled) qnCheckCancel(c.check);
                if (!cancelled && !qnCheckStep(c.check, revents, now)) continue;
                recordOwn(c, now);
            }
            c.running = false;
            if (!firstEnded && c.check.error == 0) firstEnded = now;
        }
    }
}

// The candidates whose checks have ended and that are not settled yet: those that
// answered join, in the list's order; the others are given up for now.
int32_t joinAnswered(mappingsTable* table, quon_request* req, Candidate* candidates, int32_t count,
                     Source source, bool* failed) {
    int32_t added = 0;
    for (int32_t i = 0; i < count; ++i) {
        Candidate& c = candidates[i];
        if (!c.checked || c.running || c.settled) continue;
        c.settled = true;
        if (c.check.error != 0) {
            *failed = true;
            if (c.check.error != ECANCELED)
                logLimited(req, &table->logLimits.kinds[QN_LIMIT_JOIN], QN_LOG_WARN, kNotJoined,
                           c.name, qnCheckReason(c.check.error));
            continue;
        }
        const Joined joined = joinNewServer(table, req, c.name, source);
        added += joined == Joined::added;
        *failed |= joined == Joined::failed;
    }
    return added;
}

// Joins every name of names (count of them); the number added, and whether any could not
// be checked or initialised. tableLock not held.
int32_t joinAll(mappingsTable* table, quon_request* req, const char* const* names, int32_t count,
                Source source, bool* failed) {
    if (count <= 0) return 0;
    auto* candidates =
        static_cast<Candidate*>(req->malloc(req, int(sizeof(Candidate) * size_t(count))));
    auto* fds = static_cast<pollfd*>(req->malloc(req, int(sizeof(pollfd) * size_t(count))));
    int32_t added = 0;
    if (candidates && fds) {
        checkCandidates(table, req, names, count, source, candidates, failed);
        for (bool more = true; more;) {
            more = awaitChecks(req, candidates, count, fds);
            added += joinAnswered(table, req, candidates, count, source, failed);
        }
    } else {
        *failed = true;
    }
    if (candidates) req->free(req, candidates);
    if (fds) req->free(req, fds);
    return added;
}

bool listNames(const propertyTable* list, const char* name) {
    for (int32_t i = 0; i < list->count; ++i)
        if (list->entries[i].value && strcmp(list->entries[i].value, name) == 0) return true;
    return false;
}

// The names of list the table does not know, each once, in the list's order, ended by
// null, at most kMaxNewPerList of them: pointers into the list, in a block from the
// record's malloc (null without memory).
const char** unknownNames(mappingsTable* table, quon_request* req, const propertyTable* list) {
    auto* names = static_cast<const char**>(
        req->malloc(req, int(sizeof(char*) * size_t(std::min(list->count, kMaxNewPerList) + 1))));
    if (!names) return nullptr;
    int32_t count = 0, unknown = 0;
    SyncGuard hold(req, table->tableLock);
    for (int32_t i = 0; i < list->count; ++i) {
        const char* name = list->entries[i].value;
        if (!name || !*name || hasProxyNamed(table, name) >= 0) continue;
        bool twice = false;
        for (int32_t k = 0; k < count && !twice; ++k) twice = strcmp(names[k], name) == 0;
        if (twice) continue;
        ++unknown;
        if (count < kMaxNewPerList) names[count++] = name;
    }
    names[count] = nullptr;
    if (unknown > count)
        logLimited(req, &table->logLimits.kinds[QN_LIMIT_FULL], QN_LOG_WARN, kTooManyNew,
                   int(unknown), int(count));
    return names;
}

// The servers list names that the table does not know joined, names listed twice once;
// the number added. tableLock not held.
int32_t joinUnknown(mappingsTable* table, quon_request* req, const propertyTable* list,
                    Source source, bool* failed) {
    const char** unknown = unknownNames(table, req, list);
    int32_t count = 0;
    while (unknown && unknown[count]) ++count;
    const int32_t added = joinAll(table, req, unknown, count, source, failed);
    if (unknown) req->free(req, unknown);
    return added;
}

// A known server that this child took out of rotation because it could not reach it
// (its retry time is set) is not re-activated unprobed when the cluster still lists it:
// the list says who belongs, not who answers, and with a server whose connects time out
// every request that picked it would wait the whole connect time-out. Its probe is due at
// once instead: the upkeep makes it right after the list, and brings the server back as
// soon as it answers, so a restarted server is used again within seconds.
bool foundUnreachable(const quonProxy* proxy) {
    return proxy->nextProxyRetryTime.load(std::memory_order_relaxed) != 0;
}

// A known server out of rotation that the health checks watch comes back through them,
// once it answers a check (checks.h): a list says who belongs, not who answers.
bool checksBringBack(const quonProxy* proxy) {
    return proxy->health.load(std::memory_order_relaxed) != nullptr;
}

// The master list's slots as they were before a member list is applied. The slots are
// copied: the list's own arrays move when a joining server makes it grow.
struct MasterSnapshot {
    int32_t count;
    quonProxy* proxies[QN_MAX_PROXIES];
    int32_t active[QN_MAX_PROXIES];

    explicit MasterSnapshot(const proxyList& servers)
        : count(std::clamp(servers.count, 0, QN_MAX_PROXIES)) {
        if (count == 0) return;
        memcpy(proxies, servers.proxies, sizeof(quonProxy*) * size_t(count));
        memcpy(active, servers.active, sizeof(int32_t) * size_t(count));
    }
};

// Steps of a member list whose number is new: known inactive servers come back (or are
// probed first, see foundUnreachable), active ones the list no longer names go, under
// tableLock; then unknown servers join, each outside the lock. False when a listed
// server could not be initialised. tableLock not held.
bool applyMemberList(mappingsTable* table, quon_request* req, propertyTable* list) {
    foldNames(list);
    bool joins = false;
    {
        SyncGuard hold(req, table->tableLock);
        const MasterSnapshot before(table->servers);
        const int32_t now = nowSeconds();
        for (int32_t i = 0; i < list->count; ++i) {
            const char* name = list->entries[i].value;
            if (!name || !*name) continue;
            const int32_t slot = hasProxyNamed(table, name);
            joins = joins || slot < 0;
            if (slot < 0 || slot >= before.count || before.active[slot]) continue;
            quonProxy* known = table->servers.proxies[slot];
            known->delisted.store(0, std::memory_order_relaxed);
            if (checksBringBack(known)) continue;
            if (!foundUnreachable(known)) {
                addProxy(table, known, req, 0);
            } else {
                known->nextProxyRetryTime.store(now, std::memory_order_relaxed);
                req->traceE(req, QN_TRACE_EVENT, kProbeListed, known->name);
            }
        }
        for (int32_t slot = 0; slot < before.count; ++slot) {
            quonProxy* known = before.proxies[slot];
            const bool listed = listNames(list, known->name);
            known->delisted.store(listed ? 0 : 1, std::memory_order_relaxed);
            if (before.active[slot] && !listed) removeProxy(table, known, req, 0);
        }
    }
    bool failed = false;
    if (joins) joinUnknown(table, req, list, Source::memberList, &failed);
    persistServers(table, req);
    return !failed;
}

// The servers that serverList names, known ones re-activated, unknown ones joined.
int32_t addServers(mappingsTable* table, quon_request* req, propertyTable* serverList,
                   Source source) {
    foldNames(serverList);
    {
        SyncGuard hold(req, table->tableLock);
        for (int32_t i = 0; serverList && i < serverList->count; ++i) {
            const char* name = serverList->entries[i].value;
            const int32_t slot = name && *name ? hasProxyNamed(table, name) : -1;
            if (slot < 0) continue;
            quonProxy* known = table->servers.proxies[slot];
            known->delisted.store(0, std::memory_order_relaxed);
            if (table->servers.active[slot] || !checksBringBack(known))
                addProxy(table, known, req, 0);
        }
    }
    bool failed = false;
    const int32_t added = serverList ? joinUnknown(table, req, serverList, source, &failed) : 0;
    persistServers(table, req);
    freeProperties(req, serverList);
    return added;
}
}  // namespace

void setMemberNetworks(mappingsTable* table, const qnNetwork* networks, int32_t count) {
    table->memberNetworks = networks;
    table->memberNetworkCount = networks ? count : 0;
}

int32_t addRemoteJvms(mappingsTable* table, quon_request* req, propertyTable* serverList) {
    return addServers(table, req, serverList, Source::memberList);
}

int32_t addStoredServers(mappingsTable* table, quon_request* req, propertyTable* serverList) {
    return addServers(table, req, serverList, Source::store);
}

int32_t updateClusteredServers(mappingsTable* table, quon_request* req, quonProxy* proxy,
                               int32_t seq) {
    SyncGuard guard(req, table->tableLock);
    if (seq == 0 || seq == table->clusterSeq) {
        req->traceE(req, QN_TRACE_DETAIL, kSeen, proxy->name, seq, table->clusterSeq);
        return 0;
    }
    // The fetch runs with tableLock released, one at a time per table.
    if (table->memberListBusy) return 0;
    table->memberListBusy = 1;
    req->traceE(req, QN_TRACE_EVENT, kStale, proxy->name, seq);
    guard.unlock();
    int32_t newSeq = -1;
    propertyTable* list = proxy->fetchProps(req, proxy, kMembersSet, &newSeq);
    guard.relock();
    table->memberListBusy = 0;
    if (!list || list->count == 0) {
        req->traceE(req, QN_TRACE_EVENT, kNotUpdated, proxy->name);
        freeProperties(req, list);
        return -1;
    }
    // A props answer without a number of its own is the list of the number that the
    // server has just reported: applying it under -1 would make every later report
    // look new and fetch the list again.
    if (newSeq < 0) newSeq = seq;
    if (newSeq == 0 || newSeq == table->clusterSeq) {
        freeProperties(req, list);
        return 0;
    }
    table->clustered = 1;
    req->trace(req, kUsing, newSeq, proxy->name);
    guard.unlock();
    const bool applied = applyMemberList(table, req, list);
    guard.relock();
    if (applied) {
        table->clusterSeq = newSeq;
        req->traceE(req, QN_TRACE_EVENT, kUpdated, proxy->name, newSeq);
    } else {
        req->traceE(req, QN_TRACE_EVENT, kUpdateError, proxy->name, table->clusterSeq);
    }
    guard.unlock();
    freeProperties(req, list);
    return applied ? 1 : -1;
}
