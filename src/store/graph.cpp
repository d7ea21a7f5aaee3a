// graph.cpp - node table operations and kind words.
#include "store/graph.hpp"

#include <stdexcept>

namespace korvane {

std::string_view kind_word(NodeKind kind) noexcept {
  static constexpr std::string_view kWords[kNodeKindCount] = {"source", "op",    "reduction", "external",
                                                              "stage",  "exchange", "join"};
  return kWords[static_cast<unsigned>(kind)];
}

uint32_t NodeTable::append(NodeKind kind, uint32_t payload, uint32_t params, std::span<const uint32_t> in) {
  if (recs.size() >= kMaxNodes) throw std::length_error("graph too large: more than 2^32-2 nodes");
  if (in.size() > UINT32_MAX) throw std::length_error("graph too large: a node with 2^32 inputs");
  const auto id = static_cast<uint32_t>(recs.size());
  recs.push_back(NodeRec{inputs.size(), static_cast<uint32_t>(in.size()), payload, params, kind});
  inputs.insert(inputs.end(), in.begin(), in.end());
  return id;
}

NodeTable NodeTable::slice(size_t from) const {
  NodeTable out;
  if (from >= recs.size()) return out;
  const uint64_t base = recs[from].first_input;
  out.recs.assign(recs.begin() + from, recs.end());
  for (NodeRec& r : out.recs) r.first_input -= base;
  out.inputs.assign(inputs.begin() + base, inputs.end());
  return out;
}

}  // namespace korvane
