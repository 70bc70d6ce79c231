// The property text rules users trip over, and the file loader.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
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

std::string noValue(const std::string& line) {
    return "property " + line + " has no value. skipping.";
}

struct ParseCase {
    const char* name;
    std::string text;  // may hold NULs
    Pairs expected;
    std::vector<std::string> skipped;  // lines reported as having no value
};

void PrintTo(const ParseCase& c, std::ostream* out) { *out << c.name; }

class PropertyParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(PropertyParse, YieldsTheTable) {
    const ParseCase& c = GetParam();
    RecordingRequest req;
    Table table(parseProperties(req.get(), c.text.c_str()));
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(pairsOf(table.get()), c.expected);
    for (const std::string& line : c.skipped) EXPECT_EQ(req.count("trace", noValue(line)), 1);
    // One trace per pair kept and per line skipped, nothing on log.
    EXPECT_EQ(req.lines.size(), c.expected.size() + c.skipped.size()) << req.dump();
    EXPECT_EQ(req.count("log", ""), 0);
}

using namespace std::string_literals;
INSTANTIATE_TEST_SUITE_P(
    PropertyLineRules, PropertyParse,
    ::testing::Values(
        ParseCase{"BlanksKept", "a = b \n", {{"a ", " b "}}, {}},
        ParseCase{"DuplicatesKept", "k=1\nk=2\n", {{"k", "1"}, {"k", "2"}}, {}},
        ParseCase{"EmptyValue", "k=\nm=", {{"k", ""}, {"m", ""}}, {}},
        ParseCase{"EqualsStartsKey", "==x\na=b=c\n", {{"=", "x"}, {"a", "b=c"}}, {}},
        ParseCase{"BackslashLiteral", "a=a\\b\nb=\\\\\nc=x\\n\n",
                  {{"a", "ab"}, {"b", "\\"}, {"c", "xn"}}, {}},
        ParseCase{"BackslashAtLineEnd", "a=x\\\nb=y\n", {{"a", "x"}, {"b", "y"}}, {}},
        ParseCase{"CrLfLikeLf", "a=1\r\nb=2\r\n", {{"a", "1"}, {"b", "2"}}, {}},
        ParseCase{"CrCrLfKeepsOneCr", "a=1\r\r\nb=2\n", {{"a", "1\r"}, {"b", "2"}}, {}},
        ParseCase{"LoneCrEatsNextChar", "a=1\rxb=2\n", {{"a", "1"}, {"b", "2"}}, {}},
        ParseCase{"EmptyLinesSkipped", "\n\r\n\na=1\n\n", {{"a", "1"}}, {}},
        ParseCase{"LineWithoutEquals", "alone\nb=2\nx y\r\n", {{"b", "2"}}, {"alone", "x y"}},
        ParseCase{"KeyAtEndWithoutEquals", "a=1\ntail", {{"a", "1"}}, {}},
        ParseCase{"Comments", "#c=1\na=1#x\n b=#\n#c\r d=1\ne=2\n#end",
                  {{"a", "1#x"}, {" b", "#"}, {"e", "2"}}, {}},
        ParseCase{"CtrlZEndsAtLineStart", "a=x\x1Ay\n\x1A" "b=2\n", {{"a", "x\x1Ay"}}, {}},
        ParseCase{"NulEndsValue", "a=1\0b=2\n"s, {{"a", "1"}}, {}},
        ParseCase{"NulEndsKey", "a=1\nke\0=y\n"s, {{"a", "1"}}, {}},
        ParseCase{"NulAfterCrRun", "a=1\r\0b=2\n"s, {{"a", "1"}}, {}},
        ParseCase{"EmptyText", "", {}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PropertyParseFull, RefusesThe8193rdKeyAndGoesOn) {
    std::string text;
    for (int i = 0; i <= QN_PROPERTY_CAPACITY + 1; ++i) text += "k" + std::to_string(i) + "=v\n";
    RecordingRequest req;
    Table table(parseProperties(req.get(), text.c_str()));
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->count, QN_PROPERTY_CAPACITY);
    EXPECT_EQ(req.count("log", "propertyTable full when trying to add k8192 = v"), 1);
    EXPECT_EQ(req.count("log", "propertyTable full when trying to add k8193 = v"), 1);
    EXPECT_EQ(setProperty(req.get(), table.get(), "new", "v"), -1);
    EXPECT_EQ(req.count("log", "propertyTable full when trying to add new = v"), 1);
    EXPECT_EQ(addProperty1(req.get(), table.get(), nullptr, nullptr), -1);
    EXPECT_EQ(addProperty(table.get(), nullptr, nullptr), -1);
    EXPECT_EQ(setProperty(req.get(), table.get(), "k5", "w"), 5);
    // Removing an absent key sets it first; on a full table that fails and nothing goes.
    EXPECT_EQ(removeProperty(req.get(), table.get(), "absent", "v"), QN_PROPERTY_CAPACITY);
    EXPECT_EQ(req.count("log", "propertyTable full when trying to add absent = v"), 1);
    EXPECT_EQ(removeProperty(req.get(), table.get(), "k0", "v"), QN_PROPERTY_CAPACITY - 1);
    EXPECT_STREQ(table->entries[0].key, "k1");
}

class PropertyLoad : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/quon-props-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string write(const char* name, const std::string& content) {
        std::string path = dir + "/" + name;
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }
    std::string dir;
};

TEST_F(PropertyLoad, MissingFileLogsTheSystemText) {
    RecordingRequest req;
    std::string path = dir + "/missing";
    EXPECT_EQ(loadProperties(req.get(), path.c_str()), nullptr);
    EXPECT_EQ(req.count("trace", "loadProperties(" + path + ")"), 1);
    EXPECT_EQ(req.count("log", "could not open " + path + ": " + strerror(ENOENT)), 1);
}

TEST_F(PropertyLoad, EmptyFileGivesNullSilently) {
    RecordingRequest req;
    EXPECT_EQ(loadProperties(req.get(), write("empty", "").c_str()), nullptr);
    EXPECT_EQ(req.count("log", ""), 0);
}

// Blocks of the request-scoped allocator still held.
int callBlocks = 0;
void* countingMalloc(quon_request*, int size) {
    ++callBlocks;
    return malloc(size_t(size));
}
void countingFree(quon_request*, void* block) {
    --callBlocks;
    free(block);
}
void* failingMalloc(quon_request*, int) { return nullptr; }

TEST_F(PropertyLoad, RealFileIsParsedAndItsBufferFreed) {
    RecordingRequest req;
    req->malloc = countingMalloc;
    req->free = countingFree;
    callBlocks = 0;
    Table table(loadProperties(req.get(), write("real", "# servers\r\na=1\r\nb = 2").c_str()));
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(pairsOf(table.get()), (Pairs{{"a", "1"}, {"b ", " 2"}}));
    EXPECT_EQ(callBlocks, 0);
    Table same(loadProperties1((dir + "/real").c_str()));
    ASSERT_NE(same, nullptr);
    EXPECT_EQ(pairsOf(same.get()), pairsOf(table.get()));
}

TEST_F(PropertyLoad, BufferThatCannotBeAllocatedGivesNull) {
    RecordingRequest req;
    req->malloc = failingMalloc;
    std::string path = write("real", "a=1\n");
    EXPECT_EQ(loadProperties(req.get(), path.c_str()), nullptr);
    EXPECT_EQ(req.count("log", "could not read data in " + path), 1);
}
}  // namespace
