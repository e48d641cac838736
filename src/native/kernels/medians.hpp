// Per-column medians of a row-major float32 matrix, the fit values of the
// binary codes. No Python here.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "kernels/hamming.hpp"
#include "support/no_python/team.hpp"

namespace tx::hamming {

// out[j] = median of column j of the n x dim matrix `data`. Columns are
// copied out sixteen at a time (one cache line of a row per gather) and each
// group is one task on the team.
inline void column_medians(const float* data, std::int64_t n, std::int64_t dim, float* out, int threads) {
  constexpr std::int64_t kCols = 16;
  const std::int64_t chunks = (dim + kCols - 1) / kCols;
  tx::parallel_for(chunks, threads, [&](std::int64_t c) {
    const std::int64_t c0 = c * kCols, width = std::min(kCols, dim - c0);
    std::vector<float> cols(static_cast<std::size_t>(width * n));
    for (std::int64_t r = 0; r < n; ++r) {
      for (std::int64_t j = 0; j < width; ++j) cols[j * n + r] = data[r * dim + c0 + j];
    }
    for (std::int64_t j = 0; j < width; ++j) out[c0 + j] = median(cols.data() + j * n, n);
  });
}

}  // namespace tx::hamming
