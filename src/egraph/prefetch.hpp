// prefetch.hpp - a cache hint that the optimiser keeps.
//
// The engine's large tables are read at scattered positions; their hot loops
// name the records they will need a few steps ahead with `prefetch_line`.
#pragma once

namespace korvane::egraph {

/// Hints that the cache line holding `address` is about to be read. Never
/// faults. An asm statement rather than __builtin_prefetch: g++ 12 judged a
/// lambda that only prefetched free of effects and dropped its calls, which
/// took the hints out of the search loop.
inline void prefetch_line(const void* address) noexcept {
#if defined(__x86_64__) || defined(__i386__)
  asm volatile("prefetcht0 %0" : : "m"(*static_cast<const char*>(address)));
#else
  __builtin_prefetch(address);
#endif
}

}  // namespace korvane::egraph
