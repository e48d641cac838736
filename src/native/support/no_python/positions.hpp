// Checks and filters over arrays of row positions. No Python here.
#pragma once

#include <omp.h>

#include <cstdint>
#include <vector>

namespace tx {

// True when p[0..n) is strictly ascending and every entry lies in 0..rows-1:
// a shared candidate list that can be scanned as it is.
inline bool is_sorted_distinct_in_range(const std::int64_t* p, std::int64_t n, std::int64_t rows) noexcept {
  for (std::int64_t i = 0; i < n; ++i) {
    if (p[i] < 0 || p[i] >= rows || (i > 0 && p[i] <= p[i - 1])) return false;
  }
  return true;
}

// A set of row positions with O(1) insert and a reset proportional to what
// was inserted; used to skip repeated candidates.
class SeenRows {
 public:
  void resize(std::int64_t rows) { bits_.assign(static_cast<std::size_t>((rows + 63) / 64), 0); }
  // True when `row` was not yet in the set (it is now).
  bool insert(std::int64_t row) noexcept {
    std::uint64_t& w = bits_[static_cast<std::size_t>(row >> 6)];
    const std::uint64_t bit = std::uint64_t{1} << (row & 63);
    const bool fresh = (w & bit) == 0;
    w |= bit;
    return fresh;
  }
  void erase(std::int64_t row) noexcept { bits_[static_cast<std::size_t>(row >> 6)] = 0; }

 private:
  std::vector<std::uint64_t> bits_;
};

// One set per thread of an OpenMP team, each sized for `rows`.
class SeenPerThread {
 public:
  SeenPerThread(int threads, std::int64_t rows) : sets_(static_cast<std::size_t>(threads < 1 ? 1 : threads)) {
    for (SeenRows& s : sets_) s.resize(rows);
  }
  SeenRows& mine() noexcept { return sets_[static_cast<std::size_t>(omp_get_thread_num()) % sets_.size()]; }

 private:
  std::vector<SeenRows> sets_;
};

// The entries of row[0..width) that are positions of 0..rows-1, each once, in
// their first order, into `out` (cleared first). `seen` is sized for `rows`
// and is left empty again, so one set serves a thread's every row.
inline void distinct_in_range(const std::int64_t* row, std::int64_t width, std::int64_t rows, SeenRows& seen,
                              std::vector<std::int64_t>& out) {
  out.clear();
  out.reserve(static_cast<std::size_t>(width));
  for (std::int64_t i = 0; i < width; ++i) {
    const std::int64_t p = row[i];
    if (p >= 0 && p < rows && seen.insert(p)) out.push_back(p);
  }
  for (const std::int64_t p : out) seen.erase(p);
}

}  // namespace tx
