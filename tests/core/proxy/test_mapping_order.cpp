// Normalisation and match order of servlet mappings.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "mapping_order.h"
#include "memory.h"
#include "property.h"
#include "recording_request.h"

namespace {
using Pairs = std::vector<std::pair<std::string, std::string>>;

int permCalls = 0, failingCall = 0;  // the sort's permMalloc call that fails; 0: none
void* countedMalloc(quon_request*, int size) {
    return ++permCalls == failingCall ? nullptr : malloc(size_t(size));
}

Pairs sorted(RecordingRequest& req, const Pairs& input, int failing = 0) {
    std::string text;
    for (const auto& [key, value] : input) text += key + "=" + value + "\n";
    propertyTable* table = parseProperties(req.get(), text.c_str());
    permCalls = 0;
    failingCall = failing;
    req->permMalloc = countedMalloc;
    sortMappings(req.get(), table);
    req->permMalloc = doMalloc;
    Pairs out;
    for (int i = 0; i < table->count; ++i)
        out.emplace_back(table->entries[i].key, table->entries[i].value);
    freeProperties(req.get(), table);
    return out;
}

}  // namespace

TEST(MappingOrder, SortsTheServersMappings) {
    const struct {
        Pairs input, expected;
        int failing = 0;  // the sort's allocation that fails; the first is the shorter pattern
    } rows[] = {
        // clang-format off
        // A "/" before the "*" goes.
        {{{"/app/servlet/*", "s"}, {"*.jsp", "j"}, {"/app*.do", "d"}, {"/*", "all"}},
         {{"/app/servlet*", "s"}, {"/app*.do", "d"}, {"*.jsp", "j"}, {"*", "all"}}},
        // A duplicate after normalising keeps the first place and takes the last value.
        {{{"/app*", "first"}, {"/zz*", "z"}, {"/app/*", "second"}},
         {{"/app*", "second"}, {"/zz*", "z"}}},
        // Hosts first, then longer prefixes; the host's length does not count.
        {{{"*.jsp", "1"}, {"/app*", "2"}, {"/app/admin*", "3"}, {"//host/x*", "4"},
          {"//h/x*", "5"}},
         {{"//host/x*", "4"}, {"//h/x*", "5"}, {"/app/admin*", "3"}, {"/app*", "2"},
          {"*.jsp", "1"}}},
        // A longer extension first, ties keep their order.
        {{{"/a*", "1"}, {"/b*", "2"}, {"/a*.jsp", "3"}},
         {{"/a*.jsp", "3"}, {"/a*", "1"}, {"/b*", "2"}}},
        // An exact path beats its prefix.
        {{{"/stat*", "1"}, {"/status", "2"}}, {{"/status", "2"}, {"/stat*", "1"}}},
        // Each pattern normalises onto the one before it: the second set frees the value the
        // first one left, which the removals must not read (ASan finds it).
        {{{"/a*", "x"}, {"/a/*", "y"}, {"/a//*", "z"}}, {{"/a*", "y"}}},
        // Without memory for the removal list the entry stays as sent.
        {{{"/a*", "x"}, {"/a/*", "y"}}, {{"/a/*", "y"}, {"/a*", "x"}}, 2},
        // clang-format on
    };
    for (size_t i = 0; i < std::size(rows); ++i) {
        RecordingRequest req;
        EXPECT_EQ(sorted(req, rows[i].input, rows[i].failing), rows[i].expected) << i << req.dump();
    }
}
