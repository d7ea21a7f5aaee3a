// sexp.cpp - a one-pass reader for atoms, quoted strings and lists.
//
// The reader walks a UTF-8 text a character at a time and counts columns
// in characters (a byte that starts no well-formed sequence is a character
// of its own). All delimiters are ASCII, so atoms and strings are copied
// byte for byte.
#include "egraph/sexp.hpp"

#include <algorithm>

#include "common/utf8.hpp"

namespace korvane::egraph {

Sexp Sexp::string(std::string text) {
  Sexp sexp;
  sexp.kind = Kind::String;
  sexp.text = std::move(text);
  return sexp;
}

Sexp Sexp::make_list(std::vector<Sexp> items) {
  Sexp sexp;
  sexp.kind = Kind::List;
  sexp.list = std::move(items);
  return sexp;
}

bool operator==(const Sexp& a, const Sexp& b) {
  return a.kind == b.kind && a.text == b.text && a.list == b.list;
}

std::string to_string(const Sexp& sexp) {
  switch (sexp.kind) {
    case Sexp::Kind::String:
      return sexp.text;
    case Sexp::Kind::Empty:
      return "()";
    case Sexp::Kind::List:
      break;
  }
  std::string text = "(";
  for (std::size_t i = 0; i < sexp.list.size(); ++i) {
    if (i > 0) text += ' ';
    text += to_string(sexp.list[i]);
  }
  text += ')';
  return text;
}

std::string to_string(const ReaderError& error) {
  return error.parse.msg + " at line " + std::to_string(error.parse.line) + ", column " +
         std::to_string(error.parse.col);
}

namespace {

/// Reading state: a byte position plus 0-based line and column counters.
class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  Result<Sexp, ReaderError> read() {
    skip_while([](char c) { return c == ' ' || c == '\t'; });
    if (at_end()) return fail("End of file reached");
    const char c = peek();
    if (c == '"') return read_string();
    if (c == ')') return fail("Unexpected )");
    if (c == '(') return read_list();
    return read_atom();
  }

 private:
  bool at_end() const noexcept { return pos_ >= text_.size(); }
  char peek() const noexcept { return text_[pos_]; }

  /// Consumes one character: a well-formed UTF-8 sequence, or a byte that
  /// starts none.
  void consume() noexcept {
    const char byte = text_[pos_];
    pos_ += std::max<std::size_t>(utf8_sequence_length(text_, pos_), 1);
    ++col_;
    if (byte == '\n') {
      ++line_;
      col_ = 0;
    }
  }

  template <class Pred>
  void skip_while(Pred pred) {
    while (!at_end() && pred(peek())) consume();
  }

  Err<ReaderError> fail(const char* msg) const {
    return Err(ReaderError{ParseError{msg, line_ + 1, col_ + 1}});
  }

  Result<Sexp, ReaderError> read_string() {
    consume();  // the opening quotation mark
    std::string text;
    bool escaped = false;
    while (true) {
      if (at_end()) return fail("End of file reached");
      const char c = peek();
      if (c == '"' && !escaped) break;
      const std::size_t from = pos_;
      consume();
      text += text_.substr(from, pos_ - from);
      escaped = c == '\\';
    }
    consume();  // the closing quotation mark
    return Sexp::string(std::move(text));
  }

  Result<Sexp, ReaderError> read_list() {
    consume();  // the opening parenthesis
    std::vector<Sexp> items;
    while (true) {
      skip_while([](char c) { return c == '\t' || c == '\n' || c == '\r' || c == ' '; });
      if (at_end() || peek() == ')') break;
      auto item = read();
      if (!item) return Err(std::move(item).error());
      items.push_back(std::move(item).value());
    }
    if (at_end()) return fail("End of file reached");
    consume();  // the closing parenthesis
    skip_while([](char c) { return c == ' ' || c == '\t'; });
    return Sexp::make_list(std::move(items));
  }

  Result<Sexp, ReaderError> read_atom() {
    const std::size_t start = pos_;
    skip_while([](char c) { return c != '\n' && c != '\r' && c != ' ' && c != '(' && c != ')'; });
    return Sexp::string(std::string(text_.substr(start, pos_ - start)));
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  std::size_t line_ = 0;
  std::size_t col_ = 0;
};

}  // namespace

Result<Sexp, ReaderError> read_sexp(std::string_view text) {
  if (text.empty()) return Sexp::empty();
  return Reader(text).read();
}

}  // namespace korvane::egraph
