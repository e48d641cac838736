// Which vector instruction set a kernel may use on this processor. One build
// runs everywhere: kernels compile a function per level with GCC's target
// attribute and pick one at run time. No Python here.
#pragma once

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace tx::simd {

// Ordered: each level implies the ones below it on every processor we know.
enum class Level : int {
  portable = 0,  // plain C++, software popcount
  popcnt = 1,    // scalar hardware popcount
  avx2 = 2,      // 256-bit integer vectors (+ popcnt)
  avx512 = 3,    // AVX-512 F/BW/VL with VPOPCNTDQ
};

inline const char* level_name(Level l) noexcept {
  switch (l) {
    case Level::portable: return "portable";
    case Level::popcnt: return "popcnt";
    case Level::avx2: return "avx2";
    case Level::avx512: return "avx512";
  }
  return "portable";
}

// The best level this processor supports.
inline Level detect() noexcept {
#if defined(__x86_64__) && defined(__GNUC__)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
      __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vpopcntdq") &&
      __builtin_cpu_supports("popcnt")) {
    return Level::avx512;
  }
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt")) return Level::avx2;
  if (__builtin_cpu_supports("popcnt")) return Level::popcnt;
#endif
  return Level::portable;
}

// The level in use by one shared object: the detected one, or a lower one
// forced to compare the paths, by tests and benchmarks, either at run time or
// for the whole process with TARNIX_SIMD_LEVEL=<name> (read at import).
class Dispatch {
 public:
  Dispatch() noexcept {
    if (const char* wanted = std::getenv("TARNIX_SIMD_LEVEL")) {
      for (int l = 0; l <= static_cast<int>(Level::avx512); ++l) {
        if (std::strcmp(wanted, level_name(static_cast<Level>(l))) == 0) force(static_cast<Level>(l));
      }
    }
  }

  Level best() const noexcept { return best_; }
  Level active() const noexcept { return static_cast<Level>(active_.load(std::memory_order_relaxed)); }
  // Refuses (returns false) a level above what the processor supports.
  bool force(Level l) noexcept {
    if (static_cast<int>(l) > static_cast<int>(best_)) return false;
    active_.store(static_cast<int>(l), std::memory_order_relaxed);
    return true;
  }

 private:
  Level best_ = detect();
  std::atomic<int> active_{static_cast<int>(best_)};
};

}  // namespace tx::simd
