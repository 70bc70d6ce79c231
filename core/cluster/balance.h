// Choice of the server for one request attempt: sticky sessions first, then the
// entry's load-balancing algorithm; and the session id and its buddy list.
#pragma once

#include <cstdint>

#include "export.h"
#include "proxy_types.h"
#include "request_types.h"
#include "table_types.h"

// Most weighted-random slots one entry keeps; larger weight totals are scaled down.
inline constexpr int32_t QN_MAX_WEIGHT_SLOTS = 1024;

// balance.cpp. The proxy for the entry at mappingIndex, or null when none can be
// chosen. tried holds the proxies this request has tried already, as the dispatch keeps
// them (from slot 0 up to the first null, at most QN_MAX_PROXIES), or is null. Every
// algorithm chooses among the active slots whose proxy was not tried and that the
// operator has neither drained nor disabled (an entry of one proxy gets that proxy unless
// the operator did) and leaves the balancing state of the tried ones alone.
// tableLock held: changes position, the weight table, weightLeft and lastActivity.
quonProxy* selectProxy(mappingsTable* table, quon_request* req, int32_t mappingIndex,
                       quonProxy* const* tried);
// balance.cpp. Whether proxy is in tried.
bool wasTried(quonProxy* const* tried, const quonProxy* proxy);

// session.cpp. The proxy that holds the request's session (sessionId) or, when it is
// marked down, disabled by the operator or in tried, its first active buddy not in tried
// and neither drained nor disabled, in the order the session id names them; null when
// none; it leaves sessionBroken set in the record when it finds none. tableLock held.
quonProxy* resolveServerId(mappingsTable* table, quon_request* req, int32_t mappingIndex,
                           quonProxy* const* tried);
// session.cpp. Leaves in the record's sessionHolder the server of the sticky entry at
// mappingIndex that holds the request's session, or null. tableLock held.
void noteSessionHolder(mappingsTable* table, quon_request* req, int32_t mappingIndex);
// Room for a session id as a log line shows it.
inline constexpr int QN_SHOWN_SESSION_SIZE = 4 * 4 + 4;
// The holder's id of a session id as a log line may show it: the first four characters,
// each outside printable ASCII as \xHH, and "..." when the id goes on. The rest of the
// id is the session's secret, and a cookie header's id runs on into the other cookies.
void showSessionId(const char* id, char (&shown)[QN_SHOWN_SESSION_SIZE]);
// The request's session id, from the "cookie" header or else from the URI: a copy the
// caller frees with the record's free, or null.
QN_EXPORT char* getSessionId(quon_request* req);
// The next buddy id in the request's sessionId after previous (null: the first), as a
// pointer into sessionId with at least four characters left, or null.
QN_EXPORT const char* getNextBuddy(quon_request* req, const char* previous);
