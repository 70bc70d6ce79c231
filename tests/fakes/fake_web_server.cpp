#include "fake_web_server.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace {
FakeWebServer& of(quon_request* req) {
    return *static_cast<FakeWebServer*>(recorderOf(req)->owner);
}

const char* getHeader(quon_request* req, const char* name) {
    FakeWebServer& fake = of(req);
    ++fake.lookups[name];
    if (auto found = fake.variables.find(name); found != fake.variables.end())
        return found->second.c_str();
    for (const auto& [key, value] : fake.headers)
        if (strcasecmp(key.c_str(), name) == 0) return value.c_str();
    return nullptr;
}

char* getRealPath(quon_request* req, const char* path) {
    auto found = of(req).realPaths.find(path);
    return found == of(req).realPaths.end() ? nullptr : req->strdup(req, found->second.c_str());
}

int getPostData(quon_request* req, char* buffer, int length) {
    FakeWebServer& fake = of(req);
    if (fake.failRead) return -1;
    size_t n = std::min(size_t(std::max(length, 0)), fake.body.size() - fake.bodyOffset);
    memcpy(buffer, fake.body.data() + fake.bodyOffset, n);
    fake.bodyOffset += n;
    return int(n);
}

// Counts failures as the web-server adapter does: consecutive, reset by a success.
int writeClient(quon_request* req, const char* buffer, int length) {
    FakeWebServer& fake = of(req);
    fake.writes.push_back(length);
    if (fake.failWritesFrom >= 0 && int(fake.writes.size()) > fake.failWritesFrom) {
        ++req->clientWriteFailures;
        return -1;
    }
    req->clientWriteFailures = 0;
    if (length > 0) fake.responseBody.append(buffer, size_t(length));
    return 0;
}
}  // namespace

FakeWebServer::FakeWebServer(int traceMask) : recorder(traceMask) {
    recorder.owner = this;
    quon_request* req = recorder.get();
    req->getHeader = getHeader;
    req->freeHeader = [](quon_request* req, const char*) { ++of(req).headersHandedBack; };
    req->getRealPath = getRealPath;
    req->getPostData = getPostData;
    req->setStatus = [](quon_request* req, int status, const char* reason) {
        of(req).status = status;
        of(req).reason = reason ? reason : "";
    };
    req->addHeader = [](quon_request* req, const char* name, const char* value) {
        of(req).responseHeaders.emplace_back(name, value);
    };
    req->writeClient = writeClient;
    req->malloc = [](quon_request* req, int size) {
        void* block = ::malloc(size_t(size < 1 ? 1 : size));
        of(req).liveBlocks_ += block != nullptr;
        return block;
    };
    req->free = [](quon_request* req, void* block) {
        of(req).liveBlocks_ -= block != nullptr;
        ::free(block);
    };
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
