#include "attributes.h"

#include <cstring>

namespace {
const qnAttribute* findNewest(const quon_request* req, const char* name) {
    for (const qnAttribute* node = req->attributes; node; node = node->next)
        if (strcmp(node->name, name) == 0) return node;
    return nullptr;
}
}  // namespace

// Allocation failure leaves the list unchanged: the attribute is simply not set.
void setAttribute(quon_request* req, const char* name, const void* value, int size) {
    auto* node = static_cast<qnAttribute*>(req->malloc(req, sizeof(qnAttribute)));
    req->trace(req, "setAttribute called for: ");
    if (!node) return;
    node->name = name;
    node->value = value;
    node->size = size;
    node->owned = 0;
    node->count = req->attributes ? req->attributes->count + 1 : 1;
    node->next = req->attributes;
    req->attributes = node;
}

const void* getAttribute(quon_request* req, const char* name, void* destination) {
    const qnAttribute* node = findNewest(req, name);
    if (!node) return nullptr;
    if (!destination) return node;  // found, nothing to copy into
    if (node->size > 0) memcpy(destination, node->value, size_t(node->size));
    return destination;
}

int getAttributeSize(quon_request* req, const char* name) {
    const qnAttribute* node = findNewest(req, name);
    return node ? node->size : 0;
}

// Returns null, leaving attributeNames empty, when the array or a copy cannot be made.
char** getAttributeNames(quon_request* req) {
    if (!req->attributes) return nullptr;
    req->freeAttributeNames(req);
    int count = req->attributes->count;
    auto* names = static_cast<char**>(req->malloc(req, int(sizeof(char*)) * (count + 1)));
    if (!names) return nullptr;
    int i = 0;
    for (const qnAttribute* node = req->attributes; node && i < count; node = node->next) {
        names[i] = req->strdup(req, node->name);
        if (!names[i]) break;
        ++i;
    }
    names[i] = nullptr;
    req->attributeNames = names;
    if (i < count) {
        req->freeAttributeNames(req);
        return nullptr;
    }
    return names;
}

void freeAttributes(quon_request* req) {
    qnAttribute* node = req->attributes;
    while (node) {
        qnAttribute* next = node->next;
        if (node->owned) {
            req->free(req, const_cast<char*>(node->name));
            req->free(req, const_cast<void*>(node->value));
        }
        req->free(req, node);
        node = next;
    }
    req->attributes = nullptr;
}

void freeAttributeNames(quon_request* req) {
    if (!req->attributeNames) return;
    for (char** name = req->attributeNames; *name; ++name) req->free(req, *name);
    req->free(req, req->attributeNames);
    req->attributeNames = nullptr;
}
