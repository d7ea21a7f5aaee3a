// chunked_vector.hpp - the sequence type of the e-graph's large per-id tables.
//
// A deque in fixed blocks: elements never move once constructed, growing
// adds a block instead of reallocating (no copy of the whole table at a
// power of two, no second table alive during the copy), and at most one
// partly used block is slack.
#pragma once

#include <cstddef>

#include <boost/container/deque.hpp>
#include <boost/container/options.hpp>

namespace korvane::egraph {

/// Elements per block of a ChunkedVector.
inline constexpr std::size_t kChunkSize = std::size_t{1} << 14;

/// An append-mostly sequence of T in blocks of kChunkSize elements;
/// references stay valid until their element is removed.
template <class T>
using ChunkedVector = boost::container::deque<
    T, void, boost::container::deque_options_t<boost::container::block_size<kChunkSize>>>;

}  // namespace korvane::egraph
