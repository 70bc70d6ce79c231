// The health board (health_types.h): finding a server's slot, claiming its next check,
// and recording what a check found. Every call may run in any process and thread at once.
#pragma once

#include <cstdint>

#include "clock.h"
#include "health_types.h"

// The board that every process shares, set by the web server before its children start
// checking; without one, each process keeps a board of its own. Null restores that.
void qnSetHealthBoard(qnHealthBoard* board);
qnHealthBoard* qnHealthBoardInUse();
// Lays a board out in zeroed memory: every slot free.
void qnHealthBoardInit(qnHealthBoard* board);
// The settings every check, claim and verdict of this process follows; the defaults until
// the web server sets its own (before its children start).
void qnSetCheckSettings(const qnCheckSettings& settings);
const qnCheckSettings& qnCheckSettingsInUse();

// The slot of server name, claimed when none has it yet (a slot no process has wanted for
// QN_HEALTH_RECLAIM_MS is taken over); null when the board is full. Marks it wanted.
qnHealthSlot* qnHealthFor(qnHealthBoard* board, const char* name, int64_t nowMono);
// The slot of name, or null; claims nothing.
qnHealthSlot* qnHealthFind(qnHealthBoard* board, const char* name);
// Whether slot still belongs to name (a slot can be taken over once nobody wants it).
bool qnHealthOwns(const qnHealthSlot* slot, const char* name);

// This process's turn to check the server: true when the check is due, with the next one
// moved an interval ahead; then the caller checks and records the outcome.
bool qnHealthClaim(qnHealthSlot* slot, int64_t nowMono, int32_t pid);
// This process's turn to bring forward a first initialisation from the bootstrap server of
// slot, for requests that found its table not ready: at most once a check interval in the
// whole web server, as the server's checks.
bool qnHealthClaimInit(qnHealthSlot* slot, int64_t nowMono);
// The server is checked at the next look of any process (the operator enabled it).
void qnHealthCheckSoon(qnHealthSlot* slot);

// What a recorded check changed.
inline constexpr int QN_HEALTH_SAME = 0;
inline constexpr int QN_HEALTH_WENT_DOWN = 1;  // it missed `fall` checks in a row
inline constexpr int QN_HEALTH_CAME_UP = 2;    // it answered `rise` in a row after being down
// Books one check of millis that ended at nowMono: error 0 when the server answered, else
// why not; a failure of this process's own (qnLocalFailure) books nothing. A miss that does not
// take the server out yet makes the next check due at once. Exactly one caller sees each
// change; *downForMs tells how long a server that came up was down.
int qnHealthRecord(qnHealthSlot* slot, int error, int millis, int64_t nowMono, int64_t nowWall,
                   int64_t* downForMs);
// Whether a check failed for a reason of the process that made it (no descriptor or
// memory left, the check given up), not of the server's: no miss of the server.
bool qnLocalFailure(int error);
// Whether the checks took the server of slot out because it did not answer in time (it
// may still take connections, and pings): true only while slot still belongs to name.
bool qnHealthSilent(const qnHealthSlot* slot, const char* name);
// The reason of a failed check for people: "connection refused", "no answer in time", ...
const char* qnCheckReason(int error);
