// Query-axis batching arithmetic, free of any Python: the thread count of one
// search call and the width of its automatic query chunks.
#pragma once

#include <algorithm>
#include <cstdint>

namespace tx::batching {

// Threads for one search call: one unless parallel with several queries, and
// never more than the OpenMP team or the number of queries.
inline std::int64_t thread_count(bool parallel, std::int64_t n_queries, int omp_max_threads) {
  if (!parallel || n_queries <= 1) return 1;
  return std::min<std::int64_t>(n_queries, std::max(omp_max_threads, 1));
}

// Width of automatic chunks for n_queries > 0: the budget bounds a chunk's
// scratch bytes, floored at one query per thread and at min_batch queries,
// then re-balanced so the same number of chunks comes out as even as whole
// widths allow.
inline std::int64_t auto_width(std::int64_t n_queries, std::int64_t budget, std::int64_t bytes_per_query,
                               std::int64_t num_threads, std::int64_t min_batch) {
  std::int64_t width = budget / std::max<std::int64_t>(bytes_per_query, 1);
  width = std::max(width, num_threads);
  width = std::max(width, min_batch);
  width = std::min(width, n_queries);
  width = std::max<std::int64_t>(width, 1);
  // ceil divisions written so that no sum can overflow near INT64_MAX
  const std::int64_t chunks = (n_queries - 1) / width + 1;
  return (n_queries - 1) / chunks + 1;
}

}  // namespace tx::batching
