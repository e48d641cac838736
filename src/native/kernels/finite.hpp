// Whether every value of an array is finite, on the OpenMP team. No Python here.
#pragma once

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>

#include "support/team.hpp"

namespace tx::finite {

// Chunks of 64 Ki values: one branch-free pass each, and a team that stops
// taking chunks once any chunk found a NaN or an infinity.
template <class T>
bool all_finite(const T* v, std::int64_t n, int threads) {
  constexpr std::int64_t kChunk = std::int64_t{1} << 16;
  const std::int64_t chunks = (n + kChunk - 1) / kChunk;
  std::atomic<bool> bad{false};
  tx::parallel_for(chunks, threads, [&](std::int64_t c) {
    if (bad.load(std::memory_order_relaxed)) return;
    const std::int64_t end = std::min(n, (c + 1) * kChunk);
    bool ok = true;
    for (std::int64_t i = c * kChunk; i < end; ++i) ok &= std::isfinite(v[i]);
    if (!ok) bad.store(true, std::memory_order_relaxed);
  });
  return !bad.load();
}

}  // namespace tx::finite
