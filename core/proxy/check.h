// One health check of a back-end server, as a state machine that never blocks, so that
// one loop drives the checks of every server at once and a silent server costs only its
// own check: a new connection (each address in turn), PROXY_PING and a props exchange for
// "server-props", whose answer must end within the check's time-out. Only the server's
// answering counts; its text is skipped, never kept.
#pragma once

#include <cstddef>
#include <cstdint>

#include "app_check.h"
#include "request_types.h"

// The check's answer to PROXY_GET_PROPS may carry a property text: at most this many
// bytes are skipped before the check counts as a protocol error.
inline constexpr int32_t QN_CHECK_MAX_TEXT = QN_DEFAULT_MAX_PROPS_SIZE;
// The whole answer of a check, texts and commands together, is at most this many bytes
// (a server's properties are a few hundred): a server that sends without end is cut off
// here, not at the check's deadline.
inline constexpr int64_t QN_CHECK_MAX_ANSWER = 1 << 20;

struct qnCheck {
    int sock = -1;
    int phase = 0;  // what the check waits for (check.cpp)
    int error = 0;  // once done: 0 when the server answered, else errno or EQUON_*
    int64_t startedMono = 0;
    int64_t deadlineMono = 0;
    qnAddress addresses[QN_MAX_ADDRESSES];
    int count = 0;
    int at = 0;                // the address being tried
    int64_t connectUntil = 0;  // when the connect to it is given up for the next address
    char out[QN_CHECK_MESSAGE_SIZE];
    int outLength = 0;
    bool app = false;    // an application check (app_check.h)
    int32_t status = 0;  // the status the application answered; 0: none yet
    int outSent = 0;
    // The answer as it is read: the int32 being gathered, what it is, and string bytes
    // still to skip.
    unsigned char word[4];
    int wordHave = 0;
    int wordKind = 0;
    int64_t skip = 0;
    int64_t received = 0;  // bytes of the answer so far
    int stringsLeft = 0;  // strings of the command still to skip after the one being read
};

// Starts a check of the server at addresses (count of them) that must end by
// nowMono + timeoutMs, an application check of appUri when it is given (app_check.h);
// false when it ended at once (check.error says why).
bool qnCheckStart(qnCheck& check, const qnAddress* addresses, int count, int64_t nowMono,
                  int timeoutMs, const char* appUri = nullptr);
// The socket and the poll events the check waits for; -1 once it is done.
int qnCheckSocket(const qnCheck& check);
short qnCheckEvents(const qnCheck& check);
// Goes on after poll reported revents on the check's socket (0: none, the time passed);
// true once the check is done, its socket closed and check.error set.
bool qnCheckStep(qnCheck& check, short revents, int64_t nowMono);
// Walks through count bytes of the server's answer (what a receive brought): true once
// they decide the check (check.error set, its socket closed), or the answer has passed
// QN_CHECK_MAX_ANSWER bytes (a protocol error).
bool qnCheckFeed(qnCheck& check, const unsigned char* bytes, size_t count);
// Ends a check that is still running (its socket closed); check.error says ECANCELED.
void qnCheckCancel(qnCheck& check);
