// Binary codes (one bit per dimension: the value exceeds the dimension's fit
// value) and the Hamming top-k over them. No Python here.
//
// Layout: rows are stored in blocks of 8; a block holds, for each 64-bit word
// w of the code, that word of its 8 rows side by side (block[w * 8 + lane]).
// One 512-bit load then brings one word of 8 rows, so the distances of a whole
// block come out of `words` XOR + popcount + add steps with no horizontal sum.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define TX_HAMMING_X86 1
#endif

#include "kernels/topk.hpp"

namespace tx::hamming {

constexpr std::int64_t kLanes = 8;
// Keys hold the position in 32 bits.
constexpr std::int64_t kMaxRows = std::int64_t{1} << 32;

inline std::int64_t words_for(std::int64_t dim) noexcept { return (dim + 63) / 64; }

// A zero-filled, 64-byte aligned block store with spare capacity.
class Codes {
 public:
  Codes(std::int64_t words, std::int64_t capacity_rows) : words_(words) {
    cap_blocks_ = std::max<std::int64_t>(1, (capacity_rows + kLanes - 1) / kLanes);
    const std::size_t bytes = std::max<std::size_t>(
        64, static_cast<std::size_t>(cap_blocks_ * std::max<std::int64_t>(words_, 1) * kLanes * 8));
    data_ = static_cast<std::uint64_t*>(std::aligned_alloc(64, (bytes + 63) / 64 * 64));
    if (data_ == nullptr) throw std::bad_alloc();
    std::memset(data_, 0, (bytes + 63) / 64 * 64);
  }
  Codes(const Codes&) = delete;
  Codes& operator=(const Codes&) = delete;
  ~Codes() { std::free(data_); }

  std::int64_t words() const noexcept { return words_; }
  std::int64_t capacity_rows() const noexcept { return cap_blocks_ * kLanes; }
  const std::uint64_t* block(std::int64_t b) const noexcept { return data_ + b * words_ * kLanes; }
  std::uint64_t* block(std::int64_t b) noexcept { return data_ + b * words_ * kLanes; }

  std::uint64_t word(std::int64_t row, std::int64_t w) const noexcept {
    return block(row / kLanes)[w * kLanes + row % kLanes];
  }
  void set_row(std::int64_t row, const std::uint64_t* code) noexcept {
    std::uint64_t* b = block(row / kLanes) + row % kLanes;
    for (std::int64_t w = 0; w < words_; ++w) b[w * kLanes] = code[w];
  }
  void get_row(std::int64_t row, std::uint64_t* code) const noexcept {
    const std::uint64_t* b = block(row / kLanes) + row % kLanes;
    for (std::int64_t w = 0; w < words_; ++w) code[w] = b[w * kLanes];
  }
  // Copies rows [0, rows) of `other` (same word count).
  void copy_rows_from(const Codes& other, std::int64_t rows) noexcept {
    const std::int64_t blocks = (rows + kLanes - 1) / kLanes;
    std::memcpy(data_, other.data_, static_cast<std::size_t>(blocks * words_ * kLanes * 8));
  }

 private:
  std::int64_t words_;
  std::int64_t cap_blocks_;
  std::uint64_t* data_ = nullptr;
};

// Code of one float32 row against per-dimension thresholds.
inline void binarize(const float* x, std::int64_t dim, const double* thresholds, std::uint64_t* code) noexcept {
  const std::int64_t words = words_for(dim);
  for (std::int64_t w = 0; w < words; ++w) {
    std::uint64_t bits = 0;
    const std::int64_t end = std::min<std::int64_t>(64, dim - w * 64);
    for (std::int64_t b = 0; b < end; ++b) {
      bits |= static_cast<std::uint64_t>(static_cast<double>(x[w * 64 + b]) > thresholds[w * 64 + b]) << b;
    }
    code[w] = bits;
  }
}

// numpy's median of n float32 values (destroys the order of `v`): the middle
// value, or for an even count the float32 mean of the two middle ones.
inline float median(float* v, std::int64_t n) noexcept {
  const std::int64_t k = n / 2;
  std::nth_element(v, v + k, v + n);
  const float upper = v[k];
  if (n % 2 == 1) return upper;
  const float lower = *std::max_element(v, v + k);
  const float sum = lower + upper;
  return sum / 2.0f;
}

// ---- scans, compiled once per instruction-set level --------------------------

// What one search reads: a code store and how many of its rows it may see.
// Rows at or past `rows` may be written meanwhile by an append, so no scan
// touches them: full blocks go through the block kernel, the last partial
// block row by row.
struct View {
  const Codes* codes;
  std::int64_t rows;
};

// Queries handled together so a tile of codes loaded once serves all of them.
constexpr std::int64_t kQueryGroup = 16;
constexpr std::int64_t kTileBytes = 128 * 1024;

// Entry points of one level.
struct Kernels {
  void (*all)(const View&, const std::uint64_t*, std::int64_t, std::int64_t, topk::AscendingSelector*);
  void (*subset)(const View&, const std::int64_t*, const std::int64_t*, const std::uint64_t*, std::int64_t,
                 std::int64_t, topk::AscendingSelector*);
  void (*rows)(const View&, const std::int64_t*, std::int64_t, const std::uint64_t*, topk::Selector&);
};

// Each level namespace defines the distance kernels `row` and `block` and then
// includes the scans, all under that level's target options, so everything
// inlines into one loop per level.
namespace portable {
inline std::uint32_t pop(std::uint64_t x) noexcept {  // no popcnt instruction
  x = x - ((x >> 1) & 0x5555555555555555ull);
  x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
  x = (x + (x >> 4)) & 0x0f0f0f0f0f0f0f0full;
  return static_cast<std::uint32_t>((x * 0x0101010101010101ull) >> 56);
}
#define TX_POP(x) pop(x)
#include "kernels/hamming_scalar.inc"
#include "kernels/hamming_scan.inc"
#undef TX_POP
}  // namespace portable

#ifdef TX_HAMMING_X86
#define TX_POP(x) static_cast<std::uint32_t>(__builtin_popcountll(x))
namespace popcnt {
#pragma GCC push_options
#pragma GCC target("popcnt")
#include "kernels/hamming_scalar.inc"
#include "kernels/hamming_scan.inc"
#pragma GCC pop_options
}  // namespace popcnt

namespace avx2 {
#pragma GCC push_options
#pragma GCC target("avx2,popcnt")
#include "kernels/hamming_avx2.inc"
#include "kernels/hamming_scan.inc"
#pragma GCC pop_options
}  // namespace avx2

namespace avx512 {
#pragma GCC push_options
#pragma GCC target("avx512f,avx512bw,avx512vl,avx512vpopcntdq,popcnt")
#include "kernels/hamming_avx512.inc"
#include "kernels/hamming_scan.inc"
#pragma GCC pop_options
}  // namespace avx512
#undef TX_POP
#endif

// level: 0 portable, 1 popcnt, 2 avx2, 3 avx512 (see support/no_python/simd.hpp).
inline Kernels kernels_for(int level) noexcept {
#ifdef TX_HAMMING_X86
  if (level >= 3) return {avx512::all, avx512::subset, avx512::rows};
  if (level == 2) return {avx2::all, avx2::subset, avx2::rows};
  if (level == 1) return {popcnt::all, popcnt::subset, popcnt::rows};
#endif
  (void)level;
  return {portable::all, portable::subset, portable::rows};
}

}  // namespace tx::hamming
