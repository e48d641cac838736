// Selection of the k smallest keys of a stream, where a key packs a distance
// (high 32 bits) and a position (low 32 bits): the order of keys is the order
// (distance, position), so ties go to the lower position and the result does
// not depend on how the stream was split or in which order it arrived.
// No Python here.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace tx::topk {

inline std::uint64_t key(std::uint32_t distance, std::uint64_t position) noexcept {
  return (static_cast<std::uint64_t>(distance) << 32) | position;
}
inline std::int64_t position_of(std::uint64_t key) noexcept { return static_cast<std::int64_t>(key & 0xffffffffu); }
inline std::int32_t distance_of(std::uint64_t key) noexcept { return static_cast<std::int32_t>(key >> 32); }

// Keeps every key below a falling limit; when the buffer fills, keeps the k
// best and lowers the limit to the k-th of them. A counting pass would suit a
// few distinct distances better, but this works for any key and k in one pass.
class Selector {
 public:
  void reset(std::int64_t k) {
    k_ = static_cast<std::size_t>(k < 0 ? 0 : k);
    cap_ = std::max<std::size_t>(2 * k_, k_ + 256);
    buf_.clear();
    buf_.reserve(cap_);
    limit_ = k_ == 0 ? 0 : UINT64_MAX;
  }

  // Distances above this cannot enter; a cheap filter before push().
  std::uint32_t distance_limit() const noexcept { return static_cast<std::uint32_t>(limit_ >> 32); }

  void push(std::uint64_t k) {
    if (k >= limit_) return;
    buf_.push_back(k);
    if (buf_.size() >= cap_) compact();
  }

  // The kept keys in increasing order (at most k of them).
  const std::vector<std::uint64_t>& finish() {
    if (buf_.size() > k_) compact();
    std::sort(buf_.begin(), buf_.end());
    return buf_;
  }

 private:
  void compact() {
    std::nth_element(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(k_ - 1), buf_.end());
    limit_ = buf_[k_ - 1];
    buf_.resize(k_);
  }

  std::size_t k_ = 0, cap_ = 0;
  std::uint64_t limit_ = 0;
  std::vector<std::uint64_t> buf_;
};

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

}  // namespace tx::topk
