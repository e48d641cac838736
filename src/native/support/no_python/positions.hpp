// Checks and filters over arrays of row positions. No Python here.
#pragma once

#include <omp.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <queue>
#include <utility>
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

// A run of sorted, distinct positions held elsewhere.
struct PositionSpan {
  const std::int64_t* data = nullptr;
  std::size_t size = 0;
};

// The union of sorted, distinct runs into `out`, which has room for the sum
// of their sizes; returns how many positions it wrote, ascending and
// distinct. One run is a copy. Runs over a span of positions not much wider
// than their sum (positions are dense) are marked in a bitmap and read back
// in order, each position touched twice whatever the number of runs, which
// beats even a merge of two (its every step waits on the one before) while
// the bitmap is small. Other pairs of runs are merged, more go through a
// heap.
inline std::size_t union_sorted(const std::vector<PositionSpan>& runs, std::int64_t* out) {
  std::vector<PositionSpan> live;
  std::size_t total = 0;
  for (const PositionSpan& r : runs) {
    if (r.size == 0) continue;
    live.push_back(r);
    total += r.size;
  }
  if (live.empty()) return 0;
  if (live.size() == 1) {
    std::memcpy(out, live[0].data, live[0].size * sizeof(std::int64_t));
    return live[0].size;
  }
  std::int64_t lo = live[0].data[0];
  std::int64_t hi = live[0].data[live[0].size - 1];
  for (const PositionSpan& r : live) {
    lo = std::min(lo, r.data[0]);
    hi = std::max(hi, r.data[r.size - 1]);
  }
  const auto width = static_cast<std::uint64_t>(hi) - static_cast<std::uint64_t>(lo);
  std::size_t n = 0;
  const bool dense = width / 64 <= total;
  // Two runs go through the bitmap only while it stays in the nearest
  // cache; past that, reading it back costs more than a merge.
  constexpr std::uint64_t kNearBitmapWords = 4096;
  const bool two_by_merge = live.size() == 2 && !(dense && width / 64 <= kNearBitmapWords);
  // Positions of 0..2^62, as every store's are: differences of two of
  // them cannot overflow.
  constexpr std::int64_t kSafe = std::int64_t{1} << 62;
  const auto safe = [&](const PositionSpan& r) { return r.data[0] >= 0 && r.data[r.size - 1] < kSafe; };
  if (two_by_merge && safe(live[0]) && safe(live[1])) {
    // Without branches on the values: two roles' grants interleave at
    // random, so a branch would miss about every other step.
    const std::int64_t* a = live[0].data;
    const std::int64_t* b = live[1].data;
    const std::size_t na = live[0].size;
    const std::size_t nb = live[1].size;
    std::size_t i = 0, j = 0;
    while (i < na && j < nb) {
      const std::int64_t x = a[i];
      const std::int64_t y = b[j];
      // Steps as 0 or 1 from the signs of the differences: no compare
      // the compiler could turn back into a branch.
      const auto lt = static_cast<std::uint64_t>(x - y) >> 63;  // x < y
      const auto gt = static_cast<std::uint64_t>(y - x) >> 63;  // x > y
      out[n++] = x ^ ((x ^ y) & -static_cast<std::int64_t>(gt));
      i += 1 - gt;
      j += 1 - lt;
    }
    std::memcpy(out + n, a + i, (na - i) * sizeof(std::int64_t));
    n += na - i;
    std::memcpy(out + n, b + j, (nb - j) * sizeof(std::int64_t));
    return n + (nb - j);
  }
  if (two_by_merge) {
    const PositionSpan& a = live[0];
    const PositionSpan& b = live[1];
    return static_cast<std::size_t>(std::set_union(a.data, a.data + a.size, b.data, b.data + b.size, out) - out);
  }
  if (dense) {
    std::vector<std::uint64_t> bits(static_cast<std::size_t>(width / 64 + 1), 0);
    for (const PositionSpan& r : live) {
      for (std::size_t i = 0; i < r.size; ++i) {
        const auto at = static_cast<std::uint64_t>(r.data[i]) - static_cast<std::uint64_t>(lo);
        bits[static_cast<std::size_t>(at >> 6)] |= std::uint64_t{1} << (at & 63);
      }
    }
    for (std::size_t w = 0; w < bits.size(); ++w) {
      for (std::uint64_t word = bits[w]; word != 0; word &= word - 1) {
        const auto at = (static_cast<std::uint64_t>(w) << 6) + static_cast<std::uint64_t>(__builtin_ctzll(word));
        out[n++] = static_cast<std::int64_t>(static_cast<std::uint64_t>(lo) + at);
      }
    }
    return n;
  }
  // (next value, run index), smallest value on top.
  using Head = std::pair<std::int64_t, std::size_t>;
  std::priority_queue<Head, std::vector<Head>, std::greater<Head>> heads;
  std::vector<std::size_t> at(live.size(), 0);
  for (std::size_t i = 0; i < live.size(); ++i) heads.emplace(live[i].data[0], i);
  while (!heads.empty()) {
    const auto [value, i] = heads.top();
    heads.pop();
    if (n == 0 || out[n - 1] != value) out[n++] = value;
    if (++at[i] < live[i].size) heads.emplace(live[i].data[at[i]], i);
  }
  return n;
}

// The positions of `a` that are also in `b` (both sorted and distinct) into
// `out`, which has room for `a`; returns how many it wrote.
inline std::size_t intersect_sorted(PositionSpan a, PositionSpan b, std::int64_t* out) {
  return static_cast<std::size_t>(std::set_intersection(a.data, a.data + a.size, b.data, b.data + b.size, out) - out);
}

}  // namespace tx
