// member_token.cpp - writing and parsing stage member tokens.
#include "store/member_token.hpp"

namespace korvane {

void append_member_token(std::string& out, std::string_view head, std::string_view name,
                         std::span<const ParamRef> params) {
  out += head;
  out += '|';
  append_escaped(out, name);
  append_param_part(out, params);
}

void append_param_part(std::string& out, std::span<const ParamRef> params) {
  if (params.empty()) return;
  out += '|';
  out += param_key(params);
}

std::optional<MemberSymbol> parse_member_symbol(std::string_view token) {
  const size_t bar1 = token.find('|');
  if (bar1 == std::string_view::npos) return std::nullopt;
  MemberSymbol out;
  out.head = std::string(token.substr(0, bar1));
  if (out.head != "op" && out.head != "red") return std::nullopt;
  const std::string_view rest = token.substr(bar1 + 1);
  const size_t bar2 = rest.find('|');
  out.name = unescape_name(rest.substr(0, bar2));
  if (bar2 != std::string_view::npos) {
    auto params = parse_param_key(rest.substr(bar2 + 1));
    if (!params) return std::nullopt;
    out.params = std::move(*params);
  }
  return out;
}

}  // namespace korvane
