// blob.hpp - the canonical "KIR1" byte form of a graph: writer and reader.
//
// A blob holds the node arena in id order and a list of output ids, all
// little-endian, counts and lengths 32-bit. The writer sizes a graph's blob
// in one pass and fills it in a second; the reader is one forward pass that
// interns each node as soon as its record is complete, so reading what the
// writer wrote gives the same ids and writing that store again gives the
// same bytes. The layout constants are here; blob_writer.cpp and
// blob_reader.cpp hold the two directions.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.hpp"
#include "store/graph.hpp"
#include "store/store.hpp"

namespace korvane {

/// The four bytes every blob starts with; the format's name and version.
inline constexpr std::string_view kBlobMagic = "KIR1";

/// Largest count or length a blob field can hold.
inline constexpr uint64_t kBlobMaxCount = UINT32_MAX;

/// The highest parameter value tag (Int 0, Float 1, Bool 2, Str 3) and the
/// highest stage ref kind (0 an input, 1 an earlier member) a blob holds.
inline constexpr uint8_t kBlobLastParamTag = static_cast<uint8_t>(ParamTag::Str);
inline constexpr uint8_t kBlobLastRefKind = static_cast<uint8_t>(StageRef::Kind::Member);

/// Why a graph cannot be written: a count or length beyond what a 32-bit
/// field holds. `message` names the field and the value.
struct BlobTooLarge {
  std::string message;
};

/// A blob ready to be written. Making the plan is a first pass over the
/// graph that sizes the blob exactly and checks every count and length
/// against `max_count` (the format's limit; tests lower it); `write` is a
/// second pass that fills a buffer of that size and cannot fail, so a
/// caller can write straight into memory it allocated for the result. The
/// plan refers to the graph and outputs it was made from, which must stay
/// alive and unchanged until it is written.
class BlobPlan {
 public:
  /// Plans the blob of `nodes` (whose pool ids refer to `pools`) with the
  /// output list `outputs`, which is written as given, duplicates included.
  static Result<BlobPlan, BlobTooLarge> make(const PoolData& pools, const NodeTable& nodes,
                                             std::span<const NodeId> outputs, uint64_t max_count = kBlobMaxCount);

  /// The exact length of the blob in bytes.
  size_t size() const { return size_; }
  /// Writes the blob to `out`, which must hold size() bytes.
  void write(char* out) const;

 private:
  BlobPlan(const PoolData& pools, const NodeTable& nodes, std::span<const NodeId> outputs)
      : pools_(&pools), nodes_(&nodes), outputs_(outputs) {}
  struct Measure;
  struct Write;
  /// The whole blob, one node record, one parameter section: each passes
  /// its fields in stored order to `sink` (a Measure or a Write) and
  /// returns it.
  template <class Sink>
  Sink walk(Sink sink) const;
  template <class Sink>
  Sink walk_node(Sink sink, size_t i) const;
  template <class Sink>
  Sink walk_params(Sink sink, uint32_t map) const;
  uint64_t map_size(uint32_t map);
  uint64_t length(uint64_t n, const char* what) const;

  const PoolData* pools_;
  const NodeTable* nodes_;
  std::span<const NodeId> outputs_;
  uint64_t max_count_ = kBlobMaxCount;
  size_t size_ = 0;
  /// Every parameter map the graph uses, encoded once, back to back; a
  /// recorded graph repeats a few maps many times.
  std::string maps_;
  /// Per map id: its offset in `maps_` plus one (0 for a map no node uses),
  /// and its length.
  std::vector<uint64_t> map_at_;
  std::vector<uint64_t> map_len_;
};

/// Plans and writes the blob in one call.
Result<std::string, BlobTooLarge> write_blob(const PoolData& pools, const NodeTable& nodes,
                                             std::span<const NodeId> outputs,
                                             uint64_t max_count = kBlobMaxCount);

/// A blob the reader refuses; the first failure in stream order.
struct BlobError {
  enum class Kind : uint8_t { Truncated, BadMagic, InvalidTag, BadUtf8, OutOfRange };
  Kind kind;
  std::string_view tag_of{};  ///< InvalidTag: "node", "param" or "stage-ref"
  uint64_t value = 0;         ///< InvalidTag: the tag byte; OutOfRange: the reference

  /// The text the caller reports ("invalid node tag 9", ...).
  std::string message() const;
};

/// Reads a blob into a new store whose outputs are the blob's output list
/// (deduplicated, first occurrence kept) and whose node map is empty. Bytes
/// after the output list are ignored. `data` must stay alive and unchanged
/// during the call only; the store copies what it keeps.
///
/// Beyond the format's own checks the reader rejects a stage "input" ref
/// that is not below the stage's input count. A record equal to an earlier
/// record interns to that record's node, and later references to its
/// position are translated to that node.
Result<std::unique_ptr<Store>, BlobError> read_blob(std::string_view data);

}  // namespace korvane
