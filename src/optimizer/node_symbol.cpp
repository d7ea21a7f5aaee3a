// node_symbol.cpp - node symbols.
#include "optimizer/node_symbol.hpp"

#include <boost/container/small_vector.hpp>

#include "store/member_token.hpp"

namespace korvane {

namespace {

using ParamRefs = boost::container::small_vector<ParamRef, 8>;

ParamRefs param_refs(const PoolData& pools, uint32_t map) {
  ParamRefs refs;
  for (const ParamSlot& s : pools.params(map)) refs.push_back(pools.param(s));
  return refs;
}

void append_descriptor(std::string& out, const PoolData& pools, const DescriptorRec& d) {
  for (int i = 0; i < 5; ++i) {
    append_escaped(out, pools.str(d.fields[i]));
    out += '|';
  }
  if (d.fields[5] == kNoString) {
    out += '-';
    return;
  }
  const std::string_view ref = pools.str(d.fields[5]);
  if (ref == "-") {
    out += "%2D";
  } else {
    append_escaped(out, ref);
  }
}

// "stage|N|" then each member as escaped token, "=", its refs ("i0,m1"),
// members separated by ";". Tokens are escaped, so the encoding is injective.
void append_members(std::string& out, const PoolData& pools, uint32_t list) {
  const auto members = pools.member_list(list);
  out += std::to_string(members.size());
  out += '|';
  bool first_member = true;
  for (const MemberRec& m : members) {
    if (!first_member) out += ';';
    first_member = false;
    append_escaped(out, pools.str(m.token));
    out += '=';
    bool first_ref = true;
    for (const StageRef& r : pools.member_refs(m)) {
      if (!first_ref) out += ',';
      first_ref = false;
      out += r.kind == StageRef::Kind::Input ? 'i' : 'm';
      out += std::to_string(r.index);
    }
  }
}

}  // namespace

std::string node_symbol(const PoolData& pools, const NodeRec& rec) {
  std::string out;
  switch (rec.kind) {
    case NodeKind::Source:
      append_member_token(out, "src", pools.str(rec.payload), param_refs(pools, rec.params));
      return out;
    case NodeKind::Op:
      append_member_token(out, "op", pools.str(rec.payload), param_refs(pools, rec.params));
      return out;
    case NodeKind::Reduction:
      append_member_token(out, "red", pools.str(rec.payload), param_refs(pools, rec.params));
      return out;
    case NodeKind::External:
      out = "ext|";
      append_descriptor(out, pools, pools.descriptors[rec.payload]);
      break;
    case NodeKind::Stage:
      out = "stage|";
      append_members(out, pools, rec.payload);
      return out;  // a stage has no parameters
    case NodeKind::Exchange:
      out = "exch";
      break;
    case NodeKind::Join:
      out = "join";
      break;
  }
  append_param_part(out, param_refs(pools, rec.params));
  return out;
}

egraph::Symbol SymbolCache::symbol(const NodeRec& rec) {
  const Key key{rec.payload, pools_.param_maps[rec.params].canon, rec.kind};
  if (auto it = symbols_.find(key); it != symbols_.end()) return it->second;
  const egraph::Symbol s = scope_.intern(node_symbol(pools_, rec));
  symbols_.emplace(key, s);
  return s;
}

}  // namespace korvane
