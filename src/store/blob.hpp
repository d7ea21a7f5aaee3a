// blob.hpp - the canonical "KIR1" byte form of a graph: writer and reader.
//
// A blob holds the node arena in id order and a list of output ids, all
// little-endian, counts and lengths 32-bit. The writer is one pass over a
// graph; the reader is one forward pass that interns each node as soon as
// its record is complete, so reading what the writer wrote gives the same
// ids and writing that store again gives the same bytes.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "common/expected.hpp"
#include "store/graph.hpp"
#include "store/store.hpp"

namespace korvane {

/// The four bytes every blob starts with; the format's name and version.
inline constexpr std::string_view kBlobMagic = "KIR1";

/// Largest count or length a blob field can hold.
inline constexpr uint64_t kBlobMaxCount = UINT32_MAX;

/// Why a graph cannot be written: a count or length beyond what a 32-bit
/// field holds. `message` names the field and the value.
struct BlobTooLarge {
  std::string message;
};

/// Writes the blob of `nodes` (whose pool ids refer to `pools`) with the
/// output list `outputs`, written as given, duplicates included. Fails
/// without writing anything further when a count or length exceeds
/// `max_count` (the format's limit; tests lower it).
Expected<std::string, BlobTooLarge> write_blob(const PoolData& pools, const NodeTable& nodes,
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
Expected<std::unique_ptr<Store>, BlobError> read_blob(std::string_view data);

}  // namespace korvane
