#include "request.h"

#include <cstring>

#include "address.h"
#include "attributes.h"
#include "memory.h"
#include "socket.h"
#include "sync.h"

void init_quon_request(quon_request* req) {
    memset(req, 0, sizeof *req);
    req->type = QN_TYPE_DEFAULTS;
    req->startTime = nowMillis();
    req->logAt = qnLogAtNoop;
    req->trace = qnTraceNoop;
    req->traceE = qnTraceENoop;
    req->fileOpen = qnFileOpen;
    req->malloc = req->permMalloc = qnMalloc;
    req->free = req->permFree = qnFree;
    req->strdup = qnStrdup;
    req->permStrdup = qnPermStrdup;
    req->freeHeader = qnFreeHeaderNoop;
    req->connect = qnConnect;
    req->resolve = qnResolve;
    req->send = qnSend;
    req->recv = qnRecv;
    req->closeSocket = qnCloseSocket;
    req->pending = qnPending;
    req->getAttribute = getAttribute;
    req->getAttributeSize = getAttributeSize;
    req->getAttributeNames = getAttributeNames;
    req->setAttribute = setAttribute;
    req->freeAttributes = freeAttributes;
    req->freeAttributeNames = freeAttributeNames;
    int timeouts[3];
    initializeSocketTimeouts(req, timeouts);
    req->connectTimeout = timeouts[0];
    req->sendTimeout = timeouts[1];
    req->recvTimeout = timeouts[2];
    req->maxHeaderSize = QN_DEFAULT_MAX_HEADER_SIZE;
    req->maxPropsSize = QN_DEFAULT_MAX_PROPS_SIZE;
}
