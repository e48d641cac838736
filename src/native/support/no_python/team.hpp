// Loops on the OpenMP team, free of Python, so that algorithm headers can
// use them too.
#pragma once

#include <omp.h>

#include <atomic>
#include <cstdint>
#include <exception>

namespace tx {

inline int omp_max_threads() noexcept { return omp_get_max_threads(); }

namespace detail {

// The first exception thrown by any iteration of a parallel loop: the
// remaining iterations are skipped and it is rethrown after the region.
class LoopError {
 public:
  bool stopped() const noexcept { return failed_.load(std::memory_order_relaxed); }

  template <class Body>
  void run(Body& body, std::int64_t i) noexcept {
    try {
      body(i);
    } catch (...) {
#pragma omp critical(tx_parallel_error)
      {
        if (!error_) error_ = std::current_exception();
      }
      failed_.store(true, std::memory_order_relaxed);
    }
  }

  void rethrow() {
    if (error_) std::rethrow_exception(error_);
  }

 private:
  std::exception_ptr error_;
  std::atomic<bool> failed_{false};
};

}  // namespace detail

// body(i) for i in [0, n) on `threads` threads with a static schedule. The
// first exception thrown by any iteration stops the remaining ones and is
// rethrown here, after the parallel region has ended.
template <class Body>
void parallel_for(std::int64_t n, int threads, Body&& body) {
  if (threads <= 1 || n <= 1) {
    for (std::int64_t i = 0; i < n; ++i) body(i);
    return;
  }
  detail::LoopError error;
#pragma omp parallel for schedule(static) num_threads(threads)
  for (std::int64_t i = 0; i < n; ++i) {
    if (!error.stopped()) error.run(body, i);
  }
  error.rethrow();
}

// The same with iterations handed out `chunk` at a time to whichever thread
// is free: for iterations of uneven cost, and for cores shared with other
// work, where a static split waits for its slowest thread.
template <class Body>
void parallel_for_dynamic(std::int64_t n, int threads, std::int64_t chunk, Body&& body) {
  if (threads <= 1 || n <= 1) {
    for (std::int64_t i = 0; i < n; ++i) body(i);
    return;
  }
  detail::LoopError error;
#pragma omp parallel for schedule(dynamic, chunk) num_threads(threads)
  for (std::int64_t i = 0; i < n; ++i) {
    if (!error.stopped()) error.run(body, i);
  }
  error.rethrow();
}

}  // namespace tx
