// egraph_symbol_test.cpp - the process-wide symbol table.
//
// Interning is idempotent and injective, texts survive for the process,
// symbols encode shard and position as documented, and concurrent interning
// of overlapping texts agrees on one symbol per text.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "common/internal_error.hpp"
#include "egraph/egraph.hpp"
#include "egraph/symbol.hpp"
#include "egraph/symbol_scope.hpp"

namespace korvane::egraph {
namespace {

TEST(Symbol, InternIsIdempotentAndInjective) {
  const Symbol a = intern("op|add");
  const Symbol b = intern("op|mul");
  EXPECT_EQ(a, intern(std::string("op|") + "add"));
  EXPECT_NE(a, b);
  EXPECT_EQ(resolve(a), "op|add");
  EXPECT_EQ(resolve(b), "op|mul");
  EXPECT_EQ(resolve(intern("")), "");
  EXPECT_EQ(intern(""), intern(""));
  // Embedded zero bytes are part of the text.
  const std::string with_nul("a\0b", 3);
  EXPECT_NE(intern(with_nul), intern("a"));
  EXPECT_EQ(resolve(intern(with_nul)), with_nul);
}

TEST(Symbol, BitLayoutFollowsTheTextHash) {
  for (const char* text : {"", "?x", "src|a", "op|add|scalar=f0000000000000000;side=sr", "commute-add"}) {
    const Symbol symbol = intern(text);
    EXPECT_EQ(symbol.shard(), detail::text_hash(text) & 0xF) << text;
    EXPECT_EQ(symbol.raw() >> 28, symbol.shard());
    EXPECT_NE(symbol.raw() & 0x0FFFFFFF, 0u) << "position + 1 is never 0";
  }
  // Fixed hash: no per-process seed.
  EXPECT_EQ(detail::text_hash("abc"), detail::text_hash(std::string("ab") + "c"));
}

TEST(Symbol, LongTextsStayValidWhileTheTableGrows) {
  const std::string long_text(100000, 'x');
  const std::string_view stored = resolve(intern(long_text));
  for (int i = 0; i < 20000; ++i) intern("grow-" + std::to_string(i));
  EXPECT_EQ(stored, long_text);
  EXPECT_EQ(resolve(intern("grow-17")), "grow-17");
}

TEST(Symbol, EncodingCapacity) {
  EXPECT_EQ(detail::make_symbol(3, 0).raw(), 0x30000001u);
  EXPECT_EQ(detail::make_symbol(15, 0x0FFFFFFD).raw(), 0xFFFFFFFEu);
  try {
    detail::make_symbol(3, 0x0FFFFFFE);
    FAIL() << "expected InternalError";
  } catch (const InternalError& error) {
    EXPECT_STREQ(error.what(), "Can't represent index 268435455 in a Symbol");
  }
}

TEST(Symbol, ResolvingAnUnknownSymbolIsAnInternalError) {
  EXPECT_THROW(resolve(Symbol()), InternalError);
  EXPECT_THROW(resolve(Symbol(0x0FFFFFFE)), InternalError);
}

TEST(Symbol, OrderIsNumeric) {
  const Symbol a = intern("zzz-order");
  const Symbol b = intern("aaa-order");
  EXPECT_EQ(a < b, a.raw() < b.raw());
}

// Run alone (as ctest runs each test), this is also the table's first use.
TEST(Symbol, ConcurrentInterningAgrees) {
  constexpr int kThreads = 8;
  constexpr int kTexts = 3000;
  std::vector<std::vector<Symbol>> seen(kThreads, std::vector<Symbol>(kTexts));
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ready.fetch_add(1);
      while (ready.load() < kThreads) {
      }
      // Each thread walks the texts from a different starting point.
      for (int k = 0; k < kTexts; ++k) {
        const int text = (k + t * 397) % kTexts;
        seen[t][text] = intern("concurrent-" + std::to_string(text));
        if (resolve(seen[t][text]) != "concurrent-" + std::to_string(text)) seen[t][text] = Symbol();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int k = 0; k < kTexts; ++k) {
    for (int t = 1; t < kThreads; ++t) ASSERT_EQ(seen[t][k], seen[0][k]) << k;
    ASSERT_EQ(resolve(seen[0][k]), "concurrent-" + std::to_string(k));
  }
  std::vector<std::uint32_t> raws;
  for (Symbol symbol : seen[0]) raws.push_back(symbol.raw());
  std::sort(raws.begin(), raws.end());
  EXPECT_EQ(std::adjacent_find(raws.begin(), raws.end()), raws.end()) << "distinct texts share a symbol";
}

TEST(SymbolScope, InternsTextsOfItsOwnAndRefusesForeignSymbols) {
  SymbolScope scope;
  const Symbol a = scope.intern("op|f|x=i0000000000000001");
  EXPECT_EQ(scope.intern("op|f|x=i0000000000000001"), a);
  const Symbol empty = scope.intern("");
  EXPECT_NE(empty, a);
  EXPECT_EQ(scope.resolve(a), "op|f|x=i0000000000000001");
  EXPECT_EQ(scope.resolve(empty), "");
  EXPECT_EQ(scope.size(), 2u);
  EXPECT_THROW(scope.resolve(Symbol(3)), InternalError);
  EXPECT_THROW(scope.resolve(Symbol()), InternalError);
  // Many texts: the list grows without copying what it holds.
  for (int i = 0; i < 100000; ++i) scope.intern(std::string("t").append(std::to_string(i)));
  EXPECT_EQ(scope.resolve(a), "op|f|x=i0000000000000001");
  EXPECT_EQ(scope.resolve(scope.intern("t99999")), "t99999");
}

TEST(SymbolScope, ScopedRulesMatchTermsOfTheSameScope) {
  auto rule = Rewrite::parse("commute-f", "(f ?a ?b)", "(f ?b ?a)");
  ASSERT_TRUE(rule);
  SymbolScope scope;
  const Rewrite scoped_rule = scoped(rule.value(), scope);
  EXPECT_EQ(scoped_rule.name(), rule.value().name());
  EGraph egraph;
  const ClassId a = egraph.add(SymbolLang{scope.intern("a"), {}});
  const ClassId b = egraph.add(SymbolLang{scope.intern("b"), {}});
  const ClassId ab = egraph.add(SymbolLang{scope.intern("f"), Children{a, b}});
  egraph.rebuild();
  const auto matches = scoped_rule.search(egraph);
  ASSERT_EQ(matches.size(), 1u);
  EXPECT_EQ(matches[0].class_id, ab);
  // The unscoped rule's operator is the process-wide symbol of "f", which no term here carries.
  EXPECT_TRUE(rule.value().search(egraph).empty());
}

}  // namespace
}  // namespace korvane::egraph
