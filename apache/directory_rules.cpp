// <Directory> sections that a claimed request skips. The module claims its requests
// before the directory walk, as Apache's own proxy does, so the access rules of a
// <Directory> section never reach them. The sections that restrict access are found once
// in the configuration; a claimed request whose file path lies in one below its document
// root is told of in the error log, once per interval for each server and child.
#include "quon_apache.h"  // httpd.h first: the other httpd headers need it

#include <cstring>
#include <string_view>
#include <strings.h>

#include <apr_strings.h>
#include <apr_tables.h>
#include <http_config.h>
#include <http_core.h>

namespace {
constexpr const char* kSkipped =
    "<Directory %s> holds access rules that requests the module claims skip (%s was claimed): "
    "put them in a <Location> section, or set QuonConfig directorywalk true";

// The paths of the sections found, without a final "/"; remade at each configuration
// read, in the configuration pool, and only read afterwards.
apr_array_header_t* guarded = nullptr;

// Sections and containers whose lines count as the section's own.
bool container(const char* directive) {
    for (const char* name :
         {"<RequireAll", "<RequireAny", "<RequireNone", "<IfModule", "<IfDefine", "<IfVersion",
          "<IfFile", "<Limit", "<LimitExcept", "<If", "<ElseIf", "<Else"})
        if (strcasecmp(directive, name) == 0) return true;
    return false;
}

// Whether lines restrict access: Require but for "all granted", Deny, AuthType.
bool restricts(const ap_directive_t* line) {
    for (; line; line = line->next) {
        const char* d = line->directive;
        if (strcasecmp(d, "Require") == 0 && strcasecmp(line->args, "all granted") != 0)
            return true;
        if (strcasecmp(d, "Deny") == 0 || strcasecmp(d, "AuthType") == 0) return true;
        if (container(d) && restricts(line->first_child)) return true;
    }
    return false;
}

// The path of "<Directory path>", unquoted, without a final "/"; null for a regular
// expression or a wildcard, which a prefix cannot tell.
const char* sectionPath(apr_pool_t* pool, const char* args) {
    const char* end = strrchr(args, '>');
    const char* text = apr_pstrmemdup(pool, args, end ? size_t(end - args) : strlen(args));
    const char* path = ap_getword_conf(pool, &text);
    if (!path || *path != '/' || strpbrk(path, "*?[~")) return nullptr;
    size_t n = strlen(path);
    while (n > 1 && path[n - 1] == '/') --n;
    return apr_pstrmemdup(pool, path, n);
}

void collect(apr_pool_t* pool, const ap_directive_t* node) {
    for (; node; node = node->next) {
        if (strcasecmp(node->directive, "<Directory") == 0 && restricts(node->first_child)) {
            if (const char* path = sectionPath(pool, node->args))
                APR_ARRAY_PUSH(guarded, const char*) = path;
        }
        collect(pool, node->first_child);
    }
}

// Whether path is dir or lies in it.
bool within(std::string_view path, std::string_view dir) {
    if (dir == "/") return true;
    return path.starts_with(dir) && (path.size() == dir.size() || path[dir.size()] == '/');
}
}  // namespace

void findGuardedDirectories(apr_pool_t* pconf) {
    guarded = apr_array_make(pconf, 4, sizeof(const char*));
    collect(pconf, ap_conftree);
}

void tellSkippedDirectory(request_rec* r, quon_request* req, QuonServerConfig* conf) {
    if (!guarded || guarded->nelts == 0 || !r->filename) return;
    const char* root = ap_document_root(r);
    for (int i = 0; i < guarded->nelts; ++i) {
        const char* dir = APR_ARRAY_IDX(guarded, i, const char*);
        // A section that holds the document root is the site's (or the file system's)
        // default, which a forwarded request is not meant to meet.
        if (!within(r->filename, dir) || (root && within(root, dir))) continue;
        logLimited(req, &conf->skippedDirectoryLog, QN_LOG_WARN, kSkipped, dir, r->uri);
        return;
    }
}
