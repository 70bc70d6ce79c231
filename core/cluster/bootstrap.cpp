// The bootstrap server: asked, through a temporary proxy, for the cluster's member list,
// whose servers the table then creates and adds.
#include "log_limit.h"
#include "property.h"
#include "proxy.h"
#include "sync.h"
#include "table.h"
#include "table_lists.h"

namespace {
constexpr const char* kNoBootstrap = "can't retrieve servers from server, no bootstrap specified.";
constexpr const char* kTrying = "trying to bootstrap from \"%s\"";
constexpr const char* kMembersSet = "clustered-servers";

// The sequence number under tableLock; the servers join as addRemoteJvms adds them.
int32_t addMembers(mappingsTable* table, quon_request* req, propertyTable* list, int32_t seq) {
    if (seq > 0) {
        SyncGuard hold(req, table->tableLock);
        table->clustered = 1;
        table->clusterSeq = seq;
    }
    int32_t added = addRemoteJvms(table, req, list);
    if (added > 0) {
        SyncGuard hold(req, table->tableLock);
        table->bootstrapped = 1;
    }
    return added;
}
}  // namespace

int32_t retrieveServersFromBootstrapServer(mappingsTable* table, quon_request* req) {
    const char* bootstrap = table->bootstrapServer;
    if (!bootstrap || !*bootstrap) {
        req->logAt(req, QN_LOG_INFO, "%s", kNoBootstrap);
        return 0;
    }
    req->trace(req, kTrying, bootstrap);
    quonProxy* proxy = quonProxyNew(req);
    if (!proxy) return 0;
    if (proxy->initProxy(proxy, req, bootstrap, table->proxyRetryInterval, 1) != 0) {
        proxy->destroy(proxy, req);
        return 0;
    }
    // The exchange runs with no lock held: no request waits on it. Its failure lines keep
    // to one per interval over the tries, not one per try.
    qnLogLimitsCopy(proxy->logLimits, table->bootstrapLogLimits);
    int32_t seq = -1;
    propertyTable* list = proxy->fetchProps(req, proxy, kMembersSet, &seq);
    qnLogLimitsCopy(table->bootstrapLogLimits, proxy->logLimits);
    int32_t added = 0;
    if (list && list->count > 0)
        added = addMembers(table, req, list, seq);
    else
        freeProperties(req, list);
    proxy->destroy(proxy, req);
    return added;
}
