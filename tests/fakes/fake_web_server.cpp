#include "fake_web_server.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace {
FakeWebServer* serverOf(quon_request* req) {
    return static_cast<FakeWebServer*>(recorderOf(req)->owner);
}

const char* getHeader(quon_request* req, const char* name) {
    FakeWebServer* fake = serverOf(req);
    ++fake->lookups[name];
    if (auto found = fake->variables.find(name); found != fake->variables.end())
        return found->second.c_str();
    for (const auto& [key, value] : fake->headers)
        if (strcasecmp(key.c_str(), name) == 0) return value.c_str();
    return nullptr;
}

void freeHeader(quon_request* req, const char*) { ++serverOf(req)->headersHandedBack; }

char* getRealPath(quon_request* req, const char* path) {
    FakeWebServer* fake = serverOf(req);
    auto found = fake->realPaths.find(path);
    return found == fake->realPaths.end() ? nullptr : req->strdup(req, found->second.c_str());
}

int getPostData(quon_request* req, char* buffer, int length) {
    FakeWebServer* fake = serverOf(req);
    if (fake->failRead) return -1;
    size_t n = std::min({size_t(std::max(length, 0)), fake->body.size() - fake->bodyOffset,
                         size_t(fake->maxRead)});
    memcpy(buffer, fake->body.data() + fake->bodyOffset, n);
    fake->bodyOffset += n;
    return int(n);
}

void setStatus(quon_request* req, int status, const char* reason) {
    serverOf(req)->status = status;
    serverOf(req)->reason = reason ? reason : "";
}

void addHeader(quon_request* req, const char* name, const char* value) {
    serverOf(req)->responseHeaders.emplace_back(name, value);
}

// Counts failures as the web-server adapter does: consecutive, reset by a success.
int writeClient(quon_request* req, const char* buffer, int length) {
    FakeWebServer* fake = serverOf(req);
    int index = int(fake->writes.size());
    fake->writes.push_back(length);
    if (fake->failWritesFrom >= 0 && index >= fake->failWritesFrom) {
        ++req->clientWriteFailures;
        return -1;
    }
    req->clientWriteFailures = 0;
    if (length > 0) fake->responseBody.append(buffer, size_t(length));
    return 0;
}

void* countedMalloc(quon_request* req, int size) {
    void* block = ::malloc(size_t(size < 1 ? 1 : size));
    if (block) ++serverOf(req)->liveBlocks_;
    return block;
}

void countedFree(quon_request* req, void* block) {
    if (!block) return;
    --serverOf(req)->liveBlocks_;
    ::free(block);
}
}  // namespace

FakeWebServer::FakeWebServer(int traceMask) : recorder(traceMask) {
    recorder.owner = this;
    quon_request* req = recorder.get();
    req->getHeader = getHeader;
    req->freeHeader = freeHeader;
    req->getRealPath = getRealPath;
    req->getPostData = getPostData;
    req->setStatus = setStatus;
    req->addHeader = addHeader;
    req->writeClient = writeClient;
    req->malloc = countedMalloc;
    req->free = countedFree;
}

void FakeWebServer::prepare() {
    headerNames_.clear();
    headerValues_.clear();
    for (const auto& [name, value] : headers) {
        headerNames_.push_back(name.c_str());
        headerValues_.push_back(value.c_str());
    }
    headerNames_.push_back(nullptr);
    headerValues_.push_back(nullptr);
    quon_request* req = recorder.get();
    req->headerNames = headerNames_.data();
    req->headerValues = headerValues_.data();
    req->uri = uri.c_str();
    req->firstPostRead = req->morePostData = 1;
    bodyOffset = 0;
}

void FakeWebServer::finish() {
    quon_request* req = recorder.get();
    req->freeAttributes(req);
    req->freeAttributeNames(req);
    req->headerNames = req->headerValues = nullptr;
}
