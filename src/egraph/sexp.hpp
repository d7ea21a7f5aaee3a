// sexp.hpp - the s-expression reader for pattern texts.
//
// `read_sexp` reads one expression (an atom, a quoted string or a
// parenthesised list) from the start of a text and ignores the rest. Errors
// carry a message and the 1-based line and column where reading stopped,
// counted in Unicode characters.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.hpp"

namespace korvane::egraph {

/// A value read by `read_sexp`.
struct Sexp {
  enum class Kind { String, List, Empty };

  /// String: an atom or a quoted string; List: a parenthesised list; Empty:
  /// the result of reading an empty text.
  Kind kind = Kind::Empty;
  /// The text of a String (quoted strings keep their backslashes).
  std::string text;
  /// The elements of a List.
  std::vector<Sexp> list;

  static Sexp string(std::string text);
  static Sexp make_list(std::vector<Sexp> items);
  static Sexp empty() { return Sexp(); }

  friend bool operator==(const Sexp& a, const Sexp& b);
};

/// Renders a Sexp back as text: atoms as they are, lists in parentheses with
/// single spaces, Empty as "()".
std::string to_string(const Sexp& sexp);

/// A reader failure: "End of file reached" or "Unexpected )", at a 1-based
/// line and column.
struct ParseError {
  std::string msg;
  std::size_t line = 0;
  std::size_t col = 0;
  friend bool operator==(const ParseError&, const ParseError&) = default;
};

/// The reader's error type; its only variant is a parse error.
struct ReaderError {
  ParseError parse;
  friend bool operator==(const ReaderError&, const ReaderError&) = default;
};

/// "{msg} at line {line}, column {col}".
std::string to_string(const ReaderError& error);

/// Reads the first expression of `text`; an empty text reads as Empty.
Result<Sexp, ReaderError> read_sexp(std::string_view text);

}  // namespace korvane::egraph
