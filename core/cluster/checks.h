// The health checks of one process: every server of every table it has, checked on a
// schedule of its own by one loop that waits on all checks at once, so that a silent
// server costs its own check and nothing else. The schedule and the verdicts live on
// the shared health board (health.h): the whole web server checks each server about once
// a second, whichever of its processes does. Each process applies the verdicts to its own
// tables: a server that misses `fall` checks in a row is taken out of rotation at
// once (and its exchanges still waiting for a first byte give up), and a server taken
// out that answers a check again is put back and its mappings refreshed.
#pragma once

#include <atomic>

#include "request_types.h"

struct mappingsTable;
struct qnChecker;

// A checker of count tables (which outlive it); null without memory or a wake pipe.
qnChecker* qnCheckerNew(quon_request* req, mappingsTable* const* tables, int count);
void qnCheckerDelete(qnChecker* checker);
// Runs turns until stop is set; a turn waits at most a quarter of a second.
void qnCheckerRun(qnChecker* checker, quon_request* req, const std::atomic<int>& stop);
// One turn: checks that fell due begin, those running go on for at most waitMs, their
// outcomes are recorded, and every verdict is applied to the tables.
void qnCheckerTurn(qnChecker* checker, quon_request* req, int waitMs);
// Ends the checker's wait at once (from any thread), so that a check made due now runs.
void qnCheckerWake(qnChecker* checker);

// The process's checker, for the code that makes a check due (the operator's enable);
// the web server sets it while its checker runs.
void qnSetChecker(qnChecker* checker);
void qnWakeChecker();
