// Array work of the BM25 text index that needs no interpreter: the 0/1 weight
// mask built from candidate positions, and the move of masked hits to the end
// of their rows.
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

// Number of hits in a row: readers stop at the first empty slot.
inline std::int64_t row_hits(const std::int64_t* row, std::int64_t width) noexcept {
  std::int64_t j = 0;
  while (j < width && row[j] >= 0) ++j;
  return j;
}

}  // namespace tx::term_scoring
