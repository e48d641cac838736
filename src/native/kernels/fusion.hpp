// Weighted reciprocal-rank fusion: every ranked list adds w / (k + rank + 1)
// to each id it holds (rank from 0), and ids come out by falling total.
//
// Two flavours share one scratch area:
//   merge_lists   the plain fusion of two lists, bit for bit what the
//                 reference accumulation gives: every occurrence of an id
//                 counts at its own rank, contributions are added in list
//                 order, and equal totals keep the order of first appearance.
//   fuse_shards   the hybrid fusion of per-shard text and vector hits: each
//                 side is ranked over all shards first and counts an id once
//                 (at its best place), and equal totals go to the lower
//                 global position.
// No Python here.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace tx::fusion {

// The divisor k + rank + 1 as the nearest double, as the interpreter turns
// the integer into a float before dividing; exact below 2**53.
inline double rank_divisor(std::int64_t k, std::int64_t rank) noexcept {
  if (k < (std::int64_t{1} << 62)) return static_cast<double>(k + rank + 1);
  return static_cast<double>(static_cast<__int128>(k) + rank + 1);
}

// Dense slot numbers for ids: an open-addressing table, emptied in O(1)
// between rows by a generation stamp.
class IdSlots {
 public:
  // Makes room for `n` distinct ids and forgets every id held.
  void reset(std::size_t n) {
    std::size_t bits = 4;
    while ((std::size_t{1} << bits) < 2 * n + 1) ++bits;
    const std::size_t capacity = std::size_t{1} << bits;
    if (capacity > keys_.size()) {
      keys_.assign(capacity, 0);
      slots_.assign(capacity, 0);
      stamps_.assign(capacity, 0);
      stamp_ = 0;
    }
    if (++stamp_ == 0) {
      std::fill(stamps_.begin(), stamps_.end(), 0u);
      stamp_ = 1;
    }
    shift_ = 64 - static_cast<int>(bits);
    mask_ = capacity - 1;
    size_ = 0;
  }

  // The slot of `id`; a new id gets the next free slot and sets `fresh`.
  std::uint32_t find_or_insert(std::int64_t id, bool& fresh) noexcept {
    std::size_t i = static_cast<std::size_t>((static_cast<std::uint64_t>(id) * 0x9E3779B97F4A7C15ull) >> shift_);
    while (stamps_[i] == stamp_) {
      if (keys_[i] == id) {
        fresh = false;
        return slots_[i];
      }
      i = (i + 1) & mask_;
    }
    stamps_[i] = stamp_;
    keys_[i] = id;
    slots_[i] = size_;
    fresh = true;
    return size_++;
  }

 private:
  std::vector<std::int64_t> keys_;
  std::vector<std::uint32_t> slots_;
  std::vector<std::uint32_t> stamps_;
  std::uint32_t stamp_ = 0;
  std::uint32_t size_ = 0;
  int shift_ = 60;
  std::size_t mask_ = 15;
};

// One sortable hit of one side: ascending key, then ascending position.
struct Hit {
  std::uint64_t key;
  std::int64_t position;
  friend bool operator<(const Hit& a, const Hit& b) noexcept {
    return a.key != b.key ? a.key < b.key : a.position < b.position;
  }
};

// Order-preserving maps from floats to unsigned keys. Zeros of either sign
// are one key; NaN sorts after everything.
inline std::uint64_t ascending_key(float v) noexcept {
  if (std::isnan(v)) return UINT32_MAX;
  if (v == 0.0f) v = 0.0f;
  const std::uint32_t bits = std::bit_cast<std::uint32_t>(v);
  return (bits & 0x80000000u) ? ~bits : (bits | 0x80000000u);
}
inline std::uint64_t descending_key(double v) noexcept {
  if (std::isnan(v)) return UINT64_MAX;
  if (v == 0.0) v = 0.0;
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(v);
  const std::uint64_t up = (bits & 0x8000000000000000ull) ? ~bits : (bits | 0x8000000000000000ull);
  return ~up;  // at most ~key(-inf), below UINT64_MAX, which NaN takes
}

// How the text side orders hits from different shards.
enum class TextRank {
  score,       // by BM25 score over all shards, then position
  interleave,  // by each shard's own rank, then position
};

struct Weights {
  std::int64_t k = 0;       // the rank constant
  double first = 1.0;       // weight of the first list (text)
  double second = 1.0;      // weight of the second list (vectors)
};

// Per-thread working memory, reused from row to row.
class Scratch {
 public:
  // Fuses two ranked lists as the reference accumulation does. With
  // `skip_negative`, negative entries are empty slots: they are dropped
  // before ranks are counted.
  void merge_lists(const std::int64_t* a, std::int64_t na, const std::int64_t* b, std::int64_t nb,
                   const Weights& w, bool skip_negative, std::int64_t top_k, std::int64_t* out_ids,
                   double* out_scores) {
    slots_.reset(static_cast<std::size_t>(na + nb));
    ids_.clear();
    totals_.clear();
    add_list(a, na, w.first, w.k, skip_negative);
    add_list(b, nb, w.second, w.k, skip_negative);
    const std::size_t m = ids_.size();
    order_.resize(m);
    for (std::size_t i = 0; i < m; ++i) order_[i] = static_cast<std::uint32_t>(i);
    // Slots number ids by first appearance, so the slot breaks ties.
    const double* totals = totals_.data();
    auto better = [totals](std::uint32_t x, std::uint32_t y) {
      return totals[x] > totals[y] || (totals[x] == totals[y] && x < y);
    };
    const std::size_t n = select(better, top_k);
    for (std::size_t i = 0; i < n; ++i) {
      out_ids[i] = ids_[order_[i]];
      out_scores[i] = totals_[order_[i]];
    }
    pad(out_ids, out_scores, n, top_k);
  }

  // Fuses the hits of S shards for one query. `vpos[s]`, `vdist[s]` point at
  // shard s's vector row (V entries), `tpos[s]`, `tscore[s]` at its text row
  // (T entries); positions are local to the shard and negative ones are
  // empty slots. Throws std::overflow_error if offset + local position does
  // not fit in 64 bits.
  void fuse_shards(std::int64_t S, const std::int64_t* const* vpos, const float* const* vdist, std::int64_t V,
                   const std::int64_t* const* tpos, const double* const* tscore, std::int64_t T,
                   const std::int64_t* offsets, const Weights& w, TextRank text_rank, std::int64_t top_k,
                   std::int64_t* out_ids, double* out_scores) {
    slots_.reset(static_cast<std::size_t>(S * (V + T)));
    ids_.clear();
    totals_.clear();
    sides_.clear();

    hits_.clear();
    for (std::int64_t s = 0; s < S; ++s) {
      std::uint64_t local_rank = 0;
      for (std::int64_t j = 0; j < T; ++j) {
        const std::int64_t p = tpos[s][j];
        if (p < 0) continue;
        const std::uint64_t key = text_rank == TextRank::score ? descending_key(tscore[s][j]) : local_rank;
        ++local_rank;
        hits_.push_back({key, global(offsets[s], p)});
      }
    }
    add_side(w.first, w.k, 1);

    hits_.clear();
    for (std::int64_t s = 0; s < S; ++s) {
      for (std::int64_t j = 0; j < V; ++j) {
        const std::int64_t p = vpos[s][j];
        if (p < 0) continue;
        hits_.push_back({ascending_key(vdist[s][j]), global(offsets[s], p)});
      }
    }
    add_side(w.second, w.k, 2);

    const std::size_t m = ids_.size();
    order_.resize(m);
    for (std::size_t i = 0; i < m; ++i) order_[i] = static_cast<std::uint32_t>(i);
    const double* totals = totals_.data();
    const std::int64_t* ids = ids_.data();
    auto better = [totals, ids](std::uint32_t x, std::uint32_t y) {
      return totals[x] > totals[y] || (totals[x] == totals[y] && ids[x] < ids[y]);
    };
    const std::size_t n = select(better, top_k);
    for (std::size_t i = 0; i < n; ++i) {
      out_ids[i] = ids_[order_[i]];
      out_scores[i] = totals_[order_[i]];
    }
    pad(out_ids, out_scores, n, top_k);
  }

 private:
  static std::int64_t global(std::int64_t offset, std::int64_t local) {
    std::int64_t g;
    if (__builtin_add_overflow(offset, local, &g)) {
      throw std::overflow_error("shard offset plus local position does not fit in a 64-bit position");
    }
    return g;
  }

  std::uint32_t slot_of(std::int64_t id) {
    bool fresh;
    const std::uint32_t slot = slots_.find_or_insert(id, fresh);
    if (fresh) {
      ids_.push_back(id);
      totals_.push_back(0.0);
      sides_.push_back(0);
    }
    return slot;
  }

  void add_list(const std::int64_t* ids, std::int64_t n, double weight, std::int64_t k, bool skip_negative) {
    std::int64_t rank = 0;
    for (std::int64_t i = 0; i < n; ++i) {
      const std::int64_t id = ids[i];
      if (skip_negative && id < 0) continue;
      bool fresh;
      const std::uint32_t slot = slots_.find_or_insert(id, fresh);
      if (fresh) {
        ids_.push_back(id);
        totals_.push_back(0.0);
      }
      totals_[slot] = totals_[slot] + weight / rank_divisor(k, rank);
      ++rank;
    }
  }

  // Ranks hits_ (sorted here) with each position counted once, at its first
  // place, and adds the side's contribution to its total.
  void add_side(double weight, std::int64_t k, std::uint8_t side) {
    std::sort(hits_.begin(), hits_.end());
    std::int64_t rank = 0;
    for (const Hit& h : hits_) {
      const std::uint32_t slot = slot_of(h.position);
      if (sides_[slot] & side) continue;
      sides_[slot] |= side;
      totals_[slot] = totals_[slot] + weight / rank_divisor(k, rank);
      ++rank;
    }
  }

  // Puts the best min(top_k, m) slots at the front of order_, best first.
  template <class Better>
  std::size_t select(Better better, std::int64_t top_k) {
    const std::size_t m = order_.size();
    const std::size_t n = std::min<std::size_t>(m, static_cast<std::size_t>(top_k));
    if (n < m) {
      std::partial_sort(order_.begin(), order_.begin() + static_cast<std::ptrdiff_t>(n), order_.end(), better);
    } else {
      std::sort(order_.begin(), order_.end(), better);
    }
    return n;
  }

  static void pad(std::int64_t* out_ids, double* out_scores, std::size_t n, std::int64_t top_k) {
    std::fill(out_ids + n, out_ids + top_k, std::int64_t{-1});
    std::fill(out_scores + n, out_scores + top_k, 0.0);
  }

  IdSlots slots_;
  std::vector<std::int64_t> ids_;
  std::vector<double> totals_;
  std::vector<std::uint8_t> sides_;
  std::vector<std::uint32_t> order_;
  std::vector<Hit> hits_;
};

}  // namespace tx::fusion
