// rule_text_fuzz.cpp - libFuzzer target for the rule text reader.
//
// The bytes are read as a rule text, as a cost key, and (split at their
// first two newlines) as one name/searcher/applier triple. Nothing may
// crash or throw; every error is a message in one of the documented shapes
// and well-formed UTF-8 (the binding raises it as a str). Whatever reads
// writes back through to_text to patterns that read, as triples, to equal
// trees and write to the same text again; the rules written as `=>` lines
// read back to the same rules.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/utf8.hpp"
#include "optimizer/rule_text.hpp"
#include "require.hpp"

namespace {

using korvane::RuleNode;
using korvane::ParsedRule;
using korvane::RuleTriple;

bool well_shaped(const std::string& message) {
  if (!korvane::valid_utf8(message) || message.find(": ") == std::string::npos) return false;
  return message.starts_with("rule '") || message.starts_with("line ") || message.starts_with("item ");
}

/// The invariants of a tree the reader built: sorted distinct keys, only
/// the kinds patterns name, names where kinds need them, a bounded depth.
void check_tree(const RuleNode& node, size_t depth) {
  require(depth <= 64);
  if (node.is_var) {
    require(!node.var.empty() && node.children.empty() && node.params.empty());
    return;
  }
  const bool named = node.kind == korvane::NodeKind::Op || node.kind == korvane::NodeKind::Source ||
                     node.kind == korvane::NodeKind::Reduction;
  require(named || node.kind == korvane::NodeKind::Exchange || node.kind == korvane::NodeKind::Join);
  require(named != node.name.empty());
  for (size_t i = 1; i < node.params.size(); ++i) require(node.params[i - 1].key < node.params[i].key);
  for (const auto& p : node.params) {
    if (p.tag == korvane::ParamTag::Float && p.bits != korvane::kCanonicalNaN) {
      require((p.bits & 0x7FF0000000000000ULL) != 0x7FF0000000000000ULL || (p.bits & 0x000FFFFFFFFFFFFFULL) == 0);
    }
    if (p.tag == korvane::ParamTag::Bool) require(p.bits <= 1);
  }
  for (const RuleNode& child : node.children) check_tree(child, depth + 1);
}

/// Each rule's patterns, written and read back as a triple, are the same.
void check_round_trip(const std::vector<ParsedRule>& parsed) {
  std::vector<std::string> texts;
  texts.reserve(parsed.size() * 2);
  std::string lines;
  for (const ParsedRule& rule : parsed) {
    check_tree(rule.searcher, 1);
    check_tree(rule.applier, 1);
    require(!rule.searcher.is_var);
    texts.push_back(korvane::to_text(rule.searcher));
    texts.push_back(korvane::to_text(rule.applier));
    const std::string& searcher = texts[texts.size() - 2];
    const std::string& applier = texts.back();
    const RuleTriple triple{rule.name, searcher, applier};
    auto again = korvane::parse_rule_triples({&triple, 1});
    require(again.ok());
    require(again.value().size() == 1);
    require(again.value()[0].searcher == rule.searcher);
    require(again.value()[0].applier == rule.applier);
    require(korvane::to_text(again.value()[0].searcher) == searcher);
    require(korvane::to_text(again.value()[0].applier) == applier);
    lines += rule.name + ": " + searcher + " => " + applier + "\n";
  }
  auto relined = korvane::parse_rule_text(lines);
  require(relined.ok());
  require(relined.value().size() == parsed.size());
  for (size_t i = 0; i < parsed.size(); ++i) {
    require(relined.value()[i].name == parsed[i].name);
    require(relined.value()[i].line == i + 1);
    require(relined.value()[i].searcher == parsed[i].searcher);
    require(relined.value()[i].applier == parsed[i].applier);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    auto parsed = korvane::parse_rule_text(text);
    if (parsed.ok()) {
      check_round_trip(parsed.value());
    } else {
      require(well_shaped(parsed.error()));
    }

    auto cost = korvane::parse_cost_key(text);
    if (cost.ok()) {
      const auto& [kind, name] = cost.value();
      require((kind == korvane::NodeKind::Exchange || kind == korvane::NodeKind::Join) == name.empty());
    } else {
      require(korvane::valid_utf8(cost.error()));
    }

    const size_t first = text.find('\n');
    const size_t second = first == std::string_view::npos ? first : text.find('\n', first + 1);
    if (second != std::string_view::npos) {
      const RuleTriple triple{text.substr(0, first), text.substr(first + 1, second - first - 1), text.substr(second + 1)};
      auto read = korvane::parse_rule_triples({&triple, 1});
      if (read.ok()) {
        check_round_trip(read.value());
      } else {
        require(well_shaped(read.error()));
      }
    }
  } catch (...) {
    require(false && "the reader threw");
  }
  return 0;
}
