// 8-bit scalar quantisation per dimension: equally spaced edge grids and the
// encoding of float32 rows against them. No Python here.
#pragma once

#include <cmath>
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

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

// The per-column constants of one encoding call, taken from edges 0 and 1
// of each table row, and the single-precision ones of its first pass.
struct Columns {
  const double* lo;
  const double* step;
  const double* inv;
  const float* lo_f;
  const float* inv_f;
  const float* slack;
  Columns from(std::int64_t j) const noexcept { return {lo + j, step + j, inv + j, lo_f + j, inv_f + j, slack + j}; }
};

// Single precision first, for the vector levels: twice the values per
// instruction. With lo and 1/step rounded to float, the float quotient of
// x lies within |lo| |1/step| 2^-24 (1 + 4 * 2^-24) + 3.02 * 2^-24 |q| of
// the division's in double; for the quotients below 256.5 that can decide
// a code, that is under `slack` = 2 |lo| |inv| 2^-24 + 2^-14 (the second
// term covers 257 x 3.02 * 2^-24 = 4.6e-5, and subnormal operands add at
// most 2^-22 more). So a float quotient further than slack from every
// integer truncates as the division does, and one beyond 256.5 (or below
// -256.5) is on the same side of 0..255 as it. Any other value, a NaN or
// an infinity among them, goes through the double-precision pass. A column
// whose slack would reach 0.25 (|lo| over about 2^21 steps from 0), whose
// lo or reciprocal float cannot hold, or that has no usable reciprocal
// gets an infinite slack: every value of it takes the double pass. So does
// a column whose lo is below float's normal range: a thread that flushes
// subnormals to zero (a library built for fast math sets that for the whole
// process) would take it as 0, |lo| |inv| off, while the double pass and
// numpy still see it.
inline void single_precision(double lo, double inv, float& lo_f, float& inv_f, float& slack) noexcept {
  const double bound = 2.0 * std::fabs(lo) * std::fabs(inv) * 0x1p-24 + 0x1p-14;
  const float lo_single = static_cast<float>(lo), inv_single = static_cast<float>(inv);
  const bool lo_normal = lo == 0.0 || std::fabs(lo) >= static_cast<double>(std::numeric_limits<float>::min());
  if (lo_normal && std::isfinite(lo_single) && std::isnormal(inv_single) && bound < 0.25) {
    lo_f = lo_single;
    inv_f = inv_single;
    slack = std::nextafter(static_cast<float>(bound), 1.0f);  // never below the bound
  } else {
    lo_f = 0.0f;
    inv_f = 0.0f;
    slack = std::numeric_limits<float>::infinity();
  }
}

class Grid {
 public:
  // From an edge table of `n_cols` rows of `edges_per_row` float64 edges,
  // read through bytes (the buffer need not be aligned).
  Grid(const unsigned char* edges, std::int64_t n_cols, std::int64_t edges_per_row)
      : lo_(n_cols), step_(n_cols), inv_(n_cols), lo_f_(n_cols), inv_f_(n_cols), slack_(n_cols) {
    for (std::int64_t j = 0; j < n_cols; ++j) {
      double e0, e1;
      std::memcpy(&e0, edges + j * edges_per_row * 8, 8);
      std::memcpy(&e1, edges + j * edges_per_row * 8 + 8, 8);
      lo_[j] = e0;
      step_[j] = e1 - e0;
      inv_[j] = reciprocal_of(step_[j]);
      single_precision(lo_[j], inv_[j], lo_f_[j], inv_f_[j], slack_[j]);
    }
  }
  Columns columns() const noexcept {
    return {lo_.data(), step_.data(), inv_.data(), lo_f_.data(), inv_f_.data(), slack_.data()};
  }

 private:
  std::vector<double> lo_, step_, inv_;
  std::vector<float> lo_f_, inv_f_, slack_;
};

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
// The same rounding in float, exact for |q| < 2^22.
constexpr float kRoundSingle = 12582912.0f;

inline unsigned needs_division(double q) noexcept {
  const double off = std::fabs(q - ((q + kRound) - kRound));
  return static_cast<unsigned>(!(off >= kNear));  // near an integer, or NaN
}

// A NaN or infinite value always lands in the division pass (its product
// is NaN or infinite), so that pass alone tells whether the row was finite:
// the encoder returns false for a row holding such a value.
template <int Tag>
[[gnu::always_inline]] inline bool encode_row_impl(const unsigned char* row, std::int64_t cols, const Columns& c,
                                                   std::uint8_t* out) noexcept {
  unsigned redo = 0;
  for (std::int64_t j = 0; j < cols; ++j) {
    const double q = (static_cast<double>(load_float(row + 4 * j)) - c.lo[j]) * c.inv[j];
    redo |= needs_division(q);
    out[j] = code_of(q);
  }
  if (redo == 0) return true;
  bool finite = true;
  for (std::int64_t j = 0; j < cols; ++j) {
    const double x = static_cast<double>(load_float(row + 4 * j));
    const double q = (x - c.lo[j]) * c.inv[j];
    if (needs_division(q) != 0) {
      finite &= std::isfinite(x);
      out[j] = code_of((x - c.lo[j]) / c.step[j]);
    }
  }
  return finite;
}

// The vector levels, 32 values a step: the float pass above with the slack
// check as a lane mask, the codes clamped and narrowed to bytes; a step with
// any flagged lane is encoded again in double precision, 16 (AVX-512) or 8
// (AVX2) values an instruction: the floats widened, the product by the
// reciprocal, the near-integer check as a lane mask, clamp and truncate as
// code_of does (maxpd returns its second operand, 0, for a NaN); a flagged
// lane there sends those values through the scalar division pass. The tail
// past the last full step takes the double pass.
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

__attribute__((target("avx512f,avx512bw,avx512vl"))) inline bool encode_double_avx512(const unsigned char* row,
                                                                                    std::int64_t cols,
                                                                                    const Columns& c,
                                                                                    std::uint8_t* out) noexcept {
  const __m512d zero = _mm512_setzero_pd(), top = _mm512_set1_pd(255.0);
  __mmask8 redo = 0;
  std::int64_t j = 0;
  for (; j + 16 <= cols; j += 16) {
    const __m512 x = _mm512_loadu_ps(row + 4 * j);
    const __m512d x0 = _mm512_cvtps_pd(_mm512_castps512_ps256(x));
    const __m512d x1 = _mm512_cvtps_pd(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(x), 1)));
    const __m512d q0 = _mm512_mul_pd(_mm512_sub_pd(x0, _mm512_loadu_pd(c.lo + j)), _mm512_loadu_pd(c.inv + j));
    const __m512d q1 =
        _mm512_mul_pd(_mm512_sub_pd(x1, _mm512_loadu_pd(c.lo + j + 8)), _mm512_loadu_pd(c.inv + j + 8));
    redo |= division_lanes_avx512(q0) | division_lanes_avx512(q1);
    const __m256i c0 = _mm512_cvttpd_epi32(_mm512_min_pd(_mm512_max_pd(q0, zero), top));
    const __m256i c1 = _mm512_cvttpd_epi32(_mm512_min_pd(_mm512_max_pd(q1, zero), top));
    const __m512i codes = _mm512_inserti64x4(_mm512_castsi256_si512(c0), c1, 1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + j), _mm512_cvtepi32_epi8(codes));
  }
  const bool head = redo == 0 || encode_row_impl<3>(row, j, c, out);
  return encode_row_impl<3>(row + 4 * j, cols - j, c.from(j), out + j) && head;
}

__attribute__((target("avx512f,avx512bw,avx512vl"))) inline bool encode_row_avx512(const unsigned char* row,
                                                                                 std::int64_t cols, const Columns& c,
                                                                                 std::uint8_t* out) noexcept {
  const __m512 round = _mm512_set1_ps(kRoundSingle), zero = _mm512_setzero_ps(), top = _mm512_set1_ps(255.0f);
  bool finite = true;
  std::int64_t j = 0;
  for (; j + 32 <= cols; j += 32) {
    __mmask16 redo = 0;
    for (std::int64_t k = j; k < j + 32; k += 16) {
      const __m512 x = _mm512_loadu_ps(row + 4 * k);
      const __m512 q = _mm512_mul_ps(_mm512_sub_ps(x, _mm512_loadu_ps(c.lo_f + k)), _mm512_loadu_ps(c.inv_f + k));
      const __m512 off = _mm512_abs_ps(_mm512_sub_ps(q, _mm512_sub_ps(_mm512_add_ps(q, round), round)));
      redo |= _mm512_cmp_ps_mask(off, _mm512_loadu_ps(c.slack + k), _CMP_NGT_UQ);  // near, or NaN
      const __m512i codes = _mm512_cvttps_epi32(_mm512_min_ps(_mm512_max_ps(q, zero), top));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + k), _mm512_cvtepi32_epi8(codes));
    }
    if (redo != 0) finite &= encode_double_avx512(row + 4 * j, 32, c.from(j), out + j);
  }
  return encode_double_avx512(row + 4 * j, cols - j, c.from(j), out + j) && finite;
}

__attribute__((target("avx2"))) inline int division_lanes_avx2(__m256d q) noexcept {
  const __m256d round = _mm256_set1_pd(kRound);
  const __m256d off =
      _mm256_andnot_pd(_mm256_set1_pd(-0.0), _mm256_sub_pd(q, _mm256_sub_pd(_mm256_add_pd(q, round), round)));
  return _mm256_movemask_pd(_mm256_cmp_pd(off, _mm256_set1_pd(kNear), _CMP_NGE_UQ));  // near, or NaN
}

__attribute__((target("avx2"))) inline bool encode_double_avx2(const unsigned char* row, std::int64_t cols,
                                                               const Columns& c, std::uint8_t* out) noexcept {
  const __m256d zero = _mm256_setzero_pd(), top = _mm256_set1_pd(255.0);
  int redo = 0;
  std::int64_t j = 0;
  for (; j + 8 <= cols; j += 8) {
    const __m256 x = _mm256_loadu_ps(reinterpret_cast<const float*>(row + 4 * j));
    const __m256d x0 = _mm256_cvtps_pd(_mm256_castps256_ps128(x));
    const __m256d x1 = _mm256_cvtps_pd(_mm256_extractf128_ps(x, 1));
    const __m256d q0 = _mm256_mul_pd(_mm256_sub_pd(x0, _mm256_loadu_pd(c.lo + j)), _mm256_loadu_pd(c.inv + j));
    const __m256d q1 =
        _mm256_mul_pd(_mm256_sub_pd(x1, _mm256_loadu_pd(c.lo + j + 4)), _mm256_loadu_pd(c.inv + j + 4));
    redo |= division_lanes_avx2(q0) | division_lanes_avx2(q1);
    const __m128i c0 = _mm256_cvttpd_epi32(_mm256_min_pd(_mm256_max_pd(q0, zero), top));
    const __m128i c1 = _mm256_cvttpd_epi32(_mm256_min_pd(_mm256_max_pd(q1, zero), top));
    const __m128i words = _mm_packs_epi32(c0, c1);  // 0..255 fit in int16
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + j), _mm_packus_epi16(words, words));
  }
  const bool head = redo == 0 || encode_row_impl<2>(row, j, c, out);
  return encode_row_impl<2>(row + 4 * j, cols - j, c.from(j), out + j) && head;
}

__attribute__((target("avx2"))) inline bool encode_row_avx2(const unsigned char* row, std::int64_t cols,
                                                            const Columns& c, std::uint8_t* out) noexcept {
  const __m256 round = _mm256_set1_ps(kRoundSingle), sign = _mm256_set1_ps(-0.0f), top = _mm256_set1_ps(255.0f);
  // packs and packus below interleave the four vectors' halves; this puts
  // the 32 codes back in order.
  const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
  bool finite = true;
  std::int64_t j = 0;
  for (; j + 32 <= cols; j += 32) {
    __m256 redo = _mm256_setzero_ps();
    __m256i codes[4];
    for (int v = 0; v < 4; ++v) {
      const std::int64_t k = j + 8 * v;
      const __m256 x = _mm256_loadu_ps(reinterpret_cast<const float*>(row + 4 * k));
      const __m256 q = _mm256_mul_ps(_mm256_sub_ps(x, _mm256_loadu_ps(c.lo_f + k)), _mm256_loadu_ps(c.inv_f + k));
      const __m256 off = _mm256_andnot_ps(sign, _mm256_sub_ps(q, _mm256_sub_ps(_mm256_add_ps(q, round), round)));
      redo = _mm256_or_ps(redo, _mm256_cmp_ps(off, _mm256_loadu_ps(c.slack + k), _CMP_NGT_UQ));  // near, or NaN
      // Quotients above 255 are held there; negative ones (and the
      // conversion's 0x80000000 for those below -2^31) saturate to 0 in
      // the signed-to-unsigned narrowing.
      codes[v] = _mm256_cvttps_epi32(_mm256_min_ps(q, top));
    }
    const __m256i bytes =
        _mm256_packus_epi16(_mm256_packs_epi32(codes[0], codes[1]), _mm256_packs_epi32(codes[2], codes[3]));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + j), _mm256_permutevar8x32_epi32(bytes, order));
    if (_mm256_testz_ps(redo, redo) == 0) finite &= encode_double_avx2(row + 4 * j, 32, c.from(j), out + j);
  }
  return encode_double_avx2(row + 4 * j, cols - j, c.from(j), out + j) && finite;
}
#pragma GCC diagnostic pop
#endif
inline bool encode_row_portable(const unsigned char* row, std::int64_t cols, const Columns& c,
                                std::uint8_t* out) noexcept {
  return encode_row_impl<0>(row, cols, c, out);
}

using EncodeRow = bool (*)(const unsigned char*, std::int64_t, const Columns&, std::uint8_t*) noexcept;

// level: 0 portable, 2 avx2, 3 avx512 (see support/no_python/simd.hpp).
inline EncodeRow encode_row_for(int level) noexcept {
#if defined(__x86_64__) && defined(__GNUC__)
  if (level >= 3) return encode_row_avx512;
  if (level >= 2) return encode_row_avx2;
#endif
  (void)level;
  return encode_row_portable;
}

// Rows [first, last) of a C-contiguous float32 matrix of `rows` rows into
// their codes; false when any of them held a NaN or an infinity. Each row
// is encoded while the next one is prefetched (never past the matrix): the
// processor's own prefetch left the encoder waiting on memory for half its
// time, and reaching further ahead measured no better.
inline bool encode_rows(EncodeRow encode_row, const unsigned char* data, std::int64_t rows, std::int64_t cols,
                        std::int64_t first, std::int64_t last, const Columns& c, std::uint8_t* out) noexcept {
  constexpr std::int64_t kLine = 64;
  const std::int64_t row_bytes = 4 * cols;
  const std::int64_t end = rows * row_bytes;
  bool finite = true;
  for (std::int64_t i = first; i < last; ++i) {
    const std::int64_t from = (i + 1) * row_bytes;
    for (std::int64_t b = from; b < std::min(from + row_bytes, end); b += kLine) __builtin_prefetch(data + b);
    finite &= encode_row(data + i * row_bytes, cols, c, out + i * cols);
  }
  return finite;
}

}  // namespace tx::quantize
