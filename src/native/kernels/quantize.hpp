// 8-bit scalar quantisation per dimension: equally spaced edge grids and the
// encoding of float32 rows against them. No Python here.
#pragma once

#include <cstdint>
#include <cstring>

namespace tx::quantize {

// Row `i` of an edge table: bins edges from lo to hi. Multiply first, then
// add, in double: the last edge may miss hi in the last place, by design.
inline void edge_row(double lo, double hi, std::int64_t bins, double* out) noexcept {
  if (hi < lo || hi > lo) {
    const double step = (hi - lo) / (static_cast<double>(bins) - 1.0);
    for (std::int64_t j = 0; j < bins; ++j) out[j] = static_cast<double>(j) * step + lo;
  } else {  // equal (a NaN is refused before we get here)
    for (std::int64_t j = 0; j < bins; ++j) out[j] = lo;
  }
}

// Code of one quotient: truncated toward zero and held in 0..255; NaN gives 0.
// Written with comparisons only, so it vectorises and every path agrees.
inline std::uint8_t code_of(double q) noexcept {
  double c = q >= 0.0 ? q : 0.0;  // negatives and NaN
  c = c <= 255.0 ? c : 255.0;     // large quotients and +inf
  return static_cast<std::uint8_t>(static_cast<std::int32_t>(c));
}

inline float load_float(const unsigned char* p) noexcept {
  float v;
  std::memcpy(&v, p, sizeof v);  // buffers need not be aligned
  return v;
}

// One row of codes: out[j] = code((x[j] - lo[j]) / step[j]).
template <int Tag>
[[gnu::always_inline]] inline void encode_row_impl(const unsigned char* row, std::int64_t cols, const double* lo, const double* step,
                            std::uint8_t* out) noexcept {
  for (std::int64_t j = 0; j < cols; ++j) {
    const double x = static_cast<double>(load_float(row + 4 * j));
    out[j] = code_of((x - lo[j]) / step[j]);
  }
}

// The same loop compiled for wider vectors; IEEE division and the
// comparisons above give identical codes on every path.
#if defined(__x86_64__) && defined(__GNUC__)
__attribute__((target("avx512f,avx512bw,avx512vl"))) inline void encode_row_avx512(
    const unsigned char* row, std::int64_t cols, const double* lo, const double* step, std::uint8_t* out) noexcept {
  encode_row_impl<3>(row, cols, lo, step, out);
}
__attribute__((target("avx2"))) inline void encode_row_avx2(const unsigned char* row, std::int64_t cols,
                                                            const double* lo, const double* step,
                                                            std::uint8_t* out) noexcept {
  encode_row_impl<2>(row, cols, lo, step, out);
}
#endif
inline void encode_row_portable(const unsigned char* row, std::int64_t cols, const double* lo, const double* step,
                                std::uint8_t* out) noexcept {
  encode_row_impl<0>(row, cols, lo, step, out);
}

using EncodeRow = void (*)(const unsigned char*, std::int64_t, const double*, const double*, std::uint8_t*) noexcept;

// level: 0 portable, 2 avx2, 3 avx512 (see support/simd.hpp).
inline EncodeRow encode_row_for(int level) noexcept {
#if defined(__x86_64__) && defined(__GNUC__)
  if (level >= 3) return encode_row_avx512;
  if (level >= 2) return encode_row_avx2;
#endif
  (void)level;
  return encode_row_portable;
}

}  // namespace tx::quantize
