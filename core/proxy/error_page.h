// What the web client gets when a request cannot be served: an error page with status
// 503 (a redirect when an error URL is configured), or 504 when the server did not finish
// its response in time; nothing when the client is gone or another server is still to be
// tried.
#pragma once

#include "export.h"
#include "log_limit.h"
#include "proxy_types.h"
#include "request_types.h"

// proxy may be null. Called once per failed attempt, before its connection is destroyed.
// The lines that repeat while servers are down are limited by limits, or by the proxy's
// when limits is null (by neither without a proxy).
QN_EXPORT void proxyerror(quon_request* req, quonProxy* proxy, qnLogLimits* limits = nullptr);
