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
    return static_cast<int32_t>(uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 |
                                uint32_t(b[3]));
}

// length when every byte went out, else -1 (errorCode as the send operation left it);
// *sentOut, when given, the bytes that went out either way.
int sendBytes(quon_request* req, const char* buffer, int length, int sock, int* sentOut = nullptr);

// Scratch memory of one exchange, from the record's malloc: answers to the server's
// questions and strings that no command keeps. It grows only for a larger piece, so an
// exchange of any length costs a few blocks, even where free releases nothing.
class ExchangeBuffer {
public:
    explicit ExchangeBuffer(quon_request* req) : req_(req) {}
    ~ExchangeBuffer();
    ExchangeBuffer(const ExchangeBuffer&) = delete;
    ExchangeBuffer& operator=(const ExchangeBuffer&) = delete;
    // At least size bytes, the first keep of them as they were; null without memory
    // (errorCode ENOBUFS).
    char* reserve(int size, int keep = 0);

private:
    quon_request* req_;
    char* data_ = nullptr;
    int size_ = 0;
};

// Reads from conn go through its receive buffer, refilled with one recv call at a time;
// a read of at least a buffer's size that finds it empty goes straight to its destination.
// 0 when exactly length bytes arrived, else -1; ECONNRESET when the peer closed.
int readFully(quon_request* req, char* buffer, int length, quonConnection* conn, quonProxy* proxy);
// The next int32 of the stream; false when it could not be read.
bool readInt32(quon_request* req, quonConnection* conn, quonProxy* proxy, int32_t* value);
// The next 1 to most bytes (most > 0) of the stream: the buffered ones, else those of one
// receive, into the buffer or, for a read of at least the buffer's size, straight into
// room when one is given. They stay valid until the next read on conn. Their count, or -1.
int readPiece(quon_request* req, quonConnection* conn, quonProxy* proxy, int most,
              const char** piece, char* room = nullptr, int roomSize = 0);
// The length word of a string sent with command. A negative length or one above limit is
// a protocol error: logged, errorCode EQUON_OUT_OF_SYNC, false.
bool readLength(quon_request* req, quonConnection* conn, quonProxy* proxy, const char* command,
                int limit, int32_t* length);
// A length beyond its bound: errorCode EQUON_OUT_OF_SYNC and the log line naming the
// server, the command, the length as sent and the bound.
void protocolError(quon_request* req, const quonProxy* proxy, const char* command, int length,
                   int limit);
// A string of at most limit bytes in a new buffer from malloc, NUL after its bytes; null
// on failure. The caller frees it.
char* readData(quonConnection* conn, quon_request* req, int* length, quonProxy* proxy,
               const char* command, int limit);
// The same into scratch at offset (its earlier bytes kept); the string, or null.
char* readData(quonConnection* conn, quon_request* req, int* length, quonProxy* proxy,
               const char* command, int limit, ExchangeBuffer& scratch, int offset = 0);
// Bounds of the record, the defaults where the record has none.
int maxHeaderSize(const quon_request* req);
int maxPropsSize(const quon_request* req);

// Sends text (null counts as empty) as a string in one send.
int writeString(quon_request* req, int sock, const char* text);
int writeString(quon_request* req, int sock, const char* text, ExchangeBuffer& scratch);
// Puts text as a string at buffer + offset; returns the offset after it.
int appendString(char* buffer, int offset, const char* text);

// Sends message on a pooled connection and reads the first code of the answer into
// *cmd. A message that is not repeatable goes out again on another connection only when
// none of it went out before; *delivered (when given) becomes true once any of its bytes
// went out. Returns the connection, still checked out, or null.
quonConnection* sendCommand(quonProxy* proxy, quon_request* req, const char* message, int length,
                            int32_t* cmd, bool repeatable, bool* delivered = nullptr);
// Sends PROXY_PING; nothing is read back. 4, or -1.
int sendPingMsg(quon_request* req, quonProxy* proxy, int sock);
// The props exchange for the set name: a new table owned by the caller, or null.
propertyTable* fetchProps(quon_request* req, quonProxy* proxy, const char* name,
                          int32_t* clusterSeq);
