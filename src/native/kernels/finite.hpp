// Whether every value of an array is finite, on the OpenMP team. No Python here.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "support/no_python/team.hpp"

namespace tx::finite {

// A value is NaN or infinite exactly when its exponent bits are all ones:
// then its magnitude bits plus one unit of the exponent's lowest bit carry
// into the sign bit, and no finite value's do. OR-ing those sums over a
// chunk and testing the sign bit once is integer work without branches,
// which the compiler turns into vector code.
template <class T>
bool chunk_finite(const T* v, std::int64_t n) noexcept {
  using U = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;
  constexpr int kMantissa = sizeof(T) == 4 ? 23 : 52;
  constexpr U kSign = U{1} << (8 * sizeof(T) - 1);
  constexpr U kMagnitude = kSign - 1;
  constexpr U kExponentUnit = U{1} << kMantissa;
  U acc = 0;
  for (std::int64_t i = 0; i < n; ++i) {
    U bits;
    std::memcpy(&bits, v + i, sizeof bits);
    acc |= (bits & kMagnitude) + kExponentUnit;
  }
  return (acc & kSign) == 0;
}

// Chunks of 64 Ki values, and a team that stops taking chunks once any
// chunk found a NaN or an infinity.
template <class T>
bool all_finite(const T* v, std::int64_t n, int threads) {
  constexpr std::int64_t kChunk = std::int64_t{1} << 16;
  const std::int64_t chunks = (n + kChunk - 1) / kChunk;
  std::atomic<bool> bad{false};
  tx::parallel_for(chunks, threads, [&](std::int64_t c) {
    if (bad.load(std::memory_order_relaxed)) return;
    const std::int64_t start = c * kChunk;
    if (!chunk_finite(v + start, std::min(n, start + kChunk) - start)) bad.store(true, std::memory_order_relaxed);
  });
  return !bad.load();
}

}  // namespace tx::finite
