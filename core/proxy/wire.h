// Primitives of the binary protocol: whole buffers, strings, the step that opens every
// exchange (with its retry on stale pooled connections), the ping, and the props
// exchange. All of them run on the caller's thread and take no lock.
#pragma once

#include <cstdint>

#include "proxy_types.h"
#include "request_types.h"

struct propertyTable;

// int32 fields go most significant byte first, whatever the host's order.
inline void putInt32(char* at, int32_t value) {
    uint32_t bits = static_cast<uint32_t>(value);
    at[0] = char(bits >> 24);
    at[1] = char(bits >> 16);
    at[2] = char(bits >> 8);
    at[3] = char(bits);
}

inline int32_t getInt32(const char* at) {
    const auto* b = reinterpret_cast<const unsigned char*>(at);
    return static_cast<int32_t>(uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 |
                                uint32_t(b[2]) << 8 | uint32_t(b[3]));
}

// length when every byte went out, else -1 (errorCode as the send operation left it).
int sendBytes(quon_request* req, const char* buffer, int length, int sock);
// 0 when exactly length bytes arrived, else -1; ECONNRESET when the peer closed.
int readFully(quon_request* req, char* buffer, int length, int sock, quonProxy* proxy);
// A string from the wire in a new buffer from malloc, NUL after its bytes; null on failure.
char* readData(int sock, quon_request* req, int* length, quonProxy* proxy);
// Sends text (null counts as empty) as a string in one send.
int writeString(quon_request* req, int sock, const char* text);
// Puts text as a string at buffer + offset; returns the offset after it.
int appendString(char* buffer, int offset, const char* text);

// Sends message on a pooled connection and reads the first code of the answer into
// *cmd. Returns the connection, still checked out, or null.
quonConnection* sendCommand(quonProxy* proxy, quon_request* req, const char* message, int length,
                            int32_t* cmd);
// Sends PROXY_PING; nothing is read back. 4, or -1.
int sendPingMsg(quon_request* req, quonProxy* proxy, int sock);
// The props exchange for the set name: a new table owned by the caller, or null.
propertyTable* fetchProps(quon_request* req, quonProxy* proxy, const char* name,
                          int32_t* clusterSeq);
