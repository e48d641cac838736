// Numeric helpers of the vector index, free of any Python: the automatic
// shortlist size and the total code variance behind the score scale.
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

// Sum over columns of the population variance of uint8 codes, over the given
// rows (all rows when `sample` is null). Sums are exact integers, so the only
// rounding is one division per column; the result matches a float64 variance
// to the last few bits whatever the row order.
inline double total_code_variance(const std::uint8_t* codes, std::int64_t dim, const std::int64_t* sample,
                                  std::int64_t n) {
  if (n <= 0 || dim <= 0) return 0.0;
  std::vector<std::int64_t> sum(static_cast<std::size_t>(dim), 0), sumsq(static_cast<std::size_t>(dim), 0);
  for (std::int64_t i = 0; i < n; ++i) {
    const std::uint8_t* row = codes + (sample ? sample[i] : i) * dim;
    for (std::int64_t j = 0; j < dim; ++j) {
      const std::int64_t v = row[j];
      sum[j] += v;
      sumsq[j] += v * v;
    }
  }
  // n * sumsq and sum^2 stay below 2^63 for n up to about 10^8 rows.
  const double n2 = static_cast<double>(n) * static_cast<double>(n);
  double total = 0.0;
  for (std::int64_t j = 0; j < dim; ++j) {
    const std::int64_t numerator = n * sumsq[j] - sum[j] * sum[j];
    total += static_cast<double>(numerator) / n2;
  }
  return total;
}

}  // namespace tx::vector_index
