// blob_fuzz.cpp - libFuzzer target for the blob reader.
//
// Any byte string must read without a crash, a hang or a runaway
// allocation, ending in a store or in one of the reader's errors. A store
// that reads is written out again; that blob must read back to the same
// node count and outputs and write the same bytes once more, and the views'
// pure parts (member tokens, DOT text) must handle whatever it holds. Every
// node read must be indexed once, whichever way the reader took.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "store/blob.hpp"
#include "store/dot.hpp"
#include "store/member_token.hpp"

namespace {

using korvane::NodeId;
using korvane::NodeTable;
using korvane::PoolData;
using korvane::Store;

std::string write(const Store& store) {
  const korvane::Snapshot snap = store.snapshot();
  auto blob = korvane::write_blob(snap.graph.pools, snap.graph.nodes, snap.outputs);
  if (!blob) __builtin_trap();  // a store that fits a blob once fits it again
  return std::move(blob.value());
}

// What nodes() and to_dot() compute without Python.
void render_views(const Store& store) {
  store.read_locked([](const PoolData& pools, const NodeTable& nodes, const std::vector<NodeId>& outputs) {
    for (size_t i = 0; i < nodes.size(); ++i) {
      if (nodes.recs[i].kind != korvane::NodeKind::Stage) continue;
      for (const korvane::MemberRec& m : pools.member_list(nodes.recs[i].payload)) {
        if (korvane::parse_member_symbol(pools.str(m.token))) continue;
        std::string message;
        korvane::append_quoted(message, pools.str(m.token));
      }
    }
    return korvane::render_dot(pools, nodes, outputs).size();
  });
}

// Every node is indexed exactly once: recording it again finds it, and
// nothing is added.
void check_index(Store& store) {
  const korvane::Snapshot snap = store.snapshot();
  const NodeTable& nodes = snap.graph.nodes;
  for (size_t i = 0; i < nodes.size(); ++i) {
    const korvane::NodeRec& r = nodes.recs[i];
    const auto in = nodes.inputs_of(i);
    const std::vector<NodeId> inputs(in.begin(), in.end());
    auto id = store.intern_rec(r.kind, r.payload, r.params, inputs);
    if (!id || id.value() != i) __builtin_trap();
  }
  if (store.node_count() != nodes.size()) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto first = korvane::read_blob(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!first) {
    if (first.error().message().empty()) __builtin_trap();
    return 0;
  }
  check_index(*first.value());
  const std::string blob = write(*first.value());
  auto second = korvane::read_blob(blob);
  if (!second) __builtin_trap();
  const Store& again = *second.value();
  if (again.node_count() != first.value()->node_count()) __builtin_trap();
  if (again.outputs() != first.value()->outputs()) __builtin_trap();
  if (write(again) != blob) __builtin_trap();
  render_views(again);
  return 0;
}
