// Depth prediction over a tuned grid model: where a query falls on each log
// axis, the interpolated marginal-value curve, the depth the price still pays
// for, the deep end, the clamps, the expected recall and the vector depth.
//
// No Python here: the glue snapshots a model into `Model` (raw pointers into
// buffers it keeps alive) and runs `predict_depths` without the interpreter
// lock. Every index read is bounded by the array lengths whatever the array
// values are (a caller may still write into an array it shared with the
// model), and no NaN is ever converted to an integer.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

namespace tx::depth {

// Divisor that maps a uint16 code onto its [low, high] range.
inline constexpr double kU16Scale = 65535.0;
// Least miss rate (1 - recall) whose logarithm is taken.
inline constexpr double kMissFloor = 1e-9;

// The one logarithm used for the axis nodes and for every query value, so a
// query exactly on a node lands on it with a one-node bracket.
inline double ln(double x) noexcept { return std::log(x); }

// Rounds half to even and saturates to the int64 range. NaN only comes from a
// model whose arrays were changed after it was checked; it is taken as an
// unbounded depth, like +infinity.
inline std::int64_t round_saturated(double r) noexcept {
  constexpr double kTwo63 = 9223372036854775808.0;
  if (std::isnan(r) || r >= kTwo63) return std::numeric_limits<std::int64_t>::max();
  if (r < -kTwo63) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(std::nearbyint(r));  // default mode: nearest, ties to even
}

template <class T, int NDim>
struct Span {
  const T* data = nullptr;
  std::array<std::int64_t, NDim> shape{};
  std::int64_t size() const noexcept {
    std::int64_t n = 1;
    for (std::int64_t d : shape) n *= d;
    return n;
  }
};

struct Model {
  Span<std::int64_t, 1> cutoff, depth;
  Span<double, 1> log_corpus, log_cutoff, log_depth;
  Span<std::uint16_t, 3> recall;
  double recall_low = 0, recall_high = 0;
  Span<float, 2> recall_at_deep_end, recall_at_cutoff;
  Span<std::int64_t, 1> recall_needs_corpus;
  Span<std::uint16_t, 3> log_value;
  double log_value_low = 0, log_value_high = 0;
  Span<double, 1> log_deepest_depth;
  Span<std::int64_t, 1> vector_k;
  Span<double, 1> prices;

  std::int64_t C() const noexcept { return log_corpus.shape[0]; }
  std::int64_t K() const noexcept { return log_cutoff.shape[0]; }
  std::int64_t D() const noexcept { return log_depth.shape[0]; }
};

// Where one value falls on one log axis: one node with weight 1, or two nodes
// with weights 1 - t and t (t unclamped: beyond the ends it extrapolates).
struct Bracket {
  int count = 1;
  std::int64_t node[2] = {0, 0};
  double weight[2] = {1.0, 0.0};
};

// Needs L >= 2.
inline Bracket bracket(double v, const double* x, std::int64_t L) noexcept {
  std::int64_t lo = 0, hi = L;
  while (lo < hi) {
    const std::int64_t mid = lo + (hi - lo) / 2;
    if (v > x[mid]) lo = mid + 1; else hi = mid;
  }
  const std::int64_t i = lo < 1 ? 1 : (lo < L - 1 ? lo : L - 1);
  Bracket b;
  const double d = x[i] - x[i - 1];
  if (d == 0) {
    b.node[0] = i - 1;
    return b;
  }
  const double t = (v - x[i - 1]) / d;
  if (t == 0) {
    b.node[0] = i - 1;
  } else if (t == 1) {
    b.node[0] = i;
  } else {
    b.count = 2;
    b.node[0] = i - 1;
    b.node[1] = i;
    b.weight[0] = 1 - t;
    b.weight[1] = t;
  }
  return b;
}

// numpy.interp(v, xs, ys) over m >= 1 entries, xs ascending.
inline double interp(double v, const double* xs, const double* ys, std::int64_t m) noexcept {
  if (v < xs[0]) return ys[0];
  if (v > xs[m - 1]) return ys[m - 1];
  std::int64_t lo = 0, hi = m;
  while (lo < hi) {
    const std::int64_t mid = lo + (hi - lo) / 2;
    if (v >= xs[mid]) lo = mid + 1; else hi = mid;
  }
  const std::int64_t j = lo;
  if (j == 0) return ys[0];  // only with NaN in xs: never read before the table
  if (j == m || xs[j - 1] == v) return ys[j - 1];
  const double slope = (ys[j] - ys[j - 1]) / (xs[j] - xs[j - 1]);
  double r = (v - xs[j - 1]) * slope + ys[j - 1];
  if (std::isnan(r)) {
    r = (v - xs[j]) * slope + ys[j];
    if (std::isnan(r) && ys[j - 1] == ys[j]) r = ys[j - 1];
  }
  return r;
}

enum Clamp : int { kFromCurve = 0, kDeepEnd = 1, kCutoff = 2 };

// The depth where one more text candidate stops buying `price` of recall:
// the node at the peak when even the peak is not worth it, +infinity when
// even the deepest node still is. `scratch` holds 3 * D doubles.
inline double depth_worth_paying_for(const Model& m, const Bracket& cb, const Bracket& qb, double price,
                                     double* scratch) noexcept {
  const std::int64_t K = m.K(), D = m.D();
  double* curve = scratch;
  double* xs = scratch + D;
  double* ys = scratch + 2 * D;
  for (std::int64_t l = 0; l < D; ++l) curve[l] = 0;
  for (int a = 0; a < cb.count; ++a) {
    for (int b = 0; b < qb.count; ++b) {
      const double w = cb.weight[a] * qb.weight[b];
      const std::uint16_t* codes = m.log_value.data + (cb.node[a] * K + qb.node[b]) * D;
      for (std::int64_t l = 0; l < D; ++l) curve[l] += static_cast<double>(codes[l]) * w;
    }
  }
  const double scale = (m.log_value_high - m.log_value_low) / kU16Scale;
  for (std::int64_t l = 0; l < D; ++l) curve[l] = curve[l] * scale + m.log_value_low;
  std::int64_t e = 0;
  for (std::int64_t l = 1; l < D; ++l) {
    if (curve[l] > curve[e]) e = l;
  }
  const double y = ln(price);
  if (y >= curve[e]) return static_cast<double>(m.depth.data[e]);
  if (curve[D - 1] >= y) return std::numeric_limits<double>::infinity();
  // The tail from the deepest node back to the peak ascends when the curve
  // falls after its peak; ln(depth) is linear in ln(value) between nodes.
  const std::int64_t tail = D - e;
  for (std::int64_t i = 0; i < tail; ++i) {
    xs[i] = curve[D - 1 - i];
    ys[i] = m.log_depth.data[D - 1 - i];
  }
  return std::exp(interp(y, xs, ys, tail));
}

// The deep end, interpolated geometrically along the corpus axis.
inline std::int64_t deep_end(const Model& m, const Bracket& cb) noexcept {
  double s = 0;
  for (int a = 0; a < cb.count; ++a) s += m.log_deepest_depth.data[cb.node[a]] * cb.weight[a];
  return round_saturated(std::exp(s));
}

inline std::int64_t text_k_for(const Model& m, const Bracket& cb, const Bracket& qb, std::int64_t k, double price,
                               int& clamp, double* scratch) noexcept {
  const double x = depth_worth_paying_for(m, cb, qb, price, scratch);
  const std::int64_t deep = deep_end(m, cb);
  // A NaN depth (arrays changed after the check) goes to the deep end.
  if (x > static_cast<double>(deep) || std::isnan(x)) {
    clamp = kDeepEnd;
    return deep;
  }
  if (x < static_cast<double>(k)) {
    clamp = kCutoff;
    return k;
  }
  clamp = kFromCurve;
  return round_saturated(x);
}

// Writes the expected recall at text depth `text_k` and returns true, or
// returns false when the model does not vouch for a corpus of n passages.
inline bool recall_at(const Model& m, const Bracket& cb, const Bracket& qb, std::int64_t n, std::int64_t text_k,
                      int clamp, double* scratch, double& recall) noexcept {
  const std::int64_t K = m.K(), D = m.D();
  std::int64_t need = m.recall_needs_corpus.data[qb.node[0]];
  for (int b = 1; b < qb.count; ++b) need = std::max(need, m.recall_needs_corpus.data[qb.node[b]]);
  if (n < need) return false;
  const double c = ln(static_cast<double>(text_k > 1 ? text_k : 1));
  const double scale = (m.recall_high - m.recall_low) / kU16Scale;
  double s = 0;
  for (int a = 0; a < cb.count; ++a) {
    for (int b = 0; b < qb.count; ++b) {
      const std::int64_t cell = cb.node[a] * K + qb.node[b];
      double r;
      if (clamp == kDeepEnd) {
        r = m.recall_at_deep_end.data[cell];
      } else if (clamp == kCutoff) {
        r = m.recall_at_cutoff.data[cell];
      } else {
        const std::uint16_t* codes = m.recall.data + cell * D;
        for (std::int64_t l = 0; l < D; ++l) scratch[l] = static_cast<double>(codes[l]) * scale + m.recall_low;
        r = interp(c, m.log_depth.data, scratch, D);
      }
      double miss = 1 - r;
      if (miss < kMissFloor) miss = kMissFloor;
      s += ln(miss) * (qb.weight[b] * cb.weight[a]);
    }
  }
  const double value = 1 - std::exp(s);
  if (std::isnan(value)) return false;  // arrays changed after the check
  // Past the last corpus node the weights extrapolate and may leave [0, 1].
  recall = std::clamp(value, 0.0, 1.0);
  return true;
}

// The vector-side depth, linear in the cutoff itself; extrapolates past both
// ends of the cutoff axis and saturates at the int64 range.
inline std::int64_t vector_k_at(const Model& m, std::int64_t k) noexcept {
  const std::int64_t K = m.K();
  const std::int64_t* c = m.cutoff.data;
  const std::int64_t* v = m.vector_k.data;
  std::int64_t lo = 0, hi = K;
  while (lo < hi) {
    const std::int64_t mid = lo + (hi - lo) / 2;
    if (c[mid] < k) lo = mid + 1; else hi = mid;
  }
  const std::int64_t i = lo < 1 ? 1 : (lo < K - 1 ? lo : K - 1);
  // Differences in 128 bits: the nodes are checked, but not their spread.
  const __int128 dc = static_cast<__int128>(c[i]) - c[i - 1];
  const double t = dc == 0 ? 0.0
                           : static_cast<double>(static_cast<__int128>(k) - c[i - 1]) / static_cast<double>(dc);
  const double dv = static_cast<double>(static_cast<__int128>(v[i]) - v[i - 1]);
  return round_saturated(dv * t + static_cast<double>(v[i - 1]));
}

struct Depths {
  std::int64_t text_k = 0;
  int clamp = kFromCurve;
  bool has_recall = false;
  double recall = 0;
};

// The part of a prediction that runs without the interpreter lock. n >= 1,
// 1 <= k <= n; `scratch` holds 3 * D doubles.
inline Depths predict_depths(const Model& m, std::int64_t n, std::int64_t k, double price, double* scratch) noexcept {
  const Bracket cb = bracket(ln(static_cast<double>(n)), m.log_corpus.data, m.C());
  const Bracket qb = bracket(ln(static_cast<double>(k)), m.log_cutoff.data, m.K());
  Depths out;
  out.text_k = text_k_for(m, cb, qb, k, price, out.clamp, scratch);
  out.has_recall = recall_at(m, cb, qb, n, out.text_k, out.clamp, scratch, out.recall);
  return out;
}

// ---- Model checks -----------------------------------------------------------

namespace detail {

template <std::size_t N>
std::string shape_text(const std::array<std::int64_t, N>& s) {
  std::string t = "(";
  for (std::size_t i = 0; i < N; ++i) {
    if (i) t += ", ";
    t += std::to_string(s[i]);
  }
  return t + (N == 1 ? ",)" : ")");
}

template <class T, int N>
bool shape_is(const Span<T, N>& a, const std::array<std::int64_t, N>& want, const char* key, std::string& error) {
  if (a.shape == want) return true;
  error.assign("'").append(key).append("' has shape ").append(shape_text(a.shape));
  error.append(" but the axes call for ").append(shape_text(want));
  return false;
}

inline bool ascending_positive(const std::int64_t* x, std::int64_t n) {
  for (std::int64_t i = 0; i < n; ++i) {
    if (x[i] < 1 || (i > 0 && x[i] <= x[i - 1])) return false;
  }
  return true;
}

// The logarithms of ascending nodes >= 1: finite, >= 0, never descending
// (nodes far apart in value can share a rounded logarithm).
inline bool log_axis_ok(const double* x, std::int64_t n) {
  for (std::int64_t i = 0; i < n; ++i) {
    if (!std::isfinite(x[i]) || x[i] < 0 || (i > 0 && x[i] < x[i - 1])) return false;
  }
  return true;
}

template <class T>
bool all_finite(const T* x, std::int64_t n) {
  for (std::int64_t i = 0; i < n; ++i) {
    if (!std::isfinite(static_cast<double>(x[i]))) return false;
  }
  return true;
}

// The recalls that the smallest and the largest code of the cube stand for,
// dequantised as the prediction does: every other code lies between them.
inline bool cube_recalls(const std::uint16_t* codes, std::int64_t n, double low, double high) {
  const auto [least, most] = std::minmax_element(codes, codes + n);
  const double scale = (high - low) / kU16Scale;
  for (const std::uint16_t code : {*least, *most}) {
    const double r = static_cast<double>(code) * scale + low;
    if (!(r >= 0.0 && r <= 1.0)) return false;
  }
  return true;
}

inline bool all_recalls(const float* x, std::int64_t n) {
  for (std::int64_t i = 0; i < n; ++i) {
    if (!(x[i] >= 0.0f && x[i] <= 1.0f)) return false;  // refuses NaN too
  }
  return true;
}

}  // namespace detail

// Checks what prediction relies on beyond the node counts; returns "" for a
// sound model, else the reason. `corpus_nodes` (may be null) are the integer
// corpus-size nodes when the caller still has them; `n_names` is the number
// of speed preferences, or -1 when the model has no list.
inline std::string check_model(const Model& m, const std::int64_t* corpus_nodes, std::int64_t n_names) {
  using detail::shape_is;
  const std::int64_t C = m.C(), K = m.K(), D = m.D();
  std::string e;
  if (std::min({C, K, D}) < 2) return "a tuned model needs at least two nodes on every axis";
  if (!shape_is(m.cutoff, {K}, "cutoff", e) || !shape_is(m.depth, {D}, "depth", e) ||
      !shape_is(m.recall, {C, K, D}, "recall", e) || !shape_is(m.recall_at_deep_end, {C, K}, "recall_at_deep_end", e) ||
      !shape_is(m.recall_at_cutoff, {C, K}, "recall_at_cutoff", e) ||
      !shape_is(m.recall_needs_corpus, {K}, "recall_needs_corpus", e) ||
      !shape_is(m.log_value, {C, K, D}, "log_value_per_candidate", e) ||
      !shape_is(m.log_deepest_depth, {C}, "deepest_depth", e) || !shape_is(m.vector_k, {K}, "vector_k", e)) {
    return e;
  }
  if (n_names >= 0 && m.prices.shape[0] != n_names) {
    return "'price' has " + std::to_string(m.prices.shape[0]) + " entries for " + std::to_string(n_names) +
           " speed preferences";
  }
  if (corpus_nodes != nullptr && !detail::ascending_positive(corpus_nodes, C)) {
    return "'corpus_size' nodes must be strictly ascending and at least 1";
  }
  if (!detail::ascending_positive(m.cutoff.data, K)) return "'cutoff' nodes must be strictly ascending and at least 1";
  if (!detail::ascending_positive(m.depth.data, D)) return "'depth' nodes must be strictly ascending and at least 1";
  if (!detail::log_axis_ok(m.log_corpus.data, C) || !detail::log_axis_ok(m.log_cutoff.data, K) ||
      !detail::log_axis_ok(m.log_depth.data, D)) {
    return "a log axis must be finite, at least 0 and never descending";
  }
  if (!std::isfinite(m.recall_low) || !std::isfinite(m.recall_high)) return "'recall_range' must be finite";
  if (!std::isfinite(m.log_value_low) || !std::isfinite(m.log_value_high)) return "'log_value_range' must be finite";
  if (!detail::cube_recalls(m.recall.data, C * K * D, m.recall_low, m.recall_high)) {
    return "'recall' codes dequantised with 'recall_range' must lie in [0, 1]";
  }
  if (!detail::all_recalls(m.recall_at_deep_end.data, C * K)) return "'recall_at_deep_end' must lie in [0, 1]";
  if (!detail::all_recalls(m.recall_at_cutoff.data, C * K)) return "'recall_at_cutoff' must lie in [0, 1]";
  if (!detail::all_finite(m.log_deepest_depth.data, C)) return "'deepest_depth' must be finite and above 0";
  for (std::int64_t i = 0; i < m.prices.shape[0]; ++i) {
    if (!(m.prices.data[i] > 0) || !std::isfinite(m.prices.data[i])) return "every 'price' must be finite and above 0";
  }
  return "";
}

}  // namespace tx::depth
