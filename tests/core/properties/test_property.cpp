// Property tables: the text rules users trip over, the full table and the file loader. The
// table operations are checked against a list by fuzz_properties.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "memory.h"
#include "property.h"
#include "recording_request.h"

namespace {
using namespace std::string_literals;
using Pairs = std::vector<std::pair<std::string, std::string>>;

struct FreeTable {
    void operator()(propertyTable* table) const { freeProperties1(table); }
};
using Table = std::unique_ptr<propertyTable, FreeTable>;

Pairs pairsOf(const propertyTable* table) {
    Pairs pairs;
    for (int i = 0; i < table->count; ++i)
        pairs.emplace_back(table->entries[i].key, table->entries[i].value);
    return pairs;
}

struct ParseCase {
    const char* name;
    std::string text;  // may hold NULs
    Pairs expected;
    std::vector<std::string> skipped = {};  // lines reported as having no value
};
}  // namespace

TEST(PropertyParse, LineRulesYieldTheTable) {
    for (const ParseCase& c :
         {ParseCase{
              "Backslash", "a=a\\b\nb=\\\\\nc=x\\n\n", {{"a", "ab"}, {"b", "\\"}, {"c", "xn"}}},
          ParseCase{"EmptyValue", "k=\nm=", {{"k", ""}, {"m", ""}}},
          ParseCase{"CrCrLfKeepsOneCr", "a=1\r\r\nb=2\n", {{"a", "1\r"}, {"b", "2"}}},
          ParseCase{"LoneCrEatsNextChar", "a=1\rxb=2\n", {{"a", "1"}, {"b", "2"}}},
          ParseCase{"LineWithoutEquals", "alone\nb=2\nx y\r\n", {{"b", "2"}}, {"alone", "x y"}},
          ParseCase{"Comments", "#c=1\na=1#x\n b=#\n#c\r d=1\n#", {{"a", "1#x"}, {" b", "#"}}},
          ParseCase{"NulEndsValue", "a=1\0b=2\n"s, {{"a", "1"}}},
          ParseCase{"NulEndsKey", "a=1\nke\0=y\n"s, {{"a", "1"}}},
          ParseCase{"NulAfterCrRun", "a=1\r\0b=2\n"s, {{"a", "1"}}},
          ParseCase{"CtrlZEndsAtLineStart", "a=x\x1Ay\n\x1Az=2\n", {{"a", "x\x1Ay"}}}}) {
        SCOPED_TRACE(c.name);
        RecordingRequest req;
        Table table(parseProperties(req.get(), c.text.c_str()));
        ASSERT_NE(table, nullptr);
        EXPECT_EQ(pairsOf(table.get()), c.expected);
        for (const std::string& line : c.skipped)
            EXPECT_EQ(req.count("trace", "property " + line + " has no value. skipping."), 1);
        // One trace per pair kept and per line skipped, nothing on the log.
        EXPECT_EQ(req.lines.size(), c.expected.size() + c.skipped.size()) << req.dump();
        EXPECT_FALSE(req.contains("log", ""));
    }
}

// The entries array grows from its first slots by doubling, to the smallest step that
// holds the pairs; every step keeps the pairs in order and findable.
TEST(PropertyGrowth, EachStepKeepsThePairsAndHoldsNoMoreThanTheNextDoubling) {
    constexpr int first = QN_PROPERTY_FIRST_CAPACITY;
    for (int n : {1, first, first + 1, 2 * first + 1, QN_PROPERTY_CAPACITY}) {
        SCOPED_TRACE(n);
        RecordingRequest req;
        Table table(parseProperties(req.get(), ""));
        Pairs expected;
        for (int i = 0; i < n; ++i) {
            expected.emplace_back("k" + std::to_string(i), "v" + std::to_string(i));
            ASSERT_EQ(setProperty(req.get(), table.get(), expected.back().first.c_str(),
                                  expected.back().second.c_str()),
                      i);
        }
        EXPECT_EQ(pairsOf(table.get()), expected);
        int step = first;
        while (step < n) step *= 2;
        EXPECT_EQ(table->capacity, step);
        EXPECT_STREQ(getPropertyValue(table.get(), expected.back().first.c_str()),
                     expected.back().second.c_str());
        EXPECT_FALSE(req.contains("log", ""));
    }
}

// A table is full at its capacity, and while its array cannot grow: a new key gets the
// message and -1, nothing is lost, and an existing key still changes. The array grows
// again once memory is back.
TEST(PropertyFull, RefusesNewKeysWithTheMessageAndMinusOne) {
    constexpr int first = QN_PROPERTY_FIRST_CAPACITY;
    for (const int count : {QN_PROPERTY_CAPACITY + 1, first}) {
        std::string text;
        for (int i = 0; i < count; ++i) text += "k" + std::to_string(i) + "=v\n";
        RecordingRequest req;
        Table table(parseProperties(req.get(), text.c_str()));
        ASSERT_NE(table, nullptr);
        const bool atCapacity = count > first;
        EXPECT_EQ(req.count("log", "propertyTable full when trying to add k8192 = v"), atCapacity);
        refusedBlockSize = atCapacity ? -1 : int(sizeof(propertyEntry)) * 2 * first;
        req->permMalloc = refusingMalloc;
        EXPECT_EQ(setProperty(req.get(), table.get(), "new", "v"), -1);
        EXPECT_EQ(req.count("log", "propertyTable full when trying to add new = v"), 1);
        EXPECT_EQ(addProperty1(req.get(), table.get(), nullptr, nullptr), -1);
        EXPECT_EQ(addProperty(table.get(), nullptr, nullptr), -1) << "it never allocates";
        EXPECT_EQ(setProperty(req.get(), table.get(), "k5", "w"), 5)
            << "an existing key still changes";
        EXPECT_EQ(table->count, std::min(count, QN_PROPERTY_CAPACITY));
        req->permMalloc = doMalloc;
        if (atCapacity) continue;
        EXPECT_EQ(setProperty(req.get(), table.get(), "new", "v"), first);
        EXPECT_STREQ(getPropertyValue(table.get(), "k5"), "w");
        EXPECT_EQ(table->capacity, 2 * first);
    }
}

int callBlocks = 0;  // blocks of the request-scoped allocator still held
void* countingMalloc(quon_request*, int size) { return ++callBlocks, malloc(size_t(size)); }
void countingFree(quon_request*, void* block) { --callBlocks, free(block); }
TEST(PropertyLoad, ReadsAFileOrSaysWhyNot) {
    const std::string real = testing::TempDir() + "quon-props-" + std::to_string(getpid());
    const std::string missing = real + "-missing";
    std::ofstream(real, std::ios::binary) << "# servers\r\na=1\r\nb = 2";
    RecordingRequest req;
    req->malloc = countingMalloc;
    req->free = countingFree;
    callBlocks = 0;
    Table table(loadProperties(req.get(), real.c_str()));
    EXPECT_EQ(callBlocks, 0) << "the file buffer is freed";
    EXPECT_EQ(loadProperties(req.get(), "/dev/null"), nullptr) << "an empty file";
    EXPECT_FALSE(req.contains("log", "")) << req.dump();
    EXPECT_EQ(loadProperties(req.get(), missing.c_str()), nullptr);
    EXPECT_EQ(req.count("log", "could not open " + missing + ": " + strerror(ENOENT)), 1);
    req->malloc = [](quon_request*, int) -> void* { return nullptr; };
    EXPECT_EQ(loadProperties(req.get(), real.c_str()), nullptr);
    std::remove(real.c_str());
    EXPECT_EQ(req.count("log", "could not read data in " + real), 1);
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(pairsOf(table.get()), (Pairs{{"a", "1"}, {"b ", " 2"}}));
}
