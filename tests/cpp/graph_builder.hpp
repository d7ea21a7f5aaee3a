// graph_builder.hpp - terse recording of test graphs.
#pragma once

#include <gtest/gtest.h>

#include <string_view>
#include <vector>

#include "store/store.hpp"

namespace korvane::testing_support {

inline ParamRef f(std::string_view key, double v) { return {key, ParamTag::Float, double_bits(v), {}}; }
inline ParamRef s(std::string_view key, std::string_view v) { return {key, ParamTag::Str, 0, v}; }
inline ParamRef i(std::string_view key, int64_t v) { return {key, ParamTag::Int, static_cast<uint64_t>(v), {}}; }

/// Records one node into `store`; a failure fails the test.
inline NodeId add(Store& store, NodeKind kind, std::string_view name, std::vector<NodeId> inputs = {},
                  std::vector<ParamRef> params = {}) {
  sort_params(params);
  NodeSpec node_spec;
  node_spec.kind = kind;
  node_spec.name = name;
  node_spec.inputs = inputs;
  node_spec.params = params;
  auto id = store.intern_node(node_spec);
  EXPECT_TRUE(id.ok());
  return id.ok() ? id.value() : 0;
}

/// Records nodes into its store, one call per node.
struct Builder {
  Store store;

  NodeId add(NodeKind kind, std::string_view name, std::vector<NodeId> inputs, std::vector<ParamRef> params = {}) {
    return testing_support::add(store, kind, name, std::move(inputs), std::move(params));
  }
  NodeId src(std::string_view name) { return add(NodeKind::Source, name, {}); }
  NodeId op(std::string_view name, std::vector<NodeId> in, std::vector<ParamRef> p = {}) {
    return add(NodeKind::Op, name, std::move(in), std::move(p));
  }
  NodeId red(std::string_view name, std::vector<NodeId> in) { return add(NodeKind::Reduction, name, std::move(in)); }
};

}  // namespace korvane::testing_support
