// rule_text.cpp - the reader and checker of user-written rewrite rules.
//
// One recursive-descent Reader walks the bytes of a line (or of one pattern
// of a triple) and builds the RuleNode trees directly; variable uses are
// checked as they are read, against a table of the rule's variables, so the
// first error in reading order is the one reported. Two checks wait a little:
// whether the searcher is a bare variable is known once the arrow says which
// sides search, and whether the left side of a `<=>` rule binds everything
// the right side uses is known once the right side is read.
#include "optimizer/rule_text.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <limits>
#include <unordered_map>
#include <unordered_set>

#include "common/internal_error.hpp"
#include "common/utf8.hpp"

namespace korvane {
namespace {

constexpr size_t kMaxDepth = 64;
constexpr size_t kMaxNodes = 4096;
/// Parameter lists this long are checked for repeated keys through a hash set.
constexpr size_t kLinearKeyCheck = 16;

constexpr std::array<std::string_view, 12> kBuiltinRules = {
    "commute-add", "commute-mul", "commute-and", "commute-or",      "commute-eq", "commute-ne",
    "commute-maximum", "commute-minimum", "identity-0", "identity-1", "identity-2", "identity-3",
};

constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }
constexpr bool is_name_start(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
/// Characters of variables and bare parameter keys after the first.
constexpr bool is_word_char(char c) { return is_name_start(c) || is_digit(c); }
/// Characters of rule names and head names after the first.
constexpr bool is_name_char(char c) { return is_word_char(c) || c == '.' || c == '-'; }
/// Characters of an unquoted parameter value.
constexpr bool is_literal_char(char c) { return is_word_char(c) || c == '.' || c == '+' || c == '-'; }
constexpr bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r'; }
constexpr bool is_hex(char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

bool is_bare_name(std::string_view s) {
  if (s.empty() || !is_name_start(s[0])) return false;
  return std::all_of(s.begin() + 1, s.end(), is_name_char);
}

bool is_bare_key(std::string_view s) {
  if (s.empty() || !is_name_start(s[0])) return false;
  return std::all_of(s.begin() + 1, s.end(), is_word_char);
}

bool is_reserved(std::string_view s) { return s == "exchange" || s == "join"; }

bool is_builtin_rule(std::string_view name) {
  return std::find(kBuiltinRules.begin(), kBuiltinRules.end(), name) != kBuiltinRules.end();
}

void append_utf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

void append_hex_escape(std::string& out, uint32_t cp) {
  char buf[8];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, cp, 16);
  check(ec == std::errc(), "rule text: hex escape does not fit");
  out += "\\u{";
  out.append(buf, end);
  out += '}';
}

/// `text` as the body of a string literal. Bytes that are not UTF-8 (only
/// in hand-built values) become U+FFFD, so the result is always readable.
void append_string_body(std::string& out, std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x80) {
      const size_t length = utf8_sequence_length(text, i);
      if (length == 0) {
        append_hex_escape(out, 0xFFFD);
        ++i;
      } else {
        out.append(text.substr(i, length));
        i += length;
      }
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\0': out += "\\0"; break;
      default:
        if (u < 0x20 || u == 0x7F) {
          append_hex_escape(out, u);
        } else {
          out += c;
        }
    }
    ++i;
  }
}

void append_quoted(std::string& out, std::string_view text) {
  out += '"';
  append_string_body(out, text);
  out += '"';
}

/// The 1-based column of byte `pos` of `line`, in characters; a byte that
/// starts no well-formed sequence counts as one character.
size_t column_of(std::string_view line, size_t pos) {
  size_t column = 1;
  size_t i = 0;
  while (i < pos && i < line.size()) {
    const size_t length = utf8_sequence_length(line, i);
    i += length == 0 ? 1 : length;
    ++column;
  }
  return column;
}

/// A parameter key as the messages quote it: as written canonically.
std::string key_text(std::string_view key) {
  std::string out;
  if (is_bare_key(key)) {
    out = key;
  } else {
    append_quoted(out, key);
  }
  return out;
}

/// Which pattern of a rule is being read.
enum class Side : uint8_t { Left, Right };
/// Whether the rule applies one way (`=>`, and every triple) or both (`<=>`).
enum class Form : uint8_t { OneWay, BothWays };

std::string_view side_word(Form form, Side side) {
  if (form == Form::OneWay) return side == Side::Left ? "searcher" : "applier";
  return side == Side::Left ? "left side" : "right side";
}

/// One variable of the rule being read: its kind and which sides use it.
struct VarUse {
  std::string_view name;
  size_t first_pos = 0;  ///< byte offset of its first use on the left side
  bool param = false;
  bool left = false;
  bool right = false;
};

/// The variables of one rule, sorted by name. Names are views into the
/// rule's own text, which outlives the table's use.
class VarTable {
 public:
  void clear() { uses_.clear(); }

  VarUse* find(std::string_view name) {
    auto it = lower(name);
    return it != uses_.end() && it->name == name ? &*it : nullptr;
  }

  void insert(VarUse use) { uses_.insert(lower(use.name), use); }

  /// The first variable (in reading order) that the left side uses and the
  /// right side does not; nullptr when there is none.
  const VarUse* first_left_only() const {
    const VarUse* first = nullptr;
    for (const VarUse& u : uses_) {
      if (u.left && !u.right && (first == nullptr || u.first_pos < first->first_pos)) first = &u;
    }
    return first;
  }

 private:
  std::vector<VarUse>::iterator lower(std::string_view name) {
    return std::lower_bound(uses_.begin(), uses_.end(), name,
                            [](const VarUse& u, std::string_view n) { return u.name < n; });
  }

  std::vector<VarUse> uses_;
};

/// Why reading stopped: the message and, for a syntax error, where.
struct Failure {
  std::string what;
  size_t pos = 0;
  bool has_column = false;
};

/// Reads patterns from one line (or one pattern string). Every reading
/// function returns false after recording the failure.
class Reader {
 public:
  explicit Reader(std::string_view src) : src_(src), end_(src.size()) {}

  bool at_end() const { return pos_ >= end_; }
  char peek() const { return src_[pos_]; }
  size_t pos() const { return pos_; }
  void advance(size_t n) { pos_ += n; }
  bool looking_at(std::string_view token) const { return src_.substr(pos_, end_ - pos_).starts_with(token); }
  std::string_view source() const { return src_; }
  const Failure& failure() const { return failure_; }

  /// Skips spaces; a '#' here starts a comment, which ends the line.
  void skip_space() {
    while (pos_ < end_ && is_space(src_[pos_])) ++pos_;
    if (pos_ < end_ && src_[pos_] == '#') end_ = pos_;
  }

  /// A syntax error at byte `at`.
  bool fail(std::string what, size_t at) {
    failure_ = {std::move(what), at, true};
    return false;
  }
  bool fail(std::string what) { return fail(std::move(what), pos_); }
  /// An error of the rule as a whole.
  bool fail_rule(std::string what) {
    failure_ = {std::move(what), 0, false};
    return false;
  }

  /// A rule name, `[A-Za-z_][A-Za-z0-9_.-]*`.
  bool read_name(std::string_view& out) {
    if (at_end() || !is_name_start(peek())) return fail("expected a rule name");
    out = take_while(is_name_char);
    return true;
  }

  /// One pattern whose variables go into `vars` as uses of `side`.
  bool read_pattern(RuleNode& out, VarTable& vars, Side side, Form form) {
    vars_ = &vars;
    side_ = side;
    form_ = form;
    nodes_ = 0;
    return pattern(out, 1);
  }

  /// A head without parameters, as cost keys name kinds.
  bool read_head(RuleNode& out) {
    if (at_end() || !is_name_start(peek())) return fail("expected a node head");
    return head(out, false);
  }

  /// The error for a character that ends a pattern where more was expected.
  bool fail_stray(std::string_view otherwise) {
    if (at_end()) return fail(std::string(otherwise));
    switch (peek()) {
      case ')': return fail("unbalanced ')'");
      case '}': return fail("unbalanced '}'");
      case '{': return fail("a parameter list must follow its head directly");
      default: return fail(std::string(otherwise));
    }
  }

 private:
  template <class Pred>
  std::string_view take_while(Pred pred) {
    const size_t start = pos_;
    while (pos_ < end_ && pred(src_[pos_])) ++pos_;
    return src_.substr(start, pos_ - start);
  }

  /// `?name` at the cursor; the name goes to `out`.
  bool variable(std::string_view& out) {
    const size_t start = pos_++;
    out = take_while(is_word_char);
    if (out.empty()) return fail("expected a variable name after '?'", start);
    return true;
  }

  bool pattern(RuleNode& out, size_t depth) {
    if (depth > kMaxDepth) return fail("patterns nest at most " + std::to_string(kMaxDepth) + " levels deep");
    if (++nodes_ > kMaxNodes) return fail("a pattern has at most " + std::to_string(kMaxNodes) + " nodes");
    if (at_end()) return fail("expected a pattern");
    const char c = peek();
    if (c == '?') {
      const size_t start = pos_;
      std::string_view name;
      if (!variable(name)) return false;
      out.is_var = true;
      out.var = name;
      return use_var(name, false, start);
    }
    if (is_name_start(c)) return head(out, true);
    if (c != '(') return fail_stray("expected a pattern");
    ++pos_;
    skip_space();
    if (at_end() || !is_name_start(peek())) {
      if (!at_end() && peek() == '?') return fail("a variable cannot be a node head");
      return fail("expected a node head");
    }
    if (!head(out, true)) return false;
    for (;;) {
      skip_space();
      if (at_end()) return fail("expected ')'");
      const char next = peek();
      if (next == ')') {
        ++pos_;
        return true;
      }
      if (next != '?' && next != '(' && !is_name_start(next)) return fail_stray("expected a pattern or ')'");
      out.children.emplace_back();
      if (!pattern(out.children.back(), depth + 1)) return false;
    }
  }

  /// A head at a name-start character, and its parameter list if one follows.
  bool head(RuleNode& out, bool with_params) {
    const size_t start = pos_;
    const std::string_view word = take_while(is_name_char);
    if (!at_end() && peek() == ':') {
      if (word == "op") {
        out.kind = NodeKind::Op;
      } else if (word == "source") {
        out.kind = NodeKind::Source;
      } else if (word == "reduction") {
        out.kind = NodeKind::Reduction;
      } else {
        return fail("unknown kind prefix '" + std::string(word) + "'", start);
      }
      ++pos_;
      if (!at_end() && is_name_start(peek())) {
        out.name = take_while(is_name_char);
      } else if (!at_end() && peek() == '"') {
        const size_t quote = pos_;
        if (!string_literal(out.name)) return false;
        if (out.name.empty()) return fail("a node name cannot be empty", quote);
      } else {
        return fail("expected a name after '" + std::string(word) + ":'");
      }
    } else if (word == "exchange") {
      out.kind = NodeKind::Exchange;
    } else if (word == "join") {
      out.kind = NodeKind::Join;
    } else {
      out.kind = NodeKind::Op;
      out.name = word;
    }
    if (with_params && !at_end() && peek() == '{') return params(out.params);
    return true;
  }

  bool params(std::vector<RuleParam>& out) {
    ++pos_;  // '{'
    skip_space();
    if (!at_end() && peek() == '}') {
      ++pos_;
      return true;
    }
    std::unordered_set<std::string> seen;  // the keys, once the list is long
    for (;;) {
      if (at_end()) return fail("expected '}'");
      const size_t key_pos = pos_;
      RuleParam param;
      if (peek() == '"') {
        if (!string_literal(param.key)) return false;
      } else if (is_name_start(peek())) {
        param.key = take_while(is_word_char);
      } else {
        return fail("expected a parameter key");
      }
      if (repeated_key(out, seen, param.key)) return fail("duplicate parameter key '" + key_text(param.key) + "'", key_pos);
      skip_space();
      if (at_end() || peek() != '=') return fail("expected '='");
      ++pos_;
      skip_space();
      if (!value(param)) return false;
      out.push_back(std::move(param));
      if (out.size() == kLinearKeyCheck) {
        for (const RuleParam& p : out) seen.insert(p.key);
      } else if (out.size() > kLinearKeyCheck) {
        seen.insert(out.back().key);
      }
      skip_space();
      if (at_end()) return fail("expected '}'");
      if (peek() == '}') {
        ++pos_;
        break;
      }
      if (peek() != ',') return fail("expected ',' or '}'");
      ++pos_;
      skip_space();
    }
    std::sort(out.begin(), out.end(), [](const RuleParam& a, const RuleParam& b) { return a.key < b.key; });
    return true;
  }

  /// Whether `key` is among the keys read so far of a parameter list.
  static bool repeated_key(const std::vector<RuleParam>& so_far, const std::unordered_set<std::string>& seen,
                           const std::string& key) {
    if (so_far.size() < kLinearKeyCheck) {
      return std::any_of(so_far.begin(), so_far.end(), [&](const RuleParam& p) { return p.key == key; });
    }
    return seen.contains(key);
  }

  bool value(RuleParam& out) {
    const size_t start = pos_;
    if (at_end()) return fail("expected a parameter value");
    const char c = peek();
    if (c == '?') {
      std::string_view name;
      if (!variable(name)) return false;
      out.is_var = true;
      out.var = name;
      return use_var(name, true, start);
    }
    if (c == '"') {
      out.tag = ParamTag::Str;
      return string_literal(out.str);
    }
    if (!is_literal_char(c)) return fail("expected a parameter value");
    const std::string_view token = take_while(is_literal_char);
    if (token == "true" || token == "false") {
      out.tag = ParamTag::Bool;
      out.bits = token == "true";
      return true;
    }
    out.tag = ParamTag::Float;
    if (token == "inf" || token == "-inf") {
      const double inf = std::numeric_limits<double>::infinity();
      out.bits = std::bit_cast<uint64_t>(token == "inf" ? inf : -inf);
      return true;
    }
    if (token == "nan") {
      out.bits = kCanonicalNaN;
      return true;
    }
    return number(token, start, out);
  }

  /// `-?D+(.D+)?([eE][+-]?D+)?`: an Int without fraction and exponent, else a Float.
  bool number(std::string_view token, size_t start, RuleParam& out) {
    const auto malformed = [&] { return fail("malformed parameter value '" + std::string(token) + "'", start); };
    size_t i = 0;
    const bool negative = !token.empty() && token[0] == '-';
    if (negative) ++i;
    const auto digits = [&] {
      const size_t from = i;
      while (i < token.size() && is_digit(token[i])) ++i;
      return i - from;
    };
    const size_t int_digits = digits();
    if (int_digits == 0) return malformed();
    bool is_float = false;
    if (i < token.size() && token[i] == '.') {
      ++i;
      if (digits() == 0) return malformed();
      is_float = true;
    }
    int64_t exponent = 0;
    if (i < token.size() && (token[i] == 'e' || token[i] == 'E')) {
      ++i;
      bool exp_negative = false;
      if (i < token.size() && (token[i] == '+' || token[i] == '-')) exp_negative = token[i++] == '-';
      const size_t from = i;
      if (digits() == 0) return malformed();
      for (size_t k = from; k < i; ++k) exponent = std::min<int64_t>(exponent * 10 + (token[k] - '0'), 1'000'000'000);
      if (exp_negative) exponent = -exponent;
      is_float = true;
    }
    if (i != token.size()) return malformed();

    if (!is_float) {
      const size_t first = negative ? 1 : 0;
      uint64_t magnitude = 0;
      const uint64_t limit = negative ? (uint64_t{1} << 63) : (uint64_t{1} << 63) - 1;
      for (size_t k = first; k < token.size(); ++k) {
        const auto d = static_cast<uint64_t>(token[k] - '0');
        if (magnitude > (limit - d) / 10) return fail("integer out of range", start);
        magnitude = magnitude * 10 + d;
      }
      out.tag = ParamTag::Int;
      out.bits = negative ? uint64_t{0} - magnitude : magnitude;
      return true;
    }

    double value = 0;
    const auto [end, ec] = std::from_chars(token.data(), token.data() + token.size(), value);
    if (ec == std::errc::result_out_of_range) {
      // Too large or too small: the decimal exponent of the first nonzero
      // digit tells which (a too small value rounds to a signed zero).
      const size_t first = negative ? 1 : 0;
      int64_t lead = -1;
      int64_t place = static_cast<int64_t>(int_digits) - 1;
      for (size_t k = first; k < token.size() && token[k] != 'e' && token[k] != 'E'; ++k) {
        if (token[k] == '.') continue;
        if (token[k] != '0') {
          lead = place;
          break;
        }
        --place;
      }
      if (lead != -1 && lead + exponent >= 0) return fail("float out of range", start);
      value = negative ? -0.0 : 0.0;
    } else if (ec != std::errc() || end != token.data() + token.size()) {
      return malformed();
    }
    out.bits = std::bit_cast<uint64_t>(value);
    return true;
  }

  /// A string literal at '"', unescaped into `out`.
  bool string_literal(std::string& out) {
    const size_t open = pos_++;
    for (;;) {
      const size_t run = pos_;
      while (pos_ < end_) {
        const char c = src_[pos_];
        if (c == '"' || c == '\\') break;
        if (static_cast<unsigned char>(c) < 0x80) {
          ++pos_;
          continue;
        }
        const size_t length = utf8_sequence_length(src_, pos_);
        if (length == 0) return fail("invalid UTF-8 in a string literal");
        pos_ += length;
      }
      out.append(src_.substr(run, pos_ - run));
      if (pos_ >= end_) return fail("unterminated string literal", open);
      if (src_[pos_] == '"') {
        ++pos_;
        return true;
      }
      if (!escape(out, open)) return false;
    }
  }

  /// An escape at '\'.
  bool escape(std::string& out, size_t open) {
    const size_t backslash = pos_++;
    if (pos_ >= end_) return fail("unterminated string literal", open);
    const char c = src_[pos_++];
    switch (c) {
      case '"': out += '"'; return true;
      case '\\': out += '\\'; return true;
      case 'n': out += '\n'; return true;
      case 't': out += '\t'; return true;
      case 'r': out += '\r'; return true;
      case '0': out += '\0'; return true;
      case 'u': break;
      default:
        if (c > 0x20 && c < 0x7F) return fail(std::string("bad escape '\\") + c + "'", backslash);
        return fail("bad escape", backslash);
    }
    if (pos_ >= end_ || src_[pos_] != '{') return fail("malformed \\u{...} escape", backslash);
    ++pos_;
    const size_t digits_from = pos_;
    while (pos_ < end_ && is_hex(src_[pos_]) && pos_ - digits_from < 6) ++pos_;
    const std::string_view hex = src_.substr(digits_from, pos_ - digits_from);
    if (hex.empty() || pos_ >= end_ || src_[pos_] != '}') return fail("malformed \\u{...} escape", backslash);
    ++pos_;
    uint32_t cp = 0;
    std::from_chars(hex.data(), hex.data() + hex.size(), cp, 16);
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      return fail("\\u{" + std::string(hex) + "} is not a Unicode scalar value", backslash);
    }
    append_utf8(out, cp);
    return true;
  }

  /// Records a use of a variable and checks it against the rule's others.
  bool use_var(std::string_view name, bool param, size_t at) {
    VarUse* use = vars_->find(name);
    if (use != nullptr && use->param != param) {
      return fail_rule("?" + std::string(name) + " is both a class and a parameter variable");
    }
    if (side_ == Side::Left) {
      if (use == nullptr) vars_->insert({name, at, param, true, false});
      return true;
    }
    if (use == nullptr || !use->left) {
      std::string what = "the ";
      what += side_word(form_, Side::Right);
      what += param ? " uses parameter variable ?" : " uses ?";
      what += name;
      what += ", which the ";
      what += side_word(form_, Side::Left);
      what += " does not bind";
      return fail_rule(std::move(what));
    }
    use->right = true;
    return true;
  }

  std::string_view src_;
  size_t pos_ = 0;
  size_t end_;  ///< the end of the line, or the start of its comment
  Failure failure_;
  VarTable* vars_ = nullptr;
  Side side_ = Side::Left;
  Form form_ = Form::OneWay;
  size_t nodes_ = 0;
};

/// Where the rule being read sits, for messages.
struct Place {
  bool item = false;     ///< a triple (else a line of text)
  size_t index = 0;      ///< the line or item number
  std::string_view name;  ///< empty until the name is read
};

/// The message of `failure`; `part` names the triple's pattern a column counts in.
std::string message(const Place& place, const Failure& failure, std::string_view source, std::string_view part) {
  std::string out;
  const std::string where = (place.item ? "item " : "line ") + std::to_string(place.index);
  std::string column;
  if (failure.has_column) {
    column = ", ";
    if (!part.empty()) {
      column += part;
      column += ' ';
    }
    column += "column " + std::to_string(column_of(source, failure.pos));
  }
  if (place.name.empty()) {
    out = where + column;
  } else {
    out = "rule '";
    out += place.name;
    out += "' (" + where + column + ")";
  }
  out += ": ";
  out += failure.what;
  return out;
}

/// The names of the rules read so far, with where each was read.
class NameBook {
 public:
  /// The error for a name already taken or built in; empty when it is free,
  /// and then it is taken.
  std::string claim(std::string_view name, size_t index, bool item) {
    if (is_builtin_rule(name)) return "'" + std::string(name) + "' is a built-in rule";
    auto [it, fresh] = names_.try_emplace(std::string(name), index);
    if (fresh) return {};
    return "a rule named '" + std::string(name) + "' comes earlier (" + (item ? "item " : "line ") +
           std::to_string(it->second) + ")";
  }

 private:
  std::unordered_map<std::string, size_t> names_;
};

/// Whether only spaces and a comment follow a complete pattern; when more
/// does, the reader's failure says what was expected.
bool check_rest(Reader& reader, std::string_view what) {
  reader.skip_space();
  if (reader.at_end()) return true;
  return reader.fail_stray(what);
}

/// Reads one line into `out`; an error message, or empty.
std::string read_line(std::string_view line, size_t line_no, NameBook& names, VarTable& vars,
                      std::vector<ParsedRule>& out) {
  Reader reader(line);
  Place place{false, line_no, {}};
  reader.skip_space();
  if (reader.at_end()) return {};
  std::string_view name;
  if (!reader.read_name(name)) return message(place, reader.failure(), line, {});
  place.name = name;
  const auto rule_error = [&](std::string what) {
    reader.fail_rule(std::move(what));
    return message(place, reader.failure(), line, {});
  };
  if (std::string taken = names.claim(name, line_no, false); !taken.empty()) return rule_error(std::move(taken));
  reader.skip_space();
  if (reader.at_end() || reader.peek() != ':') {
    reader.fail("expected ':'");
    return message(place, reader.failure(), line, {});
  }
  reader.advance(1);
  reader.skip_space();

  vars.clear();
  RuleNode left;
  if (!reader.read_pattern(left, vars, Side::Left, Form::OneWay)) return message(place, reader.failure(), line, {});
  reader.skip_space();
  Form form;
  if (reader.looking_at("=>")) {
    form = Form::OneWay;
    reader.advance(2);
  } else if (reader.looking_at("<=>")) {
    form = Form::BothWays;
    reader.advance(3);
  } else {
    reader.fail_stray("expected '=>' or '<=>'");
    return message(place, reader.failure(), line, {});
  }
  if (left.is_var) return rule_error("the " + std::string(side_word(form, Side::Left)) + " is a bare variable");
  std::string reverse_name;
  if (form == Form::BothWays) {
    reverse_name = std::string(name) + "-rev";
    if (std::string taken = names.claim(reverse_name, line_no, false); !taken.empty()) {
      return rule_error(std::move(taken));
    }
  }
  reader.skip_space();
  RuleNode right;
  if (!reader.read_pattern(right, vars, Side::Right, form)) return message(place, reader.failure(), line, {});
  if (form == Form::BothWays && right.is_var) return rule_error("the right side is a bare variable");
  if (!check_rest(reader, "expected the end of the line")) return message(place, reader.failure(), line, {});
  if (form == Form::BothWays) {
    if (const VarUse* use = vars.first_left_only()) {
      return rule_error("the left side uses " + std::string(use->param ? "parameter variable " : "") + "?" +
                        std::string(use->name) + ", which the right side does not bind");
    }
    out.push_back({std::string(name), line_no, left, right});
    out.push_back({std::move(reverse_name), line_no, std::move(right), std::move(left)});
  } else {
    out.push_back({std::string(name), line_no, std::move(left), std::move(right)});
  }
  return {};
}

}  // namespace

Result<std::vector<ParsedRule>, std::string> parse_rule_text(std::string_view text) {
  std::vector<ParsedRule> parsed;
  NameBook names;
  VarTable vars;
  size_t line_no = 0;
  size_t start = 0;
  for (;;) {
    size_t stop = text.find('\n', start);
    if (stop == std::string_view::npos) stop = text.size();
    ++line_no;
    if (std::string error = read_line(text.substr(start, stop - start), line_no, names, vars, parsed); !error.empty()) {
      return Err(std::move(error));
    }
    if (stop == text.size()) break;
    start = stop + 1;
  }
  return parsed;
}

Result<std::vector<ParsedRule>, std::string> parse_rule_triples(std::span<const RuleTriple> triples) {
  std::vector<ParsedRule> parsed;
  parsed.reserve(triples.size());
  NameBook names;
  VarTable vars;
  for (size_t i = 0; i < triples.size(); ++i) {
    const RuleTriple& triple = triples[i];
    const size_t item = i + 1;
    if (!is_bare_name(triple.name)) {
      std::string out = "item " + std::to_string(item) + ": malformed rule name '";
      append_string_body(out, triple.name);
      return Err(out + "'");
    }
    const Place place{true, item, triple.name};
    const auto rule_error = [&](std::string what) { return message(place, {std::move(what), 0, false}, {}, {}); };
    if (std::string taken = names.claim(triple.name, item, true); !taken.empty()) return Err(rule_error(taken));
    vars.clear();
    ParsedRule rule{std::string(triple.name), item, {}, {}};
    Reader searcher(triple.searcher);
    searcher.skip_space();
    if (!searcher.read_pattern(rule.searcher, vars, Side::Left, Form::OneWay) ||
        !check_rest(searcher, "expected the end of the pattern")) {
      return Err(message(place, searcher.failure(), triple.searcher, "searcher"));
    }
    if (rule.searcher.is_var) return Err(rule_error("the searcher is a bare variable"));
    Reader applier(triple.applier);
    applier.skip_space();
    if (!applier.read_pattern(rule.applier, vars, Side::Right, Form::OneWay) ||
        !check_rest(applier, "expected the end of the pattern")) {
      return Err(message(place, applier.failure(), triple.applier, "applier"));
    }
    parsed.push_back(std::move(rule));
  }
  return parsed;
}

namespace {

void append_float(std::string& out, uint64_t bits) {
  const double value = std::bit_cast<double>(bits);
  if (std::isnan(value)) {
    out += "nan";
    return;
  }
  if (std::isinf(value)) {
    out += value > 0 ? "inf" : "-inf";
    return;
  }
  char buf[40];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
  check(ec == std::errc(), "rule text: a float does not fit its buffer");
  const std::string_view text(buf, static_cast<size_t>(end - buf));
  out += text;
  if (text.find_first_of(".e") == std::string_view::npos) out += ".0";
}

void append_value(std::string& out, const RuleParam& param) {
  if (param.is_var) {
    out += '?';
    out += param.var;
    return;
  }
  switch (param.tag) {
    case ParamTag::Int: {
      char buf[24];
      const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, static_cast<int64_t>(param.bits));
      check(ec == std::errc(), "rule text: an integer does not fit its buffer");
      out.append(buf, end);
      return;
    }
    case ParamTag::Float: append_float(out, param.bits); return;
    case ParamTag::Bool: out += param.bits != 0 ? "true" : "false"; return;
    case ParamTag::Str: append_quoted(out, param.str); return;
  }
  throw InternalError("rule text: a parameter of no known type");
}

void append_head(std::string& out, const RuleNode& node) {
  std::string_view prefix;
  switch (node.kind) {
    case NodeKind::Exchange: out += "exchange"; return;
    case NodeKind::Join: out += "join"; return;
    case NodeKind::Op:
      if (is_bare_name(node.name) && !is_reserved(node.name)) {
        out += node.name;
        return;
      }
      prefix = "op:";
      break;
    case NodeKind::Source: prefix = "source:"; break;
    case NodeKind::Reduction: prefix = "reduction:"; break;
    default: throw InternalError("rule text: patterns name no External or Stage nodes");
  }
  out += prefix;
  if (is_bare_name(node.name) && !(node.kind == NodeKind::Op && is_reserved(node.name))) {
    out += node.name;
  } else {
    append_quoted(out, node.name);
  }
}

void append_node(std::string& out, const RuleNode& node) {
  if (node.is_var) {
    out += '?';
    out += node.var;
    return;
  }
  const bool parens = !node.children.empty();
  if (parens) out += '(';
  append_head(out, node);
  if (!node.params.empty()) {
    std::vector<const RuleParam*> order;
    order.reserve(node.params.size());
    for (const RuleParam& p : node.params) order.push_back(&p);
    std::stable_sort(order.begin(), order.end(), [](const RuleParam* a, const RuleParam* b) { return a->key < b->key; });
    out += '{';
    for (size_t i = 0; i < order.size(); ++i) {
      if (i != 0) out += ", ";
      if (is_bare_key(order[i]->key)) {
        out += order[i]->key;
      } else {
        append_quoted(out, order[i]->key);
      }
      out += '=';
      append_value(out, *order[i]);
    }
    out += '}';
  }
  for (const RuleNode& child : node.children) {
    out += ' ';
    append_node(out, child);
  }
  if (parens) out += ')';
}

}  // namespace

std::string to_text(const RuleNode& node) {
  std::string out;
  append_node(out, node);
  return out;
}

Result<std::pair<NodeKind, std::string>, std::string> parse_cost_key(std::string_view key) {
  Reader reader(key);
  RuleNode node;
  if (reader.read_head(node) && reader.at_end()) return std::pair{node.kind, std::move(node.name)};
  if (reader.failure().what.starts_with("unknown kind prefix")) return Err(reader.failure().what);
  std::string out = "malformed cost key '";
  append_string_body(out, key);
  return Err(out + "'");
}

}  // namespace korvane
