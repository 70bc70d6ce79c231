// Expansion of "{name}" references: defaults, the built-in server names, the rescan of
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

// n0={n1}, n1={n2}, ... up to n<length>=end.
std::string chain(int length) {
    std::string text;
    for (int i = 0; i < length; ++i)
        text += "n" + std::to_string(i) + "={n" + std::to_string(i + 1) + "}\n";
    return text + "n" + std::to_string(length) + "=end\n";
}

struct ExpandCase {
    const char* name;
    std::string props;
    const char* defaults;  // null: no defaults table
    const char* key;       // looked up; null: text is expanded instead
    const char* text;
    std::optional<std::string> expected;
};

// Without a server name expand_vars2 gives what expand_vars gives: fuzz_expand checks
// that on every input.
TEST(ExpandVars, ReferencesDefaultsAndCycles) {
    for (const ExpandCase& c :
         {ExpandCase{"Nested", "a=x{b}y\nb=1", nullptr, "a", nullptr, "x1y"},
          ExpandCase{"DefaultMarker", "a={default}", "a=5", "a", nullptr, "5"},
          ExpandCase{"DefaultOnlyInDefaults", "b=1", "a=x{b}", "a", nullptr, "x1"},
          ExpandCase{"AbsentEverywhere", "b=1", "c=2", "a", nullptr, std::nullopt},
          ExpandCase{"MarkerWithoutDefaults", "a={default}\ndefault=D", nullptr, "a", nullptr, "D"},
          ExpandCase{"UnknownNameRemoved", "", nullptr, nullptr, "x{nope}y", "xy"},
          ExpandCase{"UnmatchedBraceStays", "y=1", nullptr, nullptr, "x{y", "x{y"},
          ExpandCase{"FirstOpenThenFirstClose", "b{c=1", nullptr, nullptr, "}a{b{c}d}", "}a1d}"},
          ExpandCase{"NullTextIsEmpty", "", nullptr, nullptr, nullptr, ""},
          ExpandCase{"InsertedBracePairsLater", "b={\nc=Z", nullptr, nullptr, "{b}c}!", "Z!"},
          ExpandCase{"SelfReferenceCut", "a=x{a}y", nullptr, "a", nullptr, "xy"},
          ExpandCase{"CycleThroughOthersCut", "a=p{b}\nb=q{a}", nullptr, "a", nullptr, "pq"},
          ExpandCase{"RepeatedNameIsNoCycle", "a={b}{b}\nb=1", nullptr, "a", nullptr, "11"},
          ExpandCase{"CycleThroughDefaultsCut", "a={default}", "a=<{a}>", "a", nullptr, "<>"},
          ExpandCase{"ShallowChainResolves", chain(100), nullptr, "n90", nullptr, "end"},
          ExpandCase{"DeepChainCut", chain(100), nullptr, "n0", nullptr, ""}}) {
        SCOPED_TRACE(c.name);
        Table props = tableOf(c.props.c_str()), defaults = tableOf(c.defaults);
        propertyTable *p = props.get(), *d = defaults.get();
        EXPECT_EQ(c.key ? taken(getPropertyValue2(p, d, c.key)) : taken(expand_vars(c.text, p, d)),
                  c.expected);
    }
}

TEST(ExpandBuiltIns, NameTheServerAndItsRootDirectory) {
    Table props = tableOf("base=q\na={quon.server.name}:{b}\nb=2");
    Table dirs = tableOf("s1=/opt/{base}\ns2=/x");
    auto expand = [&](const char* text, propertyTable* rootDirs) {
        return taken(expand_vars2(text, props.get(), nullptr, rootDirs, "s1"));
    };
    EXPECT_EQ(expand("{quon.server.name}/logs", dirs.get()), "s1/logs");
    EXPECT_EQ(expand("{quon.server.rootdir}/bin", dirs.get()), "/opt/q/bin");
    EXPECT_EQ(expand("[{quon.server.rootdir}]", nullptr), "[]");
    EXPECT_EQ(taken(getPropertyValue3(props.get(), nullptr, dirs.get(), "a", "s1")), "s1:2");
    EXPECT_EQ(taken(getPropertyValue2(props.get(), nullptr, "a")), ":2");
}

TEST(ExpandGuard, ExplosiveTablesEndBounded) {
    // Each value names the one before twice: 2^60 lookups and as many bytes unguarded.
    std::string text = "a0=xxxxxxxxxxxxxxxx\n";
    for (int i = 1; i <= 60; ++i)
        text += "a" + std::to_string(i) + "={a" + std::to_string(i - 1) + "}{a" +
                std::to_string(i - 1) + "}\n";
    Table props = tableOf(text.c_str());
    const std::string doubled = taken(getPropertyValue2(props.get(), nullptr, "a60")).value_or("");
    EXPECT_LE(doubled.size(), 64u * 1024u);
    // A root directory that names itself is read again where it was inserted.
    Table dirs = tableOf("s1={quon.server.rootdir}{quon.server.rootdir}");
    const std::optional<std::string> self =
        taken(expand_vars2("{quon.server.rootdir}", nullptr, nullptr, dirs.get(), "s1"));
    EXPECT_NE(self.value_or("").find("{quon.server.rootdir}"), std::string::npos);
}
}  // namespace
