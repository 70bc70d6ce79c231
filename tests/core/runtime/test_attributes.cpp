// The request attribute list: newest first, lookups find the newest of a name, and the
// names array is rebuilt and released correctly.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "recording_request.h"

namespace {
std::vector<std::string> namesOf(char** names) {
    std::vector<std::string> all;
    for (; names && *names; ++names) all.emplace_back(*names);
    return all;
}
}  // namespace

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
    EXPECT_EQ(req.count("trace", "setAttribute called for: "), 3);
    // A second call frees the first array (ASan would report a leak otherwise).
    req->getAttributeNames(req.get());
    char** names = req->getAttributeNames(req.get());
    EXPECT_EQ(namesOf(names), (std::vector<std::string>{"key", "other", "key"}));
    EXPECT_EQ(req->attributeNames, names);
    req->freeAttributeNames(req.get());
    EXPECT_EQ(req->attributeNames, nullptr);
    req->freeAttributes(req.get());
    EXPECT_EQ(req->getAttributeSize(req.get(), "key"), 0);
    req->freeAttributes(req.get());  // an empty list: nothing happens
}

TEST(Attributes, FailedAllocationsLeaveTheListConsistent) {
    RecordingRequest req;
    req->setAttribute(req.get(), "kept", "v", 1);
    qnMallocFn heap = req->malloc;
    req->malloc = [](quon_request*, int) -> void* { return nullptr; };
    req->setAttribute(req.get(), "lost", "v", 1);
    EXPECT_EQ(req->attributes->count, 1);
    EXPECT_EQ(req->getAttributeNames(req.get()), nullptr);
    req->malloc = heap;
    req->freeAttributes(req.get());
}
