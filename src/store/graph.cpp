// graph.cpp - node table operations and kind words.
#include "store/graph.hpp"

#include <algorithm>
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
  NodeRec rec;
  rec.first_input = 0;
  rec.input_count = static_cast<uint32_t>(in.size());
  rec.payload = payload;
  rec.params = params;
  rec.kind = kind;
  if (in.size() <= NodeRec::kInlineInputs) {
    std::copy(in.begin(), in.end(), rec.inline_inputs);
  } else {
    rec.first_input = inputs.size();
    inputs.insert(inputs.end(), in.begin(), in.end());
  }
  recs.push_back(rec);
  return id;
}

NodeTable NodeTable::slice(size_t from) const {
  NodeTable out;
  if (from >= recs.size()) return out;
  out.recs.reserve(recs.size() - from);
  for (size_t i = from; i < recs.size(); ++i) {
    const NodeRec& r = recs[i];
    out.append(r.kind, r.payload, r.params, inputs_of(i));
  }
  return out;
}

}  // namespace korvane
