// blob_reader.cpp - reading "KIR1" blobs: one forward pass that checks
// every field and interns each node as soon as its record is complete.
#include "store/blob.hpp"

#include <algorithm>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "common/hash.hpp"
#include "common/internal_error.hpp"
#include "common/utf8.hpp"

namespace korvane {

std::string BlobError::message() const {
  switch (kind) {
    case Kind::Truncated:
      return "truncated korvane IR blob";
    case Kind::BadMagic:
      return "not a korvane IR blob (bad magic/version)";
    case Kind::InvalidTag:
      return "invalid " + std::string(tag_of) + " tag " + std::to_string(value);
    case Kind::BadUtf8:
      return "invalid utf-8 in korvane IR blob";
    case Kind::OutOfRange:
      return "node reference " + std::to_string(value) + " out of range";
  }
  return "unreadable korvane IR blob";
}

namespace {

// The smallest encodings, to bound reservations by what the remaining
// bytes can hold: a record (tag, then at least two counts), a parameter
// (key length, tag, a Bool byte) and a stage member (token length, ref
// count). Stage refs are appended one by one, so their buffer only grows
// with refs actually read.
constexpr size_t kMinRecord = 9;
constexpr size_t kMinParam = 6;
constexpr size_t kMinMember = 8;

[[noreturn]] void fail(BlobError::Kind kind, uint64_t value = 0, std::string_view tag_of = {}) {
  throw BlobError{kind, tag_of, value};
}

/// The little-endian unsigned integer at `p`; the caller checked the room.
template <class T>
T load(const char* p) {
  T v = 0;
  for (size_t i = 0; i < sizeof(T); ++i) v |= T{static_cast<uint8_t>(p[i])} << (8 * i);
  return v;
}

/// A forward cursor over the blob. Every read that needs more bytes than
/// remain throws the truncation error.
class Cursor {
 public:
  explicit Cursor(std::string_view data) : p_(data.data()), end_(data.data() + data.size()) {}

  size_t remaining() const { return static_cast<size_t>(end_ - p_); }
  const char* position() const { return p_; }
  void seek(const char* p) { p_ = p; }

  uint8_t u8() {
    need(1);
    return static_cast<uint8_t>(*p_++);
  }
  uint32_t u32() { return get<uint32_t>(); }
  uint64_t u64() { return get<uint64_t>(); }
  /// A length-prefixed string, checked to be UTF-8; a view into the data.
  std::string_view str() {
    const std::string_view s = bytes();
    if (!valid_utf8(s)) fail(BlobError::Kind::BadUtf8);
    return s;
  }
  /// A length-prefixed string, unchecked; a view into the data.
  std::string_view bytes() {
    const uint32_t n = u32();
    need(n);
    const std::string_view s(p_, n);
    p_ += n;
    return s;
  }
  /// How many items of at least `min_size` bytes the rest can hold.
  size_t room_for(size_t count, size_t min_size) const { return std::min(count, remaining() / min_size); }

 private:
  template <class T>
  T get() {
    need(sizeof(T));
    const T v = load<T>(p_);
    p_ += sizeof(T);
    return v;
  }
  void need(size_t n) const {
    if (remaining() < n) [[unlikely]] fail(BlobError::Kind::Truncated);
  }

  const char* p_;
  const char* end_;
};

/// Reads one parameter section: the entry count, then per entry the key,
/// the value tag and the value. With `Keep`, every string is checked to be
/// UTF-8 and the entries are appended to `out`; without, the section is
/// only walked, to find where it ends.
template <bool Keep>
void read_param_section(Cursor& in, std::vector<ParamRef>& out) {
  const uint32_t n = in.u32();
  if constexpr (Keep) out.reserve(in.room_for(n, kMinParam));
  for (uint32_t k = 0; k < n; ++k) {
    ParamRef p;
    p.key = Keep ? in.str() : in.bytes();
    const uint8_t tag = in.u8();
    if (tag > kBlobLastParamTag) fail(BlobError::Kind::InvalidTag, tag, "param");
    p.tag = static_cast<ParamTag>(tag);
    switch (p.tag) {
      case ParamTag::Int:
      case ParamTag::Float:
        p.bits = in.u64();
        break;
      case ParamTag::Bool:
        p.bits = in.u8() != 0 ? 1 : 0;
        break;
      case ParamTag::Str:
        p.str = Keep ? in.str() : in.bytes();
        break;
    }
    if constexpr (Keep) out.push_back(p);
  }
}

/// The end of the parameter section at the start of `rest`, found from its
/// lengths and tags alone; null when the section is cut short or holds a
/// bad tag (a full read then reports the first error in stream order).
const char* skim_params(std::string_view rest) {
  Cursor in(rest);
  std::vector<ParamRef> none;
  try {
    read_param_section<false>(in, none);
  } catch (const BlobError&) {
    return nullptr;
  }
  return in.position();
}

struct BytesHash {
  using is_avalanching = void;
  size_t operator()(std::string_view s) const { return hash_bytes(s); }
};

/// A stage member whose refs are a run of the reader's ref buffer.
struct MemberRun {
  std::string_view token;
  size_t first;
  size_t count;
};

/// Reads one blob into one store. The scratch vectors are reused from
/// record to record.
///
/// A blob that `serialize` wrote holds no two equal records, so the reader
/// first assumes that: it appends every record at its own position and
/// indexes them all at the end, in one pass whose probes overlap. Should
/// two records turn out equal, that store is discarded and the blob read
/// again, interning record by record. Both ways build the same store and
/// meet the same first error, since no check of the stream depends on
/// which records are equal.
class BlobReader {
 public:
  /// `speculative`: append the records and index them at the end.
  BlobReader(std::string_view data, Store& store, bool speculative)
      : in_(data), batch_(store), speculative_(speculative) {}

  /// Reads the blob; false when a speculative read met two equal records.
  [[nodiscard]] bool read() {
    const uint32_t count = in_.u32();
    const size_t room = in_.room_for(count, kMinRecord);
    ids_of_.reserve(room);
    batch_.reserve(room);
    for (uint64_t position = 0; position < count; ++position) read_record(position);
    if (speculative_ && !batch_.index_appended()) return false;
    const uint32_t outputs = in_.u32();
    for (uint32_t k = 0; k < outputs; ++k) {
      const uint64_t ref = in_.u64();
      if (ref >= ids_of_.size()) fail(BlobError::Kind::OutOfRange, ref);
      check(batch_.mark_output(ids_of_[ref]).ok(), "blob output outside the store");
    }
    return true;
  }

 private:
  void read_record(uint64_t position) {
    const uint8_t tag = in_.u8();
    if (tag >= kNodeKindCount) fail(BlobError::Kind::InvalidTag, tag, "node");
    NodeSpec node_spec;
    node_spec.kind = static_cast<NodeKind>(tag);
    inputs_.clear();  // a Source reads none
    const char* params_at = nullptr;
    DescriptorRef descriptor;
    switch (node_spec.kind) {
      case NodeKind::Source:
        read_name(node_spec);
        params_at = read_params(node_spec);
        break;
      case NodeKind::Op:
      case NodeKind::Reduction:
        read_name(node_spec);
        params_at = read_params(node_spec);
        read_ids(position);
        break;
      case NodeKind::External:
        read_descriptor(descriptor);
        node_spec.descriptor = &descriptor;
        params_at = read_params(node_spec);
        read_ids(position);
        break;
      case NodeKind::Stage:
        read_ids(position);
        read_members(node_spec);
        break;
      case NodeKind::Exchange:
      case NodeKind::Join:
        params_at = read_params(node_spec);
        read_ids(position);
        break;
    }
    node_spec.inputs = inputs_;
    PoolIds pool_ids;
    NodeId id = 0;
    if (speculative_) {
      id = batch_.append_unindexed(node_spec, &pool_ids);
    } else {
      auto interned = batch_.intern_node(node_spec, &pool_ids);
      // Inputs are translated record positions, all below the node count.
      check(interned.ok(), "blob record with an input outside the store");
      id = interned.value();
    }
    if (has_name(node_spec.kind) && node_spec.name_id == kUnresolved) {
      known_names_.emplace(node_spec.name, pool_ids.name);
    }
    if (params_at != nullptr) {
      known_params_.emplace(std::string_view(params_at, static_cast<size_t>(params_end_ - params_at)),
                            pool_ids.params);
    }
    ids_of_.push_back(static_cast<uint32_t>(id));
  }

  /// Reads a name into `node_spec`. A name whose bytes were read before
  /// resolves to its string id without being checked or looked up again;
  /// a new one is remembered once the node is interned.
  void read_name(NodeSpec& node_spec) {
    node_spec.name = in_.bytes();
    if (auto it = known_names_.find(node_spec.name); it != known_names_.end()) {
      node_spec.name_id = it->second;
      return;
    }
    if (!valid_utf8(node_spec.name)) fail(BlobError::Kind::BadUtf8);
  }

  /// Reads a parameter section into `node_spec`. A section whose bytes were read
  /// before resolves to that map's id without being parsed again; otherwise
  /// the entries are parsed, sorted, and the section's start returned so the
  /// map's id can be remembered once the node is interned.
  const char* read_params(NodeSpec& node_spec) {
    const char* start = in_.position();
    const char* end = skim_params(std::string_view(start, in_.remaining()));
    if (end != nullptr) {
      const std::string_view bytes(start, static_cast<size_t>(end - start));
      if (bytes.size() == 4) {  // an empty map
        in_.seek(end);
        node_spec.params_id = 0;
        return nullptr;
      }
      if (auto it = known_params_.find(bytes); it != known_params_.end()) {
        in_.seek(end);
        node_spec.params_id = it->second;
        return nullptr;
      }
    }
    params_.clear();
    read_param_section<true>(in_, params_);
    sort_params(params_);
    node_spec.params = params_;
    params_end_ = in_.position();
    return start;
  }

  /// Reads an ids list whose entries must be below `position`, translated
  /// to the ids their records were interned to.
  void read_ids(uint64_t position) {
    const uint32_t n = in_.u32();
    inputs_.clear();
    inputs_.reserve(in_.room_for(n, 8));
    for (uint32_t k = 0; k < n; ++k) {
      const uint64_t ref = in_.u64();
      if (ref >= position) fail(BlobError::Kind::OutOfRange, ref);
      inputs_.push_back(ids_of_[ref]);
    }
  }

  void read_descriptor(DescriptorRef& d) {
    d.kind = in_.str();
    d.content_hash = in_.str();
    d.framework = in_.str();
    d.version = in_.str();
    d.io_schema = in_.str();
    if (in_.u8() != 0) d.preprocessing_ref = in_.str();
  }

  /// Reads the members of a stage whose inputs were just read.
  void read_members(NodeSpec& node_spec) {
    const uint32_t n = in_.u32();
    runs_.clear();
    refs_.clear();
    runs_.reserve(in_.room_for(n, kMinMember));
    for (uint32_t m = 0; m < n; ++m) {
      MemberRun run{in_.str(), refs_.size(), 0};
      run.count = in_.u32();
      for (size_t k = 0; k < run.count; ++k) {
        const uint8_t kind = in_.u8();
        if (kind > kBlobLastRefKind) fail(BlobError::Kind::InvalidTag, kind, "stage-ref");
        const uint32_t index = in_.u32();
        const uint64_t bound = kind == 0 ? inputs_.size() : m;
        if (index >= bound) fail(BlobError::Kind::OutOfRange, index);
        refs_.push_back(StageRef{static_cast<StageRef::Kind>(kind), index});
      }
      runs_.push_back(run);
    }
    // Spans into refs_ are taken only now that it has stopped growing.
    members_.clear();
    members_.reserve(runs_.size());
    for (const MemberRun& r : runs_) {
      members_.push_back(MemberSpec{r.token, std::span<const StageRef>(refs_.data() + r.first, r.count)});
    }
    node_spec.members = members_;
  }

  Cursor in_;
  Store::Batch batch_;
  bool speculative_;
  std::vector<uint32_t> ids_of_;  ///< record position -> node id
  std::vector<NodeId> inputs_;
  std::vector<ParamRef> params_;
  const char* params_end_ = nullptr;
  std::vector<MemberRun> runs_;
  std::vector<StageRef> refs_;
  std::vector<MemberSpec> members_;
  /// Names already read, by their bytes, and their string ids.
  boost::unordered_flat_map<std::string_view, uint32_t, BytesHash> known_names_;
  /// Parameter sections already read, by their bytes, and their map ids.
  /// A recorded graph repeats a few parameter maps many times.
  boost::unordered_flat_map<std::string_view, uint32_t, BytesHash> known_params_;
};

}  // namespace

Result<std::unique_ptr<Store>, BlobError> read_blob(std::string_view data) {
  if (data.size() < kBlobMagic.size()) return BlobError{BlobError::Kind::Truncated};
  if (data.substr(0, kBlobMagic.size()) != kBlobMagic) return BlobError{BlobError::Kind::BadMagic};
  const std::string_view body = data.substr(kBlobMagic.size());
  auto store = std::make_unique<Store>();
  try {
    if (!BlobReader(body, *store, /*speculative=*/true).read()) {
      store = std::make_unique<Store>();
      check(BlobReader(body, *store, /*speculative=*/false).read(), "blob read twice");
    }
  } catch (const BlobError& e) {
    return e;
  }
  return store;
}

}  // namespace korvane
