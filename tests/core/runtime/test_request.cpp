// The defaults of a freshly built record, the heap allocators behind its slots, and
// the silent allocators of code without a call context.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "memory.h"
#include "recording_request.h"
#include "request.h"

TEST(RequestDefaults, EveryByteIsWrittenAndWebServerSlotsStayEmpty) {
    quon_request req;
    memset(&req, 0xAB, sizeof req);
    init_quon_request(&req);
    EXPECT_EQ(req.request, nullptr);
    EXPECT_EQ(req.attributes, nullptr);
    EXPECT_EQ(req.clientWriteFailures, 0);
    EXPECT_EQ(req.getHeader, nullptr);
    EXPECT_EQ(req.writeClient, nullptr);
    EXPECT_EQ((std::vector<int>{req.connectTimeout, req.sendTimeout, req.recvTimeout}),
              (std::vector<int>{15000, 15000, 300000}));
    // The discarding channels take any format and arguments.
    req.log(&req, "%s %d %p", "x", 1, static_cast<void*>(&req));
    req.traceE(&req, 3, "%d", 2);
}

TEST(RequestMemory, SizesBelowOneGiveOneByteAndNullStringsNoCopy) {
    RecordingRequest req;
    for (int size : {0, -5}) {
        void* block = req->malloc(req.get(), size);
        ASSERT_NE(block, nullptr);
        static_cast<char*>(block)[0] = 'x';  // one usable byte (ASan checks the bound)
        req->free(req.get(), block);
    }
    EXPECT_EQ(req->strdup(req.get(), nullptr), nullptr);
    EXPECT_EQ(req->permStrdup(req.get(), nullptr), nullptr);
    char* empty = req->strdup(req.get(), "");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty[0], '\0');
    req->free(req.get(), empty);
    char* kept = req->permStrdup(req.get(), "kept");
    EXPECT_STREQ(kept, "kept");
    req->permFree(req.get(), kept);
    EXPECT_EQ(req.lines.size(), 0u) << req.dump();
}

TEST(RequestMemory, FailuresAndNullFreeAreReported) {
    RecordingRequest req;
    req->free(req.get(), nullptr);
    EXPECT_EQ(req.count("log", "free(null) !"), 1);
    // A copy whose block cannot be had: the strdup messages name the text's length.
    req->malloc = [](quon_request*, int) -> void* { return nullptr; };
    req->permMalloc = req->malloc;
    EXPECT_EQ(req->strdup(req.get(), "abc"), nullptr);
    EXPECT_EQ(req->permStrdup(req.get(), "abcd"), nullptr);
    EXPECT_EQ(req.count("log", "strdup(3) failed!"), 1) << req.dump();
    EXPECT_EQ(req.count("log", "perm_strdup(4) failed!"), 1) << req.dump();
}

TEST(RequestMemory, FileOpenOpensOrReturnsNull) {
    RecordingRequest req;
    EXPECT_EQ(req->fileOpen(req.get(), "/nonexistent/quon/file", "r"), nullptr);
    FILE* file = req->fileOpen(req.get(), "/proc/self/status", "r");
    ASSERT_NE(file, nullptr);
    fclose(file);
}

TEST(Allocators, ContextFreeRecordAllocatesSilentlyAndSetsNothingElse) {
    quon_request req;
    init_allocators(&req);
    EXPECT_EQ(req.connect, nullptr);
    EXPECT_EQ(req.traceE, nullptr);
    EXPECT_EQ(req.setAttribute, nullptr);
    EXPECT_EQ(req.connectTimeout, 0);
    char* copy = req.strdup(&req, nullptr);  // a null text is copied as the empty text
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy, "");
    req.free(&req, copy);
    req.free(&req, nullptr);  // ignored silently
    void* block = req.permMalloc(&req, 0);
    ASSERT_NE(block, nullptr);
    req.permFree(&req, block);
    req.log(&req, "%s", "discarded");
}
