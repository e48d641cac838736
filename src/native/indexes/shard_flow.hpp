// Shard arithmetic of the streaming index, free of any Python: which global
// positions belong to which shard, the next shard's offset, the per-query
// memory estimate of a search, and the copy of one shard's raw hits into the
// stacked arrays that the fusion kernel reads.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

namespace tx::shard_flow {

using i64 = std::int64_t;
constexpr i64 kMaxI64 = std::numeric_limits<i64>::max();
constexpr i64 kMinI64 = std::numeric_limits<i64>::min();
constexpr i64 kMaxOffset = std::numeric_limits<std::int32_t>::max();

inline i64 saturating_add(i64 a, i64 b) noexcept {
  i64 r;
  if (__builtin_add_overflow(a, b, &r)) return b > 0 ? kMaxI64 : kMinI64;
  return r;
}

inline i64 saturating_mul(i64 a, i64 b) noexcept {
  i64 r;
  if (__builtin_mul_overflow(a, b, &r)) return (a < 0) != (b < 0) ? kMinI64 : kMaxI64;
  return r;
}

// Bytes one query costs a search over `shards` shards: 32 per hit slot, two
// lists of `sub_k1` + `sub_k2` slots per shard plus k fused slots. Saturates
// instead of wrapping, so an absurd depth asks for the smallest chunks rather
// than for a negative budget.
inline i64 query_bytes(i64 sub_k1, i64 sub_k2, i64 shards, i64 k) noexcept {
  const i64 per_shard = saturating_add(sub_k1, sub_k2);
  return saturating_mul(32, saturating_add(saturating_mul(per_shard, shards), k));
}

// Offset of the shard that follows one at `offset` holding `size` documents;
// false when it would lie beyond the 32-bit offsets the index keeps.
inline bool next_offset(i64 offset, i64 size, i64& next) noexcept {
  next = saturating_add(offset, size);
  return next >= 0 && next <= kMaxOffset;
}

// Sorts and de-duplicates candidate positions in place.
inline void sort_unique(std::vector<i64>& positions) {
  std::sort(positions.begin(), positions.end());
  positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
}

// [lo, hi) of the sorted positions that fall into the shard covering global
// positions [offset, offset + size).
inline std::pair<std::size_t, std::size_t> shard_range(const i64* sorted, std::size_t n, i64 offset, i64 size) noexcept {
  const i64 end = saturating_add(offset, std::max<i64>(size, 0));
  const i64* lo = std::lower_bound(sorted, sorted + n, offset);
  const i64* hi = std::lower_bound(lo, sorted + n, end);
  return {static_cast<std::size_t>(lo - sorted), static_cast<std::size_t>(hi - sorted)};
}

// Copies rows x `src_width` values into the first columns of a block of rows
// x `dst_width` (dst_width >= src_width); the other columns keep their fill.
template <class T>
void copy_block(T* dst, i64 dst_width, const T* src, i64 src_width, i64 rows) noexcept {
  if (src_width == dst_width) {
    std::memcpy(dst, src, sizeof(T) * static_cast<std::size_t>(rows * src_width));
    return;
  }
  for (i64 r = 0; r < rows; ++r) {
    std::memcpy(dst + r * dst_width, src + r * src_width, sizeof(T) * static_cast<std::size_t>(src_width));
  }
}

// The same, converting float64 distances to the float32 the kernel reads.
inline void copy_block_narrowing(float* dst, i64 dst_width, const double* src, i64 src_width, i64 rows) noexcept {
  for (i64 r = 0; r < rows; ++r) {
    for (i64 c = 0; c < src_width; ++c) dst[r * dst_width + c] = static_cast<float>(src[r * src_width + c]);
  }
}

}  // namespace tx::shard_flow
