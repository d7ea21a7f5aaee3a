// The id set under the intern indexes: lookups stay exact through growth
// when many keys share a hash.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "common/hashed_id_set.hpp"

namespace korvane {
namespace {

/// Keys are the values of an arena; id i holds arena[i].
struct Arena {
  std::vector<uint64_t> values;
};
struct SameValue {
  const Arena* arena;
  bool operator()(uint64_t key, uint32_t id) const { return arena->values[id] == key; }
};
using Set = HashedIdSet<uint64_t, SameValue>;

class HashedIdSetCollisions : public testing::TestWithParam<uint32_t> {};

// hash = value % buckets: with one bucket every key collides, and only the
// arena comparison tells them apart.
TEST_P(HashedIdSetCollisions, FindsEveryIdAndNothingElseThroughGrowth) {
  const uint32_t buckets = GetParam();
  const uint32_t count = buckets == 1 ? 2'000 : 20'000;
  auto hash = [&](uint64_t v) { return static_cast<uint32_t>(v % buckets); };
  Arena arena;
  Set set(SameValue{&arena});
  EXPECT_FALSE(set.find(3, hash(3)));
  set.prefetch(hash(3));  // harmless on an empty set
  for (uint32_t id = 0; id < count; ++id) {
    const uint64_t value = uint64_t{id} * 3;
    arena.values.push_back(value);
    set.insert(id, hash(value));
    if (id % 997 == 0) {
      for (uint32_t back = 0; back <= id; back += 331) EXPECT_EQ(set.find(uint64_t{back} * 3, hash(back * 3ull)), back);
    }
  }
  EXPECT_EQ(set.size(), count);
  for (uint32_t id = 0; id < count; ++id) {
    const uint64_t present = uint64_t{id} * 3;
    ASSERT_EQ(set.find(present, hash(present)), id);
    ASSERT_FALSE(set.find(present + 1, hash(present + 1)));
  }
}

INSTANTIATE_TEST_SUITE_P(Buckets, HashedIdSetCollisions, testing::Values(1u, 7u, 1u << 31));

}  // namespace
}  // namespace korvane
