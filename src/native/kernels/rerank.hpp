// Exact squared L2 distance between rows of 8-bit codes. No Python here.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "kernels/topk.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define TX_RERANK_X86 1
#endif

namespace tx::rerank {

constexpr std::int64_t kSaturated = 2147483647;

inline std::int32_t saturate(std::int64_t d) noexcept {
  return d > kSaturated ? static_cast<std::int32_t>(kSaturated) : static_cast<std::int32_t>(d);
}

inline std::int64_t l2_tail(const std::uint8_t* a, const std::uint8_t* b, std::int64_t from, std::int64_t n) noexcept {
  std::int64_t s = 0;
  for (std::int64_t j = from; j < n; ++j) {
    const std::int32_t d = static_cast<std::int32_t>(a[j]) - static_cast<std::int32_t>(b[j]);
    s += d * d;
  }
  return s;
}

inline std::int32_t l2_portable(const std::uint8_t* a, const std::uint8_t* b, std::int64_t n) noexcept {
  return saturate(l2_tail(a, b, 0, n));
}

#ifdef TX_RERANK_X86
// |a - b| per byte, widened to 16 bits and squared-and-paired by madd into
// 32-bit lanes. A 32-bit lane gains at most 4 * 255^2 per step, so partial
// sums are flushed to 64 bits every 4096 steps, far below overflow.
__attribute__((target("avx2"))) inline std::int32_t l2_avx2(const std::uint8_t* a, const std::uint8_t* b,
                                                            std::int64_t n) noexcept {
  const __m256i zero = _mm256_setzero_si256();
  std::int64_t total = 0, j = 0;
  while (j + 32 <= n) {
    __m256i acc = zero;
    const std::int64_t end = std::min<std::int64_t>(n - 31, j + 32 * 4096);
    for (; j < end; j += 32) {
      const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + j));
      const __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + j));
      const __m256i d = _mm256_or_si256(_mm256_subs_epu8(x, y), _mm256_subs_epu8(y, x));
      const __m256i lo = _mm256_unpacklo_epi8(d, zero);
      const __m256i hi = _mm256_unpackhi_epi8(d, zero);
      acc = _mm256_add_epi32(acc, _mm256_madd_epi16(lo, lo));
      acc = _mm256_add_epi32(acc, _mm256_madd_epi16(hi, hi));
    }
    alignas(32) std::int32_t lanes[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), acc);
    for (std::int32_t v : lanes) total += v;
  }
  return saturate(total + l2_tail(a, b, j, n));
}

__attribute__((target("avx512f,avx512bw"))) inline std::int32_t l2_avx512(const std::uint8_t* a,
                                                                         const std::uint8_t* b,
                                                                         std::int64_t n) noexcept {
  const __m512i zero = _mm512_setzero_si512();
  std::int64_t total = 0, j = 0;
  while (j + 64 <= n) {
    __m512i acc = zero;
    const std::int64_t end = std::min<std::int64_t>(n - 63, j + 64 * 4096);
    for (; j < end; j += 64) {
      const __m512i x = _mm512_loadu_si512(a + j);
      const __m512i y = _mm512_loadu_si512(b + j);
      const __m512i d = _mm512_or_si512(_mm512_subs_epu8(x, y), _mm512_subs_epu8(y, x));
      const __m512i lo = _mm512_unpacklo_epi8(d, zero);
      const __m512i hi = _mm512_unpackhi_epi8(d, zero);
      acc = _mm512_add_epi32(acc, _mm512_madd_epi16(lo, lo));
      acc = _mm512_add_epi32(acc, _mm512_madd_epi16(hi, hi));
    }
    const __m512i wide = _mm512_add_epi64(_mm512_cvtepi32_epi64(_mm512_castsi512_si256(acc)),
                                          _mm512_cvtepi32_epi64(_mm512_extracti64x4_epi64(acc, 1)));
    total += _mm512_reduce_add_epi64(wide);
  }
  return saturate(total + l2_tail(a, b, j, n));
}
#endif

using L2 = std::int32_t (*)(const std::uint8_t*, const std::uint8_t*, std::int64_t) noexcept;

// level: 0 portable, 1 popcnt (no vector L2: portable), 2 avx2, 3 avx512.
inline L2 l2_for(int level) noexcept {
#ifdef TX_RERANK_X86
  if (level >= 3) return l2_avx512;
  if (level == 2) return l2_avx2;
#endif
  (void)level;
  return l2_portable;
}

// The k nearest of the rows rows[0..n) of `base` (codes of `dim` bytes) to
// the query `q`, ties by position, into ids/dist (k wide: -1 and kSaturated
// pad a short row). The rows are distinct positions of `base`.
inline void nearest(const std::uint8_t* base, std::int64_t dim, const std::uint8_t* q, const std::int64_t* rows,
                    std::int64_t n, L2 l2, std::int64_t k, std::int64_t* ids, std::int32_t* dist) {
  std::vector<std::uint64_t> keys;
  keys.reserve(static_cast<std::size_t>(n));
  for (std::int64_t i = 0; i < n; ++i) {
    if (i + 4 < n) __builtin_prefetch(base + rows[i + 4] * dim);
    const std::int32_t d = l2(base + rows[i] * dim, q, dim);
    keys.push_back(tx::topk::key(static_cast<std::uint32_t>(d), static_cast<std::uint64_t>(rows[i])));
  }
  const std::size_t kept = std::min<std::size_t>(keys.size(), static_cast<std::size_t>(k));
  std::partial_sort(keys.begin(), keys.begin() + static_cast<std::ptrdiff_t>(kept), keys.end());
  for (std::size_t i = 0; i < kept; ++i) {
    ids[i] = tx::topk::position_of(keys[i]);
    dist[i] = tx::topk::distance_of(keys[i]);
  }
  std::fill(ids + kept, ids + k, -1);
  std::fill(dist + kept, dist + k, static_cast<std::int32_t>(kSaturated));
}

}  // namespace tx::rerank
