// Expansion of "{name}" references: defaults, built-in server names, the rescan of
// inserted text, and the guard against cycles and explosive tables.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "memory.h"
#include "property.h"

namespace {
struct FreeTable {
    void operator()(propertyTable* table) const { freeProperties1(table); }
};
using Table = std::unique_ptr<propertyTable, FreeTable>;

Table tableOf(const char* text) { return Table(text ? parseProperties1(text) : nullptr); }

// Takes over a heap result of the expansion.
std::optional<std::string> taken(char* result) {
    if (!result) return std::nullopt;
    std::string text(result);
    quon_request heap;
    init_allocators(&heap);
    doFree(&heap, result);
    return text;
}

struct ExpandCase {
    const char* name;
    const char* props;
    const char* defaults;  // null: no defaults table
    const char* rootDirs;  // null: no root-directory table
    const char* server;    // null: the lookups without built-in names
    const char* key;       // looked up; null: text is expanded instead
    const char* text;
    std::optional<std::string> expected;
};

void PrintTo(const ExpandCase& c, std::ostream* out) { *out << c.name; }

class ExpandVars : public ::testing::TestWithParam<ExpandCase> {};

TEST_P(ExpandVars, Yields) {
    const ExpandCase& c = GetParam();
    Table props = tableOf(c.props), defaults = tableOf(c.defaults), dirs = tableOf(c.rootDirs);
    std::optional<std::string> with3 =
        c.key ? taken(getPropertyValue3(props.get(), defaults.get(), dirs.get(), c.key, c.server))
              : taken(expand_vars2(c.text, props.get(), defaults.get(), dirs.get(), c.server));
    EXPECT_EQ(with3, c.expected);
    if (c.server) return;
    // Without a server both families agree.
    std::optional<std::string> with2 =
        c.key ? taken(getPropertyValue2(props.get(), defaults.get(), c.key))
              : taken(expand_vars(c.text, props.get(), defaults.get()));
    EXPECT_EQ(with2, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    ExpandReferences, ExpandVars,
    ::testing::Values(
        ExpandCase{"Nested", "a=x{b}y\nb=1", nullptr, nullptr, nullptr, "a", nullptr, "x1y"},
        ExpandCase{"DefaultMarker", "a={default}", "a=5", nullptr, nullptr, "a", nullptr, "5"},
        ExpandCase{"DefaultOnlyInDefaults", "b=1", "a=x{b}", nullptr, nullptr, "a", nullptr, "x1"},
        ExpandCase{"AbsentEverywhere", "b=1", "c=2", nullptr, nullptr, "a", nullptr, std::nullopt},
        ExpandCase{"MarkerWithoutDefaults", "a={default}\ndefault=D", nullptr, nullptr, nullptr,
                   "a", nullptr, "D"},
        ExpandCase{"UnknownNameRemoved", "", nullptr, nullptr, nullptr, nullptr, "x{nope}y", "xy"},
        ExpandCase{"UnmatchedBraceStays", "y=1", nullptr, nullptr, nullptr, nullptr, "x{y", "x{y"},
        ExpandCase{"NullTextIsEmpty", "", nullptr, nullptr, nullptr, nullptr, nullptr, ""},
        ExpandCase{"InsertedBracePairsLater", "b={\nc=Z", nullptr, nullptr, nullptr, nullptr,
                   "{b}c}!", "Z!"},
        ExpandCase{"ServerName", "", nullptr, nullptr, "s1", nullptr, "{quon.server.name}/logs",
                   "s1/logs"},
        ExpandCase{"RootDirRescanned", "base=q", nullptr, "s1=/opt/{base}\ns2=/x", "s1", nullptr,
                   "{quon.server.rootdir}/bin", "/opt/q/bin"},
        ExpandCase{"RootDirWithoutTable", "", nullptr, nullptr, "s1", nullptr,
                   "[{quon.server.rootdir}]", "[]"},
        ExpandCase{"BuiltInInsideValue", "a={quon.server.name}:{b}\nb=2", nullptr, nullptr, "s1",
                   "a", nullptr, "s1:2"},
        ExpandCase{"SelfReferenceCut", "a=x{a}y", nullptr, nullptr, nullptr, "a", nullptr, "xy"},
        ExpandCase{"CycleThroughOthersCut", "a=p{b}\nb=q{a}", nullptr, nullptr, nullptr, "a",
                   nullptr, "pq"},
        ExpandCase{"RepeatedNameIsNoCycle", "a={b}{b}\nb=1", nullptr, nullptr, nullptr, "a",
                   nullptr, "11"},
        ExpandCase{"CycleThroughDefaultsCut", "a={default}", "a=<{a}>", nullptr, nullptr, "a",
                   nullptr, "<>"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ExpandGuard, ValueWithoutReferenceIsANewCopy) {
    Table props = tableOf("a=plain");
    char* result = getPropertyValue2(props.get(), nullptr, "a");
    EXPECT_NE(result, getPropertyValue(props.get(), "a"));
    EXPECT_EQ(taken(result), "plain");
}

TEST(ExpandGuard, DoublingChainStaysBounded) {
    // Each value names the one before twice: 2^60 lookups and as many bytes unguarded.
    std::string text = "a0=xxxxxxxxxxxxxxxx\n";
    for (int i = 1; i <= 60; ++i)
        text += "a" + std::to_string(i) + "={a" + std::to_string(i - 1) + "}{a" +
                std::to_string(i - 1) + "}\n";
    Table props = tableOf(text.c_str());
    std::optional<std::string> result = taken(getPropertyValue2(props.get(), nullptr, "a60"));
    ASSERT_TRUE(result.has_value());
    EXPECT_LE(result->size(), 64u * 1024u);
    EXPECT_GT(result->size(), 0u);
}

TEST(ExpandGuard, SelfNamingBuiltInEnds) {
    Table dirs = tableOf("s1={quon.server.rootdir}{quon.server.rootdir}");
    std::optional<std::string> result =
        taken(expand_vars2("{quon.server.rootdir}", nullptr, nullptr, dirs.get(), "s1"));
    ASSERT_TRUE(result.has_value());
    EXPECT_NE(result->find("{quon.server.rootdir}"), std::string::npos);
}

TEST(ExpandGuard, DeepChainIsCutButShallowOneResolves) {
    std::string text;
    for (int i = 0; i < 100; ++i)
        text += "n" + std::to_string(i) + "={n" + std::to_string(i + 1) + "}\n";
    text += "n100=end\n";
    Table props = tableOf(text.c_str());
    EXPECT_EQ(taken(getPropertyValue2(props.get(), nullptr, "n90")), "end");
    EXPECT_EQ(taken(getPropertyValue2(props.get(), nullptr, "n0")), "");
}

TEST(ExpandFindVariable, FindsTheFirstOpenAndTheCloseAfterIt) {
    const char* text = "}a{b{c}d}";
    const char* open = nullptr;
    const char* close = nullptr;
    ASSERT_EQ(find_variable(text, &open, &close), 1);
    EXPECT_EQ(open, text + 2);
    EXPECT_EQ(close, text + 6);
    EXPECT_EQ(find_variable("}{", &open, &close), 0);
    EXPECT_EQ(find_variable(nullptr, &open, &close), 0);
    EXPECT_EQ(open, text + 2);
}
}  // namespace
