// Numeric helpers of the vector index, free of any Python: the automatic
// shortlist size, the total code variance behind the score scale and the
// check of a loaded edge table.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

namespace tx::vector_index {

// Smaller of the two growth terms of the automatic shortlist size for n rows
// (the caller applies the process-wide cap).
inline double shortlist_terms(std::int64_t n) {
  const double x = static_cast<double>(n);
  const double linear = std::ceil(x / 1.83402489626556 * 0.8);
  const double root = std::ceil(60.0 * std::sqrt(x));
  return linear < root ? linear : root;
}

// numpy's summation of a contiguous float64 vector (pairwise, eight
// accumulators per block, from a zero start), so totals match it to the bit.
inline double pairwise_sum(const double* a, std::int64_t n) {
  if (n < 8) {
    double res = 0.0;
    for (std::int64_t i = 0; i < n; ++i) res += a[i];
    return res;
  }
  if (n <= 128) {
    double r[8];
    for (int j = 0; j < 8; ++j) r[j] = a[j];
    std::int64_t i = 8;
    for (; i < n - (n % 8); i += 8) {
      for (int j = 0; j < 8; ++j) r[j] += a[i + j];
    }
    double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
    for (; i < n; ++i) res += a[i];
    return res;
  }
  std::int64_t half = n / 2;
  half -= half % 8;
  return pairwise_sum(a, half) + pairwise_sum(a + half, n - half);
}

// Sum over columns of the population variance of uint8 codes over the given
// rows (all rows when `sample` is null), computed the way
// `codes[rows].var(axis=0, dtype=float64).sum()` computes it: the mean from
// the column sum, then the squared deviations summed row by row in row
// order (pairwise when there is one column), divided by the count, and the
// columns summed pairwise. Per column,
// the 256 possible squared deviations are tabled once, so no float64 copy
// of the rows is made.
inline double total_code_variance(const std::uint8_t* codes, std::int64_t dim, const std::int64_t* sample,
                                  std::int64_t n) {
  if (n <= 0 || dim <= 0) return 0.0;
  const std::size_t d = static_cast<std::size_t>(dim);
  auto row_of = [&](std::int64_t i) { return codes + (sample ? sample[i] : i) * dim; };
  std::vector<std::int64_t> sum(d, 0);
  for (std::int64_t i = 0; i < n; ++i) {
    const std::uint8_t* row = row_of(i);
    for (std::size_t j = 0; j < d; ++j) sum[j] += row[j];
  }
  std::vector<double> squares(d * 256);
  for (std::size_t j = 0; j < d; ++j) {
    // Column sums of codes are exact in float64, so this is numpy's mean.
    const double mean = static_cast<double>(sum[j]) / static_cast<double>(n);
    for (int v = 0; v < 256; ++v) {
      const double dev = static_cast<double>(v) - mean;
      squares[j * 256 + static_cast<std::size_t>(v)] = dev * dev;
    }
  }
  std::vector<double> acc(d, 0.0);
  if (dim == 1) {
    // A single column is one contiguous run, which numpy sums pairwise.
    std::vector<double> column(static_cast<std::size_t>(n));
    for (std::int64_t i = 0; i < n; ++i) column[static_cast<std::size_t>(i)] = squares[row_of(i)[0]];
    return pairwise_sum(column.data(), n) / static_cast<double>(n);
  }
  for (std::int64_t i = 0; i < n; ++i) {
    const std::uint8_t* row = row_of(i);
    for (std::size_t j = 0; j < d; ++j) acc[j] += squares[j * 256 + row[j]];
  }
  for (std::size_t j = 0; j < d; ++j) acc[j] /= static_cast<double>(n);
  return pairwise_sum(acc.data(), dim);
}

// True when each of the `rows` rows of `cols` edges is finite and never
// descends: the encoder reads a row's first edge and its step, so a reversed
// or non-finite row would code every value of its column wrongly.
inline bool edges_ascending_finite(const double* edges, std::int64_t rows, std::int64_t cols) noexcept {
  for (std::int64_t r = 0; r < rows; ++r) {
    const double* e = edges + r * cols;
    for (std::int64_t j = 0; j < cols; ++j) {
      if (!std::isfinite(e[j]) || (j > 0 && e[j] < e[j - 1])) return false;
    }
  }
  return true;
}

}  // namespace tx::vector_index
