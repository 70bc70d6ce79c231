// Operations on a property table: first-match lookup and set, add, remove, release.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "property.h"
#include "recording_request.h"

namespace {
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

class PropertyTable : public ::testing::Test {
protected:
    RecordingRequest req;
    Table table{parseProperties(req.get(), "k=1\nb=2\nk=3\n")};
    const Pairs initial{{"k", "1"}, {"b", "2"}, {"k", "3"}};
};

TEST_F(PropertyTable, LookupFindsTheFirstMatchOnly) {
    EXPECT_STREQ(getPropertyValue(table.get(), "k"), "1");
    EXPECT_EQ(getPropertyValue(table.get(), "K"), nullptr);
    EXPECT_EQ(getPropertyValue(nullptr, "k"), nullptr);
}

TEST_F(PropertyTable, SetChangesTheFirstEntryOrAppends) {
    EXPECT_EQ(setProperty(nullptr, table.get(), "k", "9"), -1);
    EXPECT_EQ(setProperty(nullptr, table.get(), "z", "9"), -1);
    EXPECT_EQ(pairsOf(table.get()), initial);
    const char* unchanged = table->entries[0].value;
    EXPECT_EQ(setProperty(req.get(), table.get(), "k", "1"), 0);
    EXPECT_EQ(table->entries[0].value, unchanged);
    EXPECT_EQ(setProperty(req.get(), table.get(), "k", "9"), 0);
    EXPECT_EQ(setProperty(req.get(), table.get(), "new", "n"), 3);
    EXPECT_EQ(pairsOf(table.get()), (Pairs{{"k", "9"}, {"b", "2"}, {"k", "3"}, {"new", "n"}}));
}

TEST_F(PropertyTable, RemoveByIndexClosesTheGap) {
    EXPECT_EQ(removePropertyByIndex(req.get(), table.get(), 0), 2);
    EXPECT_EQ(pairsOf(table.get()), (Pairs{{"b", "2"}, {"k", "3"}}));
    EXPECT_EQ(table->entries[2].key, nullptr);
    EXPECT_EQ(removePropertyByIndex(req.get(), table.get(), 1), 1);
    EXPECT_EQ(removePropertyByIndex(req.get(), table.get(), 0), 0);
    EXPECT_EQ(removePropertyByIndex(req.get(), table.get(), 0), 0);
    EXPECT_EQ(req.count("log", ""), 0) << req.dump();
}

TEST_F(PropertyTable, RemoveTakesTheFirstMatchAndLeavesAbsentKeys) {
    EXPECT_EQ(removeProperty(req.get(), table.get(), "absent", "v"), 3);
    EXPECT_EQ(pairsOf(table.get()), initial);
    EXPECT_EQ(removeProperty(req.get(), table.get(), "k", "x"), 2);
    EXPECT_EQ(pairsOf(table.get()), (Pairs{{"b", "2"}, {"k", "3"}}));
}

int permFrees = 0;
void countingPermFree(quon_request*, void* block) {
    ++permFrees;
    free(block);
}

TEST_F(PropertyTable, FreeReleasesEveryStringAndIgnoresNull) {
    req->permFree = countingPermFree;
    permFrees = 0;
    freeProperties(req.get(), nullptr);
    EXPECT_EQ(permFrees, 0);
    freeProperties(req.get(), table.release());
    EXPECT_EQ(permFrees, 2 * 3 + 1);
    EXPECT_EQ(req.count("log", ""), 0);
}

TEST(PropertyWrappers, WorkWithoutARecord) {
    Table table(parseProperties1("a=1\n"));
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(setProperty1(table.get(), "a", "2"), 0);
    EXPECT_EQ(setProperty1(table.get(), "b", "3"), 1);
    char* key = strdup("c");
    EXPECT_EQ(addProperty(table.get(), key, strdup("4")), 2);
    EXPECT_EQ(table->entries[2].key, key);
    EXPECT_EQ(pairsOf(table.get()), (Pairs{{"a", "2"}, {"b", "3"}, {"c", "4"}}));
}
}  // namespace
