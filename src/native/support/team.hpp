// Loops on the OpenMP team, free of Python, so that algorithm headers can
// use them too.
#pragma once

#include <omp.h>

#include <atomic>
#include <cstdint>
#include <exception>

namespace tx {

inline int omp_max_threads() noexcept { return omp_get_max_threads(); }

// body(i) for i in [0, n) on `threads` threads with a static schedule. The
// first exception thrown by any iteration stops the remaining ones and is
// rethrown here, after the parallel region has ended.
template <class Body>
void parallel_for(std::int64_t n, int threads, Body&& body) {
  if (threads <= 1 || n <= 1) {
    for (std::int64_t i = 0; i < n; ++i) body(i);
    return;
  }
  std::exception_ptr error;
  std::atomic<bool> failed{false};
#pragma omp parallel for schedule(static) num_threads(threads)
  for (std::int64_t i = 0; i < n; ++i) {
    if (failed.load(std::memory_order_relaxed)) continue;
    try {
      body(i);
    } catch (...) {
#pragma omp critical(tx_parallel_error)
      {
        if (!error) error = std::current_exception();
      }
      failed.store(true, std::memory_order_relaxed);
    }
  }
  if (error) std::rethrow_exception(error);
}

}  // namespace tx
