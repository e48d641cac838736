// 8-bit scalar quantisation per dimension: equally spaced edge grids and the
// encoding of float32 rows against them. No Python here.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

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

// 1 / step for the encoder's fast path, or NaN where that path could not
// vouch for its codes (a zero, subnormal or infinite step, or a reciprocal
// outside the normal range): every value of such a column takes the division.
inline double reciprocal_of(double step) noexcept {
  const double inv = 1.0 / step;
  const bool normal = std::isnormal(step) && std::isnormal(inv);
  return normal ? inv : std::numeric_limits<double>::quiet_NaN();
}

// One row of codes: out[j] = code((x[j] - lo[j]) / step[j]), with the
// quotient exactly as IEEE division gives it. A division per value bounds
// the loop by the divider, so the quotient is first taken as a product by
// the reciprocal: it lies within 3.4e-16 relative of the true quotient, as
// does the division's, so both truncate alike unless an integer lies within
// that distance. Codes change only at integers, so a product within 2e-13
// of an integer (or a NaN: no usable reciprocal) sends its value through the
// division; that bound covers quotients up to 512, and every code from 256
// up is 255 anyway. Away from those the product's code is the division's,
// bit for bit. (Values at the grid's low end, quotient 0, and far outside
// it divide too: rare in data the grid was fitted to.)
// q less its nearest integer: adding and taking off 1.5 * 2^52 rounds to an
// integer (for |q| < 2^51; larger quotients come out near one and divide).
constexpr double kRound = 6755399441055744.0;
constexpr double kNear = 2e-13;  // 512 x 3.4e-16, with room to spare

inline unsigned needs_division(double q) noexcept {
  const double off = std::fabs(q - ((q + kRound) - kRound));
  return static_cast<unsigned>(!(off >= kNear));  // near an integer, or NaN
}

template <int Tag>
[[gnu::always_inline]] inline void encode_row_impl(const unsigned char* row, std::int64_t cols, const double* lo,
                                                   const double* step, const double* inv, std::uint8_t* out) noexcept {
  unsigned redo = 0;
  for (std::int64_t j = 0; j < cols; ++j) {
    const double q = (static_cast<double>(load_float(row + 4 * j)) - lo[j]) * inv[j];
    redo |= needs_division(q);
    out[j] = code_of(q);
  }
  if (redo == 0) return;
  for (std::int64_t j = 0; j < cols; ++j) {
    const double x = static_cast<double>(load_float(row + 4 * j));
    const double q = (x - lo[j]) * inv[j];
    if (needs_division(q) != 0) out[j] = code_of((x - lo[j]) / step[j]);
  }
}

// The same codes with vector instructions, 16 (AVX-512) or 8 (AVX2) values
// a step: the floats widened to double, the product by the reciprocal, the
// check above as a lane mask, then clamp and truncate as code_of does
// (maxpd returns its second operand, 0, for a NaN). A row with any flagged
// lane goes through the scalar loop's second pass; the tail past the last
// full step is encoded by the scalar loop.
#if defined(__x86_64__) && defined(__GNUC__)
// GCC 12 takes the intrinsics' undefined pass-through operands for
// uninitialised reads once they inline into a target-attributed function.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
__attribute__((target("avx512f,avx512bw,avx512vl"))) inline __mmask8 division_lanes_avx512(__m512d q) noexcept {
  const __m512d round = _mm512_set1_pd(kRound);
  const __m512d off = _mm512_abs_pd(_mm512_sub_pd(q, _mm512_sub_pd(_mm512_add_pd(q, round), round)));
  return _mm512_cmp_pd_mask(off, _mm512_set1_pd(kNear), _CMP_NGE_UQ);  // near, or NaN
}

__attribute__((target("avx512f,avx512bw,avx512vl"))) inline void encode_row_avx512(
    const unsigned char* row, std::int64_t cols, const double* lo, const double* step, const double* inv,
    std::uint8_t* out) noexcept {
  const __m512d zero = _mm512_setzero_pd(), top = _mm512_set1_pd(255.0);
  __mmask8 redo = 0;
  std::int64_t j = 0;
  for (; j + 16 <= cols; j += 16) {
    const __m512 x = _mm512_loadu_ps(row + 4 * j);
    const __m512d x0 = _mm512_cvtps_pd(_mm512_castps512_ps256(x));
    const __m512d x1 = _mm512_cvtps_pd(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(x), 1)));
    const __m512d q0 = _mm512_mul_pd(_mm512_sub_pd(x0, _mm512_loadu_pd(lo + j)), _mm512_loadu_pd(inv + j));
    const __m512d q1 = _mm512_mul_pd(_mm512_sub_pd(x1, _mm512_loadu_pd(lo + j + 8)), _mm512_loadu_pd(inv + j + 8));
    redo |= division_lanes_avx512(q0) | division_lanes_avx512(q1);
    const __m256i c0 = _mm512_cvttpd_epi32(_mm512_min_pd(_mm512_max_pd(q0, zero), top));
    const __m256i c1 = _mm512_cvttpd_epi32(_mm512_min_pd(_mm512_max_pd(q1, zero), top));
    const __m512i c = _mm512_inserti64x4(_mm512_castsi256_si512(c0), c1, 1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + j), _mm512_cvtepi32_epi8(c));
  }
  if (redo != 0) {
    encode_row_impl<3>(row, j, lo, step, inv, out);
  }
  encode_row_impl<3>(row + 4 * j, cols - j, lo + j, step + j, inv + j, out + j);
}

__attribute__((target("avx2"))) inline int division_lanes_avx2(__m256d q) noexcept {
  const __m256d round = _mm256_set1_pd(kRound);
  const __m256d off =
      _mm256_andnot_pd(_mm256_set1_pd(-0.0), _mm256_sub_pd(q, _mm256_sub_pd(_mm256_add_pd(q, round), round)));
  return _mm256_movemask_pd(_mm256_cmp_pd(off, _mm256_set1_pd(kNear), _CMP_NGE_UQ));  // near, or NaN
}

__attribute__((target("avx2"))) inline void encode_row_avx2(const unsigned char* row, std::int64_t cols,
                                                            const double* lo, const double* step, const double* inv,
                                                            std::uint8_t* out) noexcept {
  const __m256d zero = _mm256_setzero_pd(), top = _mm256_set1_pd(255.0);
  int redo = 0;
  std::int64_t j = 0;
  for (; j + 8 <= cols; j += 8) {
    const __m256 x = _mm256_loadu_ps(reinterpret_cast<const float*>(row + 4 * j));
    const __m256d x0 = _mm256_cvtps_pd(_mm256_castps256_ps128(x));
    const __m256d x1 = _mm256_cvtps_pd(_mm256_extractf128_ps(x, 1));
    const __m256d q0 = _mm256_mul_pd(_mm256_sub_pd(x0, _mm256_loadu_pd(lo + j)), _mm256_loadu_pd(inv + j));
    const __m256d q1 = _mm256_mul_pd(_mm256_sub_pd(x1, _mm256_loadu_pd(lo + j + 4)), _mm256_loadu_pd(inv + j + 4));
    redo |= division_lanes_avx2(q0) | division_lanes_avx2(q1);
    const __m128i c0 = _mm256_cvttpd_epi32(_mm256_min_pd(_mm256_max_pd(q0, zero), top));
    const __m128i c1 = _mm256_cvttpd_epi32(_mm256_min_pd(_mm256_max_pd(q1, zero), top));
    const __m128i words = _mm_packs_epi32(c0, c1);  // 0..255 fit in int16
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + j), _mm_packus_epi16(words, words));
  }
  if (redo != 0) {
    encode_row_impl<2>(row, j, lo, step, inv, out);
  }
  encode_row_impl<2>(row + 4 * j, cols - j, lo + j, step + j, inv + j, out + j);
}
#pragma GCC diagnostic pop
#endif
inline void encode_row_portable(const unsigned char* row, std::int64_t cols, const double* lo, const double* step,
                                const double* inv, std::uint8_t* out) noexcept {
  encode_row_impl<0>(row, cols, lo, step, inv, out);
}

using EncodeRow = void (*)(const unsigned char*, std::int64_t, const double*, const double*, const double*,
                           std::uint8_t*) noexcept;

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
