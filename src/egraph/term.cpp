// term.cpp - variables, pattern nodes and the pattern-text parser.
//
// The parser trims the text, reads it with `read_sexp` and appends the
// nodes bottom-up into a flat term, children before parents, converting
// list elements from left to right; the first error ends the conversion.
#include "egraph/term.hpp"

#include "common/internal_error.hpp"
#include "common/utf8.hpp"

namespace korvane::egraph {

Result<Var, MissingQuestionMark> parse_var(std::string_view text) {
  if (text.size() >= 2 && text.front() == '?') return Var{intern(text)};
  return Err(MissingQuestionMark{std::string(text)});
}

Var PatternNode::as_var() const {
  const Var* var = std::get_if<Var>(&value_);
  check(var != nullptr, "PatternNode::as_var called on an operator node");
  return *var;
}

const SymbolLang& PatternNode::as_enode() const {
  const SymbolLang* node = std::get_if<SymbolLang>(&value_);
  check(node != nullptr, "PatternNode::as_enode called on a variable");
  return *node;
}

SymbolLang& PatternNode::as_enode() {
  SymbolLang* node = std::get_if<SymbolLang>(&value_);
  check(node != nullptr, "PatternNode::as_enode called on a variable");
  return *node;
}

std::span<const ClassId> PatternNode::children() const noexcept {
  if (const SymbolLang* node = std::get_if<SymbolLang>(&value_)) return node->children.span();
  return {};
}

std::strong_ordering operator<=>(const PatternNode& a, const PatternNode& b) {
  if (a.value_.index() != b.value_.index()) return a.value_.index() <=> b.value_.index();
  if (a.is_var()) return a.as_var() <=> b.as_var();
  return a.as_enode() <=> b.as_enode();
}

namespace {

void append_text(const FlatTerm<PatternNode>& term, std::size_t position, std::string& text) {
  const PatternNode& node = term[position];
  if (node.is_var()) {
    text += to_string(node.as_var());
    return;
  }
  const SymbolLang& enode = node.as_enode();
  if (enode.children.empty()) {
    text += resolve(enode.op);
    return;
  }
  text += '(';
  text += resolve(enode.op);
  for (ClassId child : enode.children) {
    text += ' ';
    append_text(term, child, text);
  }
  text += ')';
}

}  // namespace

std::string to_string(const FlatTerm<PatternNode>& term) {
  std::string text;
  if (!term.empty()) append_text(term, term.size() - 1, text);
  return text;
}

std::string to_string(const PatternNodeError& error) {
  if (const auto* unexpected = std::get_if<UnexpectedVar>(&error)) {
    return "Found variable " + unexpected->op + " with arguments";
  }
  return "Variable " + std::get<BadVar>(error).error.text + " must start with ?";
}

std::string to_string(const TermParseError& error) {
  struct Describe {
    std::string operator()(const EmptySexp&) const { return "Found empty s-expression"; }
    std::string operator()(const HeadList& e) const { return "Found a list in the head position: " + to_string(e.head); }
    std::string operator()(const BadOp& e) const { return "Could not parse op: " + to_string(e.error); }
    std::string operator()(const BadSexp& e) const { return "Could not read s-expression: " + to_string(e.error); }
  };
  return std::visit(Describe{}, error);
}

Result<PatternNode, PatternNodeError> node_from_op(std::string_view op, std::span<const ClassId> children) {
  if (op.size() > 1 && op.front() == '?') {
    if (!children.empty()) return Err(PatternNodeError(UnexpectedVar{std::string(op)}));
    auto var = parse_var(op);
    if (!var) return Err(PatternNodeError(BadVar{std::move(var).error()}));
    return PatternNode::var(var.value());
  }
  return PatternNode::enode(SymbolLang{intern(op), Children(children)});
}

namespace {

/// Decodes the UTF-8 character at `pos`; returns its code point and length
/// (a byte that starts no well-formed sequence reads as one U+FFFD).
std::pair<char32_t, std::size_t> decode_at(std::string_view text, std::size_t pos) noexcept {
  const std::size_t length = utf8_sequence_length(text, pos);
  if (length == 0) return {0xFFFD, 1};
  const auto lead = static_cast<unsigned char>(text[pos]);
  char32_t code = length == 1 ? lead : lead & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i) code = (code << 6) | (static_cast<unsigned char>(text[pos + i]) & 0x3F);
  return {code, length};
}

/// The Unicode White_Space property.
bool is_unicode_space(char32_t c) noexcept {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

/// Converts one Sexp, appending its nodes; returns the position of its root.
Result<ClassId, TermParseError> convert(const Sexp& sexp, FlatTerm<PatternNode>& term) {
  if (sexp.kind == Sexp::Kind::String) {
    auto node = node_from_op(sexp.text, {});
    if (!node) return Err(TermParseError(BadOp{std::move(node).error()}));
    return term.add(std::move(node).value());
  }
  if (sexp.kind == Sexp::Kind::Empty || sexp.list.empty()) return Err(TermParseError(EmptySexp{}));
  const Sexp& head = sexp.list.front();
  if (head.kind != Sexp::Kind::String) return Err(TermParseError(HeadList{head}));
  std::vector<ClassId> children;
  children.reserve(sexp.list.size() - 1);
  for (std::size_t i = 1; i < sexp.list.size(); ++i) {
    auto child = convert(sexp.list[i], term);
    if (!child) return child;
    children.push_back(child.value());
  }
  auto node = node_from_op(head.text, children);
  if (!node) return Err(TermParseError(BadOp{std::move(node).error()}));
  return term.add(std::move(node).value());
}

}  // namespace

std::string_view trim_unicode_space(std::string_view text) noexcept {
  std::size_t start = 0;
  while (start < text.size()) {
    auto [code, length] = decode_at(text, start);
    if (!is_unicode_space(code)) break;
    start += length;
  }
  std::size_t end = text.size();
  while (end > start) {
    std::size_t begin = end - 1;
    while (begin > start && utf8_continuation(static_cast<unsigned char>(text[begin])) && end - begin < 4) --begin;
    auto [code, length] = decode_at(text, begin);
    if (begin + length != end) {
      // Malformed tail: the last byte is a character of its own.
      begin = end - 1;
      code = decode_at(text, begin).first;
    }
    if (!is_unicode_space(code)) break;
    end = begin;
  }
  return text.substr(start, end - start);
}

Result<FlatTerm<PatternNode>, TermParseError> parse_term(std::string_view text) {
  auto sexp = read_sexp(trim_unicode_space(text));
  if (!sexp) return Err(TermParseError(BadSexp{std::move(sexp).error()}));
  FlatTerm<PatternNode> term;
  auto root = convert(sexp.value(), term);
  if (!root) return Err(std::move(root).error());
  return term;
}

}  // namespace korvane::egraph
