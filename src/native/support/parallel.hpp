// Running native loops without the interpreter lock, on the OpenMP team
// (team.hpp holds the loop itself, free of Python).
#pragma once

#include "support/core.hpp"
#include "support/no_python/team.hpp"

namespace tx {

// Releases the GIL for its scope. Nothing inside may touch a Python object.
class ReleaseGil {
 public:
  ReleaseGil() noexcept : state_(PyEval_SaveThread()) {}
  ReleaseGil(const ReleaseGil&) = delete;
  ReleaseGil& operator=(const ReleaseGil&) = delete;
  ~ReleaseGil() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

}  // namespace tx
