#include "app_check.h"

#include <cstring>

#include "wire.h"
#include "wire_codes.h"

namespace {
// A string: its length, then its bytes.
int putString(char* out, int at, const char* text, size_t length) {
    putInt32(out + at, int32_t(length));
    memcpy(out + at + 4, text, length);
    return at + 4 + int(length);
}

int putItem(char* out, int at, int32_t code, const char* text, size_t length) {
    putInt32(out + at, code);
    return putString(out, at + 4, text, length);
}
}  // namespace

//  00 00 00 0C | 00 00 00 27 | N | QUERY_STRING, REQUEST_METHOD "GET", SERVER_PROTOCOL
//  "HTTP/1.1", the other ten variables empty, URI, HEADER User-Agent, END  -- N bytes
int qnAppCheckMessage(char* out, const char* uri) {
    const size_t whole = strnlen(uri, QN_APP_CHECK_MAX_URI + 1);
    if (whole > size_t(QN_APP_CHECK_MAX_URI) || *uri != '/') return 0;
    const char* question = static_cast<const char*>(memchr(uri, '?', whole));
    const size_t path = question ? size_t(question - uri) : whole;
    const char* query = question ? question + 1 : "";
    struct Variable {
        int32_t code;
        const char* text;
        size_t length;
    };
    const Variable variables[] = {
        {SERVICE_QUERY_STRING, query, strlen(query)},
        {SERVICE_REQUEST_METHOD, "GET", 3},
        {SERVICE_SCRIPT_NAME, "", 0},
        {SERVICE_PATH_INFO, "", 0},
        {SERVICE_REMOTE_HOST, "", 0},
        {SERVICE_REMOTE_ADDR, "", 0},
        {SERVICE_SERVER_NAME, "", 0},
        {SERVICE_SERVER_PORT, "", 0},
        {SERVICE_SERVER_PROTOCOL, "HTTP/1.1", 8},
        {SERVICE_PATH_TRANSLATED, "", 0},
        {SERVICE_SERVER_PORT_SECURE, "", 0},
        {SERVICE_REMOTE_USER, "", 0},
        {SERVICE_AUTH_TYPE, "", 0},
    };
    putInt32(out, PROXY_PING);
    putInt32(out + 4, PROXY_SERVICE_40);
    int at = 12;
    for (const Variable& v : variables) at = putItem(out, at, v.code, v.text, v.length);
    at = putItem(out, at, SERVICE_URI, uri, path);
    at = putItem(out, at, SERVICE_HEADER, "User-Agent", 10);
    at = putString(out, at, QN_APP_CHECK_AGENT, strlen(QN_APP_CHECK_AGENT));
    putInt32(out + at, SERVICE_END);
    at += 4;
    putInt32(out + 8, at - 12);
    return at;
}

int qnAppCheckOutcome(int32_t status) {
    if (status >= 200 && status < 400) return 0;
    return QN_CHECK_APP_STATUS + (status > 0 && status < 1000 ? status : 0);
}
