// user_rules.cpp - costs, and rule instances over one reduction's symbols.
#include "optimizer/user_rules.hpp"

#include <algorithm>
#include <map>

#include <boost/unordered/unordered_flat_set.hpp>

#include "common/internal_error.hpp"
#include "store/member_token.hpp"

namespace korvane {

using egraph::ClassId;
using egraph::FlatTerm;
using egraph::PatternNode;
using egraph::Symbol;

// --- costs ---

std::string CostTable::key(NodeKind kind, std::string_view name) {
  std::string k(1, static_cast<char>(kind));
  k.append(name);
  return k;
}

void CostTable::set(NodeKind kind, std::string_view name, double cost) {
  check(cost > 0 && cost < 1e300, "a cost must be positive and finite");
  auto [it, fresh] = position_.try_emplace(key(kind, name), listed_.size());
  if (fresh) {
    listed_.push_back({{kind, std::string(name)}, cost});
  } else {
    listed_[it->second].second = cost;
  }
}

double CostTable::cost(NodeKind kind, std::string_view name) const {
  if (listed_.empty()) return 1;
  auto it = position_.find(key(kind, name));
  return it == position_.end() ? 1 : listed_[it->second].second;
}

double CostTable::cost(const NodeHead& head) const {
  if (head.kind != NodeKind::Stage) return cost(head.kind, head.name);
  double sum = 0;
  for (const auto& [kind, name] : head.members) sum += cost(kind, name);
  return std::max(sum, 1.0);
}

// --- symbols ---

std::string head_symbol(const NodeHead& head) {
  std::vector<ParamRef> refs;
  refs.reserve(head.params.size());
  for (const Param& p : head.params) refs.push_back(p.ref());
  std::string out;
  switch (head.kind) {
    case NodeKind::Source:
      append_member_token(out, "src", head.name, refs);
      break;
    case NodeKind::Op:
      append_member_token(out, "op", head.name, refs);
      break;
    case NodeKind::Reduction:
      append_member_token(out, "red", head.name, refs);
      break;
    case NodeKind::Exchange:
      out = "exch";
      append_param_part(out, refs);
      break;
    case NodeKind::Join:
      out = "join";
      append_param_part(out, refs);
      break;
    case NodeKind::External:
    case NodeKind::Stage:
      throw InternalError("a rule pattern names an External or a Stage");
  }
  return out;
}

std::string instance_name(std::string_view name, size_t k) {
  std::string out(name);
  if (k > 0) out.append("#").append(std::to_string(k));
  return out;
}

std::string_view rule_of_instance(std::string_view instance) {
  return instance.substr(0, std::min(instance.size(), instance.find('#')));
}

namespace {

// A parameter value as a rule binds it: tag, bits and string.
struct Value {
  ParamTag tag = ParamTag::Int;
  uint64_t bits = 0;
  std::string str;

  friend bool operator==(const Value&, const Value&) = default;
};

Value value_of(const Param& p) { return Value{p.tag, p.bits, p.str}; }
Value value_of(const RuleParam& p) { return Value{p.tag, p.bits, p.str}; }

using Bindings = std::map<std::string, Value, std::less<>>;

// Whether a recorded head fits a pattern head: same kind and name, the
// same keys, equal literals, and values that agree with the bindings made
// so far (which it extends).
bool fits(const RuleNode& pattern, const NodeHead& head, Bindings& bindings) {
  if (head.kind != pattern.kind || head.name != pattern.name || head.params.size() != pattern.params.size()) {
    return false;
  }
  for (size_t i = 0; i < pattern.params.size(); ++i) {
    const RuleParam& want = pattern.params[i];
    const Param& have = head.params[i];
    if (want.key != have.key) return false;
    const Value v = value_of(have);
    if (!want.is_var) {
      if (!(value_of(want) == v)) return false;
      continue;
    }
    auto [it, fresh] = bindings.try_emplace(want.var, v);
    if (!fresh && !(it->second == v)) return false;
  }
  return true;
}

bool has_param_var(const RuleNode& node) {
  return std::any_of(node.params.begin(), node.params.end(), [](const RuleParam& p) { return p.is_var; });
}

// The searcher's nodes whose parameters hold a variable, in pre-order.
void collect_var_heads(const RuleNode& node, std::vector<const RuleNode*>& out) {
  if (node.is_var) return;
  if (has_param_var(node)) out.push_back(&node);
  for (const RuleNode& c : node.children) collect_var_heads(c, out);
}

// The head a pattern node names under `bindings`.
NodeHead bound_head(const RuleNode& node, const Bindings& bindings) {
  NodeHead head;
  head.kind = node.kind;
  head.name = node.name;
  head.params.reserve(node.params.size());
  for (const RuleParam& p : node.params) {
    Param out{p.key, p.tag, p.bits, p.str};
    if (p.is_var) {
      auto it = bindings.find(p.var);
      check(it != bindings.end(), "a rule's parameter variable is unbound");
      out.tag = it->second.tag;
      out.bits = it->second.bits;
      out.str = it->second.str;
    }
    head.params.push_back(std::move(out));
  }
  return head;
}

// Instantiates one rule under one binding of its parameter variables.
class Builder {
 public:
  Builder(egraph::SymbolScope& scope, const std::vector<std::optional<NodeHead>>& heads, RuleInstances& out)
      : scope_(scope), heads_(heads), out_(out) {}

  FlatTerm<PatternNode> term(const RuleNode& root, const Bindings& bindings, bool applier) {
    FlatTerm<PatternNode> t;
    add(t, root, bindings, applier);
    return t;
  }

 private:
  ClassId add(FlatTerm<PatternNode>& t, const RuleNode& node, const Bindings& bindings, bool applier) {
    if (node.is_var) {
      auto var = egraph::parse_var("?" + node.var);
      check(var.ok(), "a rule variable's name is no variable");
      return t.add(PatternNode::var(var.value()));
    }
    std::vector<ClassId> kids;
    kids.reserve(node.children.size());
    for (const RuleNode& c : node.children) kids.push_back(add(t, c, bindings, applier));
    NodeHead head = bound_head(node, bindings);
    const Symbol op = scope_.intern(head_symbol(head));
    if (applier) note_made(op, std::move(head));
    return t.add(PatternNode::enode(egraph::SymbolLang{op, egraph::Children(std::span<const ClassId>(kids))}));
  }

  void note_made(Symbol op, NodeHead head) {
    if (op.raw() < heads_.size() && heads_[op.raw()]) return;  // a recorded symbol
    if (!made_seen_.insert(op).second) return;
    out_.made.emplace_back(op, std::move(head));
  }

  egraph::SymbolScope& scope_;
  const std::vector<std::optional<NodeHead>>& heads_;
  RuleInstances& out_;
  boost::unordered_flat_set<Symbol, egraph::SymbolHash> made_seen_;  ///< the symbols `out_.made` holds
};

}  // namespace

RuleInstances instantiate(const UserRules& rules, egraph::SymbolScope& scope,
                          const std::vector<std::optional<NodeHead>>& heads) {
  RuleInstances out;
  // The recorded symbols by kind and name, for the rules' parameter
  // variables: built only for the heads some rule asks for.
  std::map<std::pair<NodeKind, std::string>, std::vector<uint32_t>> wanted;
  std::vector<std::vector<const RuleNode*>> var_heads(rules.rules().size());
  for (size_t r = 0; r < rules.rules().size(); ++r) {
    collect_var_heads(rules.rules()[r].searcher, var_heads[r]);
    for (const RuleNode* h : var_heads[r]) wanted.try_emplace({h->kind, h->name});
  }
  if (!wanted.empty()) {
    for (uint32_t s = 0; s < heads.size(); ++s) {
      if (!heads[s]) continue;
      auto it = wanted.find(std::pair<NodeKind, std::string>{heads[s]->kind, heads[s]->name});
      if (it != wanted.end()) it->second.push_back(s);
    }
  }

  Builder builder(scope, heads, out);
  for (size_t r = 0; r < rules.rules().size(); ++r) {
    const ParsedRule& rule = rules.rules()[r];
    size_t count = 0;
    auto emit = [&](const Bindings& bindings) {
      auto rewrite = egraph::Rewrite::make(instance_name(rule.name, count),
                                           egraph::Pattern(builder.term(rule.searcher, bindings, false)),
                                           egraph::Pattern(builder.term(rule.applier, bindings, true)));
      check(rewrite.ok(), "a checked rule has an unbound applier variable");
      out.rewrites.push_back(std::move(rewrite).value());
      out.owner.push_back(static_cast<uint32_t>(r));
      ++count;
    };
    const std::vector<const RuleNode*>& vh = var_heads[r];
    if (vh.empty()) {
      emit(Bindings{});
      continue;
    }
    // Every consistent choice of a recorded symbol per variable head, in
    // symbol order, depth first.
    Bindings bindings;
    auto choose = [&](auto& self, size_t k) -> void {
      if (count >= kMaxInstancesPerRule) return;
      if (k == vh.size()) {
        emit(bindings);
        return;
      }
      const std::vector<uint32_t>& candidates = wanted.at({vh[k]->kind, vh[k]->name});
      for (uint32_t s : candidates) {
        Bindings saved = bindings;
        if (fits(*vh[k], *heads[s], bindings)) self(self, k + 1);
        bindings = std::move(saved);
      }
    };
    choose(choose, 0);
  }
  return out;
}

}  // namespace korvane
