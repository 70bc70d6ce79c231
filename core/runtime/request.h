// Building a quon_request with the server-independent defaults.
#pragma once

#include "export.h"
#include "request_types.h"

// Zeroes the record, then installs the default operations, the start time and the
// default time-outs. The web-server slots stay null.
QN_EXPORT void init_quon_request(quon_request* req);
