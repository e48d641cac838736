// The test and benchmark hook that shows, and can lower, the instruction-set
// level a module's kernels use.
#pragma once

#include <cstring>

#include "support/no_python/simd.hpp"
#include "support/support.hpp"

namespace tx {

// _simd_level(level=None): the level in use, after switching to `level`
// ("portable", "popcnt", "avx2" or "avx512") when one is given. A level this
// processor lacks is refused with ValueError and changes nothing.
inline PyObject* simd_level_entry(simd::Dispatch& dispatch, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  return guard([&] {
    static const auto sig = signature<1>("_simd_level", {"level"}, 0);
    const auto a = sig.bind(args, nargs, kwnames);
    if (a[0] != nullptr && a[0] != Py_None) {
      require_exact(a[0], &PyUnicode_Type, "level", false);
      const std::string wanted = utf8(a[0]);
      bool done = false;
      for (int l = 0; l <= static_cast<int>(simd::Level::avx512); ++l) {
        const auto level = static_cast<simd::Level>(l);
        if (wanted == simd::level_name(level)) {
          if (!dispatch.force(level)) {
            raise(PyExc_ValueError, "this processor does not support the " + wanted + " kernels");
          }
          done = true;
        }
      }
      if (!done) raise(PyExc_ValueError, "unknown kernel level " + repr(a[0]));
    }
    return py_str(simd::level_name(dispatch.active()));
  });
}

}  // namespace tx
