// The request message of the binary protocol, as the back-end reads it.
//
//   int32 PROXY_SERVICE_40 (39) | int32 N: bytes that follow | items, N bytes:
//     { int32 18, string name, string value }*          request attributes
//     { int32 code, string value } x 13                 CGI variables, fixed order:
//         19 QUERY_STRING, 22 REQUEST_METHOD, 29 SCRIPT_NAME, 28 PATH_INFO,
//         20 REMOTE_HOST, 21 REMOTE_ADDR, 24 SERVER_NAME, 25 SERVER_PORT,
//         26 SERVER_PROTOCOL, 27 PATH_TRANSLATED, 33 SERVER_PORT_SECURE,
//         34 REMOTE_USER, 35 AUTH_TYPE
//     int32 23, string uri
//     [ int32 30, string arg ]
//     { int32 32, string name, string value }*          request headers
//     [ int32 42, string session id ]
//     int32 31                                          end: the last four bytes
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "app.h"

namespace quon_backend {

// Largest item block the back-end accepts; a longer announced length is bad input.
inline constexpr int32_t kMaxServiceItems = 16 * 1024 * 1024;

// Reads the items (the N bytes after the length word) in the order above. Anything out
// of order, unknown, truncated or left over is an error, described in `error`.
bool parseServiceItems(std::string_view items, AppRequest& request, std::string& error);

}  // namespace quon_backend
