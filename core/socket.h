// Default network operations of quon_request: non-blocking IPv4 TCP sockets with a
// poll-based time-out per wait. Every outcome is left in req->errorCode.
#pragma once

#include <netinet/in.h>

#include "export.h"
#include "request_types.h"

// Default time-outs in milliseconds: connect, send, receive.
inline constexpr int QN_DEFAULT_CONNECT_TIMEOUT = 15000;
inline constexpr int QN_DEFAULT_SEND_TIMEOUT = 15000;
inline constexpr int QN_DEFAULT_RECV_TIMEOUT = 300000;

// Writes the three defaults, connect, send, receive, into destination[0..2].
QN_EXPORT void initializeSocketTimeouts(quon_request* req, int* destination);

// Text of an error number (system or connector code) for messages; the text lives in
// a buffer of the calling thread that its next call overwrites.
QN_EXPORT const char* describeError(int error);

int qnConnect(quon_request* req, const sockaddr_in* address);
int qnSend(quon_request* req, int sock, const char* buffer, int length);
int qnRecv(quon_request* req, int sock, char* buffer, int length, quonProxy* proxy);
void qnCloseSocket(quon_request* req, int sock);
