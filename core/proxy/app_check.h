// The application's health check: with a path configured, each health check sends,
// after PROXY_PING, a real request exchange for it (PROXY_SERVICE_40, a GET with a
// User-Agent that says it is the connector's health check) instead of the props
// exchange, so that a server whose application no longer answers is found out as one
// whose proxy service is gone. The answer counts when its status is 2xx or 3xx; any other
// status, or none before the check's deadline, is a miss.
#pragma once

#include <cstdint>

// Longest path, query included, that a check sends.
inline constexpr int QN_APP_CHECK_MAX_URI = 200;
// Room for the longest check message, props or application.
inline constexpr int QN_CHECK_MESSAGE_SIZE = 640;
// The User-Agent of every application check.
inline constexpr const char* QN_APP_CHECK_AGENT = "mod_quon22-health-check";

// A check that found the application answering with a status other than 2xx or 3xx
// fails with QN_CHECK_APP_STATUS + that status (0 when the exchange ended with none).
inline constexpr int QN_CHECK_APP_STATUS = 1 << 20;
inline constexpr int QN_CHECK_APP_STATUS_END = QN_CHECK_APP_STATUS + 1000;

// Writes PROXY_PING and the check's PROXY_SERVICE_40 for uri (a path with an optional
// query, at most QN_APP_CHECK_MAX_URI bytes) into out, which has QN_CHECK_MESSAGE_SIZE
// bytes; returns the length written, 0 when uri does not fit.
int qnAppCheckMessage(char* out, const char* uri);
// The outcome of an application check whose answer ended with status (0: none sent).
int qnAppCheckOutcome(int32_t status);
