// Selection of the k smallest keys of a stream, where a key packs a distance
// (high 32 bits) and a position (low 32 bits): the order of keys is the order
// (distance, position), so ties go to the lower position and the result does
// not depend on how the stream was split or in which order it arrived.
// No Python here.
#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>
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

// The same selection for a stream that arrives in increasing position order
// (the full and subset scans): then a later key never beats an earlier one
// of equal distance, so the limit is a distance alone (accept d < limit),
// and shrinking the buffer is one counting pass instead of a partition.
class AscendingSelector {
 public:
  // max_distance: the largest distance the stream can hold.
  void reset(std::int64_t k, std::uint32_t max_distance) {
    k_ = static_cast<std::size_t>(k < 0 ? 0 : k);
    cap_ = std::max<std::size_t>(2 * k_, k_ + 256);
    buf_.resize(cap_ + kSlack);
    n_ = 0;
    hist_.assign(static_cast<std::size_t>(max_distance) + 1, 0);
    limit_ = k_ == 0 ? 0 : UINT32_MAX;
    guessed_ = false;
  }

  std::int64_t k() const noexcept { return static_cast<std::int64_t>(k_); }

  // Starts with a limit guessed from a sample (accept d <= guess only). The
  // result stays exact when at least k rows pass it; complete() tells, and a
  // scan whose guess was too tight is redone with restart().
  void guess(std::uint32_t max_accepted) noexcept {
    if (k_ > 0 && max_accepted < UINT32_MAX - 1) {
      limit_ = max_accepted + 1;
      guessed_ = true;
    }
  }
  bool complete() const noexcept { return !guessed_ || n_ >= k_; }
  void restart() {
    n_ = 0;
    guessed_ = false;
    limit_ = k_ == 0 ? 0 : UINT32_MAX;
  }

  // Distances above this cannot enter (inclusive): the scans filter with it,
  // so what reaches push() is always kept.
  std::uint32_t distance_limit() const noexcept { return limit_ == 0 ? 0 : limit_ - 1; }

  void push(std::uint32_t distance, std::uint64_t position) {
    if (distance >= limit_) return;
    buf_[n_++] = key(distance, position);
    if (n_ >= cap_) shrink();
  }

  // The lanes of `mask` among 8 consecutive positions from `first`, all
  // within the limit. Written without a branch per lane: the number of lanes
  // that pass is data the branch predictor cannot learn.
  void push8(const std::uint32_t* distance, std::uint64_t first, unsigned mask) {
    std::uint64_t* out = buf_.data() + n_;  // locals: the stores cannot alias them
    std::size_t added = 0;
    for (unsigned l = 0; l < kSlack; ++l) {
      out[added] = key(distance[l], first + l);
      added += (mask >> l) & 1u;
    }
    n_ += added;
    if (n_ >= cap_) shrink();
  }

  // The same with the 8 keys already made; `write` stores the lanes of the
  // mask contiguously (a compress store) and returns how many it stored.
  template <class Write>
  void push_keys(unsigned mask, Write&& write) {
    n_ += write(buf_.data() + n_, mask);
    if (n_ >= cap_) shrink();
  }

  // The kept keys in increasing order: the buffer is in position order, so a
  // stable counting sort by distance finishes it.
  const std::vector<std::uint64_t>& finish() {
    if (n_ > k_) {
      shrink();
    } else {
      count();
    }
    std::size_t start = 0;
    for (std::uint32_t& h : hist_) start += std::exchange(h, static_cast<std::uint32_t>(start));
    sorted_.resize(n_);
    for (std::size_t i = 0; i < n_; ++i) sorted_[hist_[buf_[i] >> 32]++] = buf_[i];
    return sorted_;
  }

 private:
  static constexpr unsigned kSlack = 8;

  // Distances of the buffer per value. Four interleaved tables: runs of one
  // distance would otherwise chain every increment on the one before.
  void count() {
    const std::size_t bins = hist_.size();
    quad_.assign(4 * bins, 0);
    std::uint32_t* h = quad_.data();
    const std::uint64_t* b = buf_.data();
    std::size_t i = 0;
    for (; i + 4 <= n_; i += 4) {
      ++h[b[i] >> 32];
      ++h[bins + (b[i + 1] >> 32)];
      ++h[2 * bins + (b[i + 2] >> 32)];
      ++h[3 * bins + (b[i + 3] >> 32)];
    }
    for (; i < n_; ++i) ++h[b[i] >> 32];
    for (std::size_t d = 0; d < bins; ++d) hist_[d] = h[d] + h[bins + d] + h[2 * bins + d] + h[3 * bins + d];
  }

  // Keeps the k best: every key below the k-th distance t, and of those at t
  // the earliest (lowest positions). Afterwards only distances below t enter.
  void shrink() {
    count();
    std::size_t below = 0;
    std::uint32_t t = 0;
    while (below + hist_[t] < k_) below += hist_[t++];
    const std::size_t room_at_t = k_ - below;
    std::uint64_t* b = buf_.data();
    const std::size_t n = n_;
    // The last tie that still fits, then a branch-free filter whose only
    // carried dependency is the output count.
    std::size_t cut = 0, ties = 0;
    for (; cut < n; ++cut) {
      ties += (b[cut] >> 32) == t;
      if (ties == room_at_t) break;
    }
    std::size_t out = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint64_t kv = b[i];
      const std::uint32_t d = static_cast<std::uint32_t>(kv >> 32);
      b[out] = kv;
      out += static_cast<std::size_t>(d < t) | (static_cast<std::size_t>(d == t) & static_cast<std::size_t>(i <= cut));
    }
    n_ = out;
    hist_[t] = static_cast<std::uint32_t>(room_at_t);
    std::fill(hist_.begin() + t + 1, hist_.end(), 0);
    limit_ = t;
  }

  std::size_t k_ = 0, cap_ = 0, n_ = 0;
  std::uint32_t limit_ = 0;
  bool guessed_ = false;
  std::vector<std::uint64_t> buf_, sorted_;
  std::vector<std::uint32_t> hist_, quad_;
};

}  // namespace tx::topk
