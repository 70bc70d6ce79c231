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
    req.log(&req, "%s %d", "discarded", 1);
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
    EXPECT_STREQ(empty, "");
    req->free(req.get(), empty);
    EXPECT_EQ(req.lines.size(), 0u) << req.dump();
    // Without a call context a null text is copied as the empty text, silently.
    quon_request heap;
    init_allocators(&heap);
    char* copy = heap.strdup(&heap, nullptr);
    EXPECT_STREQ(copy, "");
    heap.free(&heap, copy);
    heap.free(&heap, nullptr);
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
