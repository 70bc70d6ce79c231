// A handler built only into the test build of the module: each /probe/<op> request
// builds a quon_request with init_apache_request and drives one adapter operation, so
// that the tests see through a real Apache what the operation did.
#include "quon_apache.h"

#include <algorithm>
#include <cstdlib>
#include <string>

#include <apr_strings.h>
#include <http_main.h>
#include <http_protocol.h>
#include <http_request.h>
#include <util_script.h>

#include "flags.h"
#include "pool.h"
#include "proxy.h"

namespace {
constexpr const char* kProbeHandler = "quon-probe";

struct Probe {
    request_rec* r;
    quon_request req;
    apr_table_t* args;

    const char* arg(const char* name, const char* fallback = "") const {
        const char* value = apr_table_get(args, name);
        return value ? value : fallback;
    }
    int number(const char* name, int fallback = 0) const {
        const char* value = apr_table_get(args, name);
        return value ? atoi(value) : fallback;
    }
    void say(const std::string& text) { req.writeClient(&req, text.data(), int(text.size())); }
};

std::string configOf(request_rec* r, const QuonServerConfig* conf) {
    const QuonServerConfig* main = quonConfigOf(ap_server_conf);
    return apr_psprintf(
        r->pool,
        "configured=%d\nerrorUrl=%s\nserverStore=%s\nbootstrap=%s\nverbose=%d\n"
        "traceFlags=%d\napiAlloc=%d\nignoreSuffixMap=%d\nproxyRetryInterval=%d\n"
        "connectTimeout=%d\nsendTimeout=%d\nrecvTimeout=%d\nqnMetrics=%d\nqnDebugger=%d\n"
        "sharesMainRecord=%d\nmaxHeaderSize=%d\nmaxPropsSize=%d\nresponseTimeout=%d\n",
        conf->configured, conf->errorUrl ? conf->errorUrl : "<null>",
        conf->serverStore ? conf->serverStore : "<null>",
        conf->bootstrap ? conf->bootstrap : "<null>", conf->verbose, conf->traceFlags,
        conf->apiAlloc, conf->ignoreSuffixMap, conf->proxyRetryInterval, conf->connectTimeout,
        conf->sendTimeout, conf->recvTimeout, qnMetrics, qnDebugger, conf == main ? 1 : 0,
        conf->maxHeaderSize, conf->maxPropsSize, conf->responseTimeout);
}

// ?text= (or ?len= letters and "<END>") on the ?channel= log (at ?level=, notice by
// default), trace or traceE (?flag=).
void probeLog(Probe& p) {
    std::string text = p.arg("text");
    if (int length = p.number("len"); length > 0)
        for (int i = 0; i <= length; ++i)
            text += i < length ? std::string(1, char('a' + i % 26)) : "<END>";
    const std::string channel = p.arg("channel", "log");
    if (channel == "trace")
        p.req.trace(&p.req, "%s", text.c_str());
    else if (channel == "traceE")
        p.req.traceE(&p.req, p.number("flag", 1), "%s", text.c_str());
    else
        p.req.logAt(&p.req, p.number("level", QN_LOG_NOTICE), "%s", text.c_str());
    p.say("logged\n");
}

// Waits for an answer that never comes, on a connection to the server ?server= with a
// receive time-out of ?ms=: while the server answers pings the receive waits on.
void probeWait(Probe& p) {
    quonProxy* proxy = quonProxyNew(&p.req);
    if (!proxy) return p.say("proxy=none\n");
    p.req.recvTimeout = p.number("ms", 100);  // a connection takes it when it is made
    quonConnection* conn = proxy->initProxy(proxy, &p.req, p.arg("server"), 0, 1) == 0
                               ? getQuonConnectionFromPool(proxy, &p.req)
                               : nullptr;
    if (conn) {
        p.req.logAt(&p.req, QN_LOG_NOTICE, "probe waiting");
        char byte;
        int got = p.req.recv(&p.req, conn->sock, &byte, 1, proxy);
        p.say(apr_psprintf(p.r->pool, "received=%d\nerror=%d\n", got, p.req.errorCode));
        destroyQuonConnection(&p.req, proxy, conn);
    }
    proxy->destroy(proxy, &p.req);
}

int probe(request_rec* r) {
    if (!r->handler || strcmp(r->handler, kProbeHandler) != 0) return DECLINED;
    Probe p{r, {}, nullptr};
    QuonServerConfig* conf = init_apache_request(&p.req, r, r->server);
    ap_args_to_table(r, &p.args);
    const char* op = r->path_info && *r->path_info ? r->path_info + 1 : "";
    if (strcmp(op, "config") == 0) {
        p.say(configOf(r, conf));
    } else if (strcmp(op, "header") == 0) {
        const char* value = p.req.getHeader(&p.req, p.arg("name"));
        p.say(std::string("value=") + (value ? value : "<null>") + "\n");
    } else if (strcmp(op, "status") == 0) {
        p.req.setStatus(&p.req, p.number("code", 200), p.arg("reason", "OK"));
        p.req.addHeader(&p.req, "X-Redirected", p.req.redirected ? "1" : "0");
        int wrote = p.req.writeClient(&p.req, "page body\n", 10);
        p.say(apr_psprintf(r->pool, "wrote=%d\n", wrote));
    } else if (strcmp(op, "headers") == 0) {
        const char* headers[][2] = {{"Content-Type", "Text/HTML; Charset=UTF-8"},
                                    {"Content-Encoding", "X-Probe"}, {"Set-Cookie", "first=1"},
                                    {"Set-Cookie", "second=2"}, {"X-Probe", "one"},
                                    {"X-Probe", "two"}};
        for (auto& [name, value] : headers) p.req.addHeader(&p.req, name, value);
        p.say("headers\n");
    } else if (strcmp(op, "length") == 0) {
        p.req.addHeader(&p.req, "Content-Length", p.arg("value"));
        p.say(p.arg("body"));
    } else if (strcmp(op, "wait") == 0) {
        probeWait(p);
    } else if (strcmp(op, "log") == 0) {
        probeLog(p);
    } else if (strcmp(op, "malloc") == 0) {
        void* block = p.req.malloc(&p.req, p.number("size"));
        if (block) p.req.free(&p.req, block);
        p.say(block ? "allocated\n" : "failed\n");
    } else {
        return HTTP_NOT_FOUND;
    }
    return OK;
}

// A request header X-Probe-Pause: ms holds the request between the type checker and the
// handler, so that a test can change the mappings in between.
int pauseBeforeHandler(request_rec* r) {
    if (const char* ms = apr_table_get(r->headers_in, "X-Probe-Pause"))
        apr_sleep(apr_time_from_msec(std::min(atoi(ms), 5000)));
    return DECLINED;
}
}  // namespace

extern "C" void quon_test_hooks(apr_pool_t*) {
    ap_hook_handler(probe, nullptr, nullptr, APR_HOOK_FIRST);
    ap_hook_fixups(pauseBeforeHandler, nullptr, nullptr, APR_HOOK_MIDDLE);
}
