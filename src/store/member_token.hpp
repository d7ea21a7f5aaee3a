// member_token.hpp - the token of a stage member, written and read.
//
// A stage member is an Op or a Reduction, and its token is the node symbol
// it had: the head "op" or "red", "|", the escaped name, then "|" and the
// canonical parameter key unless the map is empty
// ("op|add|scalar=f0000000000000000;side=sr"). The optimizer writes these
// symbols; the node views read a stage's members back from its tokens.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "store/params.hpp"

namespace korvane {

/// Appends the token of a member with `head` ("op" or "red"), `name` and
/// the sorted map `params`. A Source's node symbol has the same shape under
/// the head "src".
void append_member_token(std::string& out, std::string_view head, std::string_view name,
                         std::span<const ParamRef> params);

/// Appends "|" and the key of the sorted map `params`, nothing for an empty
/// map: the parameter part of a token and of every node symbol.
void append_param_part(std::string& out, std::span<const ParamRef> params);

/// A stage member token split into its parts.
struct MemberSymbol {
  std::string head;  ///< "op" or "red", as written
  std::string name;  ///< unescaped
  ParamMap params;
};

/// Parses "op|name|key" / "red|name|key" tokens; nullopt when malformed.
std::optional<MemberSymbol> parse_member_symbol(std::string_view token);

}  // namespace korvane
