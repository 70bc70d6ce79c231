// The request record: the heap allocators behind its slots, the silent allocators of code
// without a call context, and the attribute list.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "memory.h"
#include "recording_request.h"
#include "request.h"

TEST(RequestMemory, SizesBelowOneNullTextsAndFailuresAreHandled) {
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
    req->free(req.get(), nullptr);
    EXPECT_EQ(req.count("log", "free(null) !"), 1);
    // A copy whose block cannot be had: the messages name the text's length.
    req->malloc = req->permMalloc = [](quon_request*, int) -> void* { return nullptr; };
    EXPECT_EQ(req->strdup(req.get(), "abc"), nullptr);
    EXPECT_EQ(req->permStrdup(req.get(), "abcd"), nullptr);
    EXPECT_EQ(req.count("log", "strdup(3) failed!"), 1) << req.dump();
    EXPECT_EQ(req.count("log", "perm_strdup(4) failed!"), 1) << req.dump();
    // Without a call context a null text is copied as the empty text, silently.
    quon_request heap;
    init_allocators(&heap);
    char* copy = heap.strdup(&heap, nullptr);
    EXPECT_STREQ(copy, "");
    heap.free(&heap, copy);
    heap.free(&heap, nullptr);
}

TEST(Attributes, NewestOfANameWinsValuesKeepTheirBytes) {
    RecordingRequest req;
    EXPECT_EQ(req->getAttributeNames(req.get()), nullptr);
    const char binary[] = {'a', '\0', 'b', '\0'};
    req->setAttribute(req.get(), "key", "one", 3);
    req->setAttribute(req.get(), "other", "x", 1);
    req->setAttribute(req.get(), "key", binary, 4);
    char buffer[4] = {};
    EXPECT_NE(req->getAttribute(req.get(), "key", buffer), nullptr);
    EXPECT_EQ(std::string(buffer, 4), std::string(binary, 4));
    EXPECT_EQ(req->getAttributeSize(req.get(), "key"), 4);
    char untouched = 'u';
    EXPECT_EQ(req->getAttribute(req.get(), "KEY", &untouched), nullptr);  // case-sensitive
    EXPECT_EQ(untouched, 'u');
    // A second call frees the first array (ASan would report a leak otherwise).
    req->getAttributeNames(req.get());
    char** names = req->getAttributeNames(req.get());
    std::vector<std::string> all(names, names + 3);
    EXPECT_EQ(all, (std::vector<std::string>{"key", "other", "key"}));
    EXPECT_EQ(names[3], nullptr);
    req->freeAttributeNames(req.get());
    EXPECT_EQ(req->attributeNames, nullptr);
    // Failed allocations leave the list as it was.
    qnMallocFn heap = req->malloc;
    req->malloc = [](quon_request*, int) -> void* { return nullptr; };
    req->setAttribute(req.get(), "lost", "v", 1);
    EXPECT_EQ(req->attributes->count, 3);
    EXPECT_EQ(req->getAttributeNames(req.get()), nullptr);
    req->malloc = heap;
    req->freeAttributes(req.get());
    EXPECT_EQ(req->getAttributeSize(req.get(), "key"), 0);
    req->freeAttributes(req.get());  // an empty list: nothing happens
}
