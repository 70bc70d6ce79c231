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

TEST(Attributes, NewestOfANameWinsAndBothAreListed) {
    RecordingRequest req;
    const char first[] = "one", second[] = "two!";
    req->setAttribute(req.get(), "key", first, 3);
    req->setAttribute(req.get(), "key", second, 4);
    char buffer[8] = {};
    EXPECT_NE(req->getAttribute(req.get(), "key", buffer), nullptr);
    EXPECT_EQ(std::string(buffer, 4), "two!");
    EXPECT_EQ(req->getAttributeSize(req.get(), "key"), 4);
    EXPECT_EQ(namesOf(req->getAttributeNames(req.get())),
              (std::vector<std::string>{"key", "key"}));
    EXPECT_EQ(req.count("trace", "setAttribute called for: "), 2);
    req->freeAttributeNames(req.get());
    req->freeAttributes(req.get());
}

TEST(Attributes, BinaryValuesAndMissingNames) {
    RecordingRequest req;
    const char binary[] = {'a', '\0', 'b', '\0'};
    req->setAttribute(req.get(), "bin", binary, 4);
    char buffer[4] = {1, 1, 1, 1};
    ASSERT_NE(req->getAttribute(req.get(), "bin", buffer), nullptr);
    EXPECT_EQ(std::string(buffer, 4), std::string(binary, 4));
    char untouched[2] = {'x', 'y'};
    EXPECT_EQ(req->getAttribute(req.get(), "BIN", untouched), nullptr);  // case-sensitive
    EXPECT_EQ(untouched[0], 'x');
    EXPECT_EQ(req->getAttributeSize(req.get(), "nope"), 0);
    req->freeAttributes(req.get());
}

TEST(Attributes, NamesArrayIsRebuiltAndEmptyListGivesNull) {
    RecordingRequest req;
    EXPECT_EQ(req->getAttributeNames(req.get()), nullptr);
    req->setAttribute(req.get(), "a", "1", 1);
    req->setAttribute(req.get(), "b", "2", 1);
    req->setAttribute(req.get(), "c", "3", 1);
    char** first = req->getAttributeNames(req.get());
    EXPECT_EQ(namesOf(first), (std::vector<std::string>{"c", "b", "a"}));
    // A second call frees the first array (ASan would report a leak otherwise).
    char** second = req->getAttributeNames(req.get());
    EXPECT_EQ(namesOf(second), (std::vector<std::string>{"c", "b", "a"}));
    EXPECT_EQ(req->attributeNames, second);
    req->freeAttributeNames(req.get());
    EXPECT_EQ(req->attributeNames, nullptr);
    req->freeAttributes(req.get());
    EXPECT_EQ(req->attributes, nullptr);
    EXPECT_EQ(req->getAttributeSize(req.get(), "a"), 0);
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
