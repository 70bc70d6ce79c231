// Codes of the binary protocol between the connector and a back-end Quon server.
// This header is the one piece shared with the reference back-end: it holds numbers
// only, so that a misreading of the protocol cannot hide on both sides.
//
// Encoding: every number is an int32 in network byte order; a string is an int32
// length N followed by N bytes (N = 0 is both empty and absent); every message opens
// with a code, except the two bare-string answers to PROXY_GET_HEADER and
// PROXY_GET_REALPATH. Only PROXY_SERVICE_40 carries a length word after its code.
#pragma once

#include <cstdint>

// Message codes. S->C: server to connector; C->S: connector to server.
inline constexpr int32_t PROXY_GET_HEADER = 3;         // S->C string name; answer: bare string
inline constexpr int32_t PROXY_GET_REALPATH = 4;       // S->C string uri; answer: bare string
inline constexpr int32_t PROXY_PUT_STATUS = 6;         // S->C int32 status, string reason
inline constexpr int32_t PROXY_PUT_HEADER = 7;         // S->C string "Name: value\r\n"...
inline constexpr int32_t PROXY_PUT_CLIENT = 8;         // S->C string body bytes
inline constexpr int32_t PROXY_FINISH = 9;             // S->C exchange ended well
inline constexpr int32_t PROXY_PING = 12;              // C->S no payload, no answer
inline constexpr int32_t PROXY_GET_PROPS = 13;         // C->S string set name
inline constexpr int32_t PROXY_PUT_PROPS = 14;         // S->C string property text
inline constexpr int32_t PROXY_GET_DATA = 15;          // S->C int32 bytes wanted
inline constexpr int32_t PROXY_POST_DATA = 16;         // C->S int32 count, count bytes
inline constexpr int32_t PROXY_SET_ATTRIBUTE = 18;     // S->C string name, string value
inline constexpr int32_t PROXY_PUT_HEADER_VALUE = 37;  // S->C string name, string value
inline constexpr int32_t PROXY_BUSY = 38;              // S->C exchange ended as failed
inline constexpr int32_t PROXY_SERVICE_40 = 39;        // C->S int32 length, items
inline constexpr int32_t PROXY_PUT_CLUSTER_SEQ = 40;   // S->C int32 sequence number
inline constexpr int32_t PROXY_PUT_LOAD_VALUE = 41;    // S->C int32 load value

// Item codes inside PROXY_SERVICE_40, in their own space. Items go in this order:
// attributes (18), the thirteen CGI variables, URI, optional ARG, headers, optional
// SESSION_ID, END.
inline constexpr int32_t SERVICE_ATTRIBUTE = 18;  // string name, string value (raw bytes)
inline constexpr int32_t SERVICE_QUERY_STRING = 19;
inline constexpr int32_t SERVICE_REMOTE_HOST = 20;
inline constexpr int32_t SERVICE_REMOTE_ADDR = 21;
inline constexpr int32_t SERVICE_REQUEST_METHOD = 22;
inline constexpr int32_t SERVICE_URI = 23;
inline constexpr int32_t SERVICE_SERVER_NAME = 24;
inline constexpr int32_t SERVICE_SERVER_PORT = 25;
inline constexpr int32_t SERVICE_SERVER_PROTOCOL = 26;
inline constexpr int32_t SERVICE_PATH_TRANSLATED = 27;
inline constexpr int32_t SERVICE_PATH_INFO = 28;
inline constexpr int32_t SERVICE_SCRIPT_NAME = 29;
inline constexpr int32_t SERVICE_ARG = 30;
inline constexpr int32_t SERVICE_END = 31;  // no fields; the last four bytes
inline constexpr int32_t SERVICE_HEADER = 32;  // string name, string value
inline constexpr int32_t SERVICE_SERVER_PORT_SECURE = 33;
inline constexpr int32_t SERVICE_REMOTE_USER = 34;
inline constexpr int32_t SERVICE_AUTH_TYPE = 35;
inline constexpr int32_t SERVICE_SESSION_ID = 42;

// Largest request-body count in one PROXY_POST_DATA answer.
inline constexpr int32_t PROXY_POST_DATA_MAX = 40960;
