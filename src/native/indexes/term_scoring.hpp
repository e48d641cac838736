// Array work of the BM25 text index that needs no interpreter: the 0/1 weight
// mask built from candidate positions, the move of masked hits to the end of
// their rows, and the scans that check a loaded score matrix.
#pragma once

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace tx::term_scoring {

// Marks every candidate p with 0 <= p < n in `marks`, which holds n + 1
// zeroed bytes. Any other value (negative, or n and above) is no position of
// this index and lands in the spare byte marks[n]; duplicates are harmless.
// Branch-free, because candidate lists often mix positions of this index
// with others (a global list split over shards) in no predictable pattern.
inline void mark_candidates(std::uint8_t* marks, std::int64_t n, const std::int64_t* candidates,
                            std::int64_t count) noexcept {
  const auto limit = static_cast<std::uint64_t>(n);
  for (std::int64_t i = 0; i < count; ++i) {
    const auto p = static_cast<std::uint64_t>(candidates[i]);  // negative values wrap above limit
    marks[std::min(p, limit)] = 1;
  }
}

// The 0/1 weight mask of n entries from the marks.
template <class T>
void weights_from_marks(T* mask, const std::uint8_t* marks, std::int64_t n) noexcept {
  for (std::int64_t i = 0; i < n; ++i) mask[i] = static_cast<T>(marks[i]);
}

// Within each of `rows` rows of `width` hits, keeps the hits whose mask entry
// is not zero in their order at the front and turns every other slot into an
// empty one (-1, score 0.0) behind them: the stable order that sorting the
// "masked" flags would give. Returns whether any hit was masked. A position
// outside the mask would be a hit on no document of this index.
template <class M>
bool move_masked_to_row_end(std::int64_t* positions, double* scores, std::int64_t rows, std::int64_t width,
                            const M* mask, std::int64_t mask_length) {
  bool any_masked = false;
  for (std::int64_t r = 0; r < rows; ++r) {
    std::int64_t* pos = positions + r * width;
    double* sc = scores + r * width;
    std::int64_t kept = 0;
    for (std::int64_t j = 0; j < width; ++j) {
      const std::int64_t p = pos[j];
      if (p < 0 || p >= mask_length) {
        throw std::out_of_range("bm25s returned the position " + std::to_string(p) + ", outside the " +
                                std::to_string(mask_length) + " documents of the index");
      }
      if (mask[p] == M(0)) {
        any_masked = true;
        continue;
      }
      pos[kept] = p;
      sc[kept] = sc[j];
      ++kept;
    }
    for (std::int64_t j = kept; j < width; ++j) {
      pos[j] = -1;
      sc[j] = 0.0;
    }
  }
  return any_masked;
}

// ---- checks of a loaded score matrix ----------------------------------------
// bm25s's numba kernel indexes its arrays without bounds checks, so a model
// read from disk is scanned before any search may use it. The scans test a
// block at a time without branching and look for the exact place only in a
// block that failed, which keeps the common (valid) case vectorisable.

inline constexpr std::int64_t kScanBlock = 4096;

// Position of the first of `count` values outside [0, limit), or -1; limit >= 0.
template <class T>
std::int64_t first_outside(const T* values, std::int64_t count, std::int64_t limit) noexcept {
  const auto bound = static_cast<std::uint64_t>(limit);
  // Negative values wrap above any bound.
  auto outside = [&](std::int64_t i) {
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(values[i])) >= bound;
  };
  for (std::int64_t start = 0; start < count; start += kScanBlock) {
    const std::int64_t stop = std::min(count, start + kScanBlock);
    bool any = false;
    for (std::int64_t i = start; i < stop; ++i) any |= outside(i);
    if (!any) continue;
    for (std::int64_t i = start; i < stop; ++i) {
      if (outside(i)) return i;
    }
  }
  return -1;
}

// Position i of the first value below values[i - 1], or -1.
template <class T>
std::int64_t first_decrease(const T* values, std::int64_t count) noexcept {
  for (std::int64_t start = 1; start < count; start += kScanBlock) {
    const std::int64_t stop = std::min(count, start + kScanBlock);
    bool any = false;
    for (std::int64_t i = start; i < stop; ++i) any |= values[i] < values[i - 1];
    if (!any) continue;
    for (std::int64_t i = start; i < stop; ++i) {
      if (values[i] < values[i - 1]) return i;
    }
  }
  return -1;
}

}  // namespace tx::term_scoring
