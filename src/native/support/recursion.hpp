// Guards for recursive walks over Python objects, so that a deep tree raises
// RecursionError instead of overflowing the native stack.
#pragma once

#include "support/core.hpp"

namespace tx {

// Counts one level of a recursive walk against the interpreter's limit, so
// a deep tree raises RecursionError instead of overflowing the stack.
class RecursionGuard {
 public:
  explicit RecursionGuard(const char* where) {
    if (Py_EnterRecursiveCall(where) != 0) rethrow_python();
  }
  ~RecursionGuard() { Py_LeaveRecursiveCall(); }
  RecursionGuard(const RecursionGuard&) = delete;
  RecursionGuard& operator=(const RecursionGuard&) = delete;
};

// A RecursionGuard that also holds one walk (one `Tag`) to at most `limit`
// levels on a thread. The interpreter's limit is sized for its own small
// frames; a walk with larger frames would run out of native stack (a
// thread's, a sanitizer's) well before reaching it.
template <class Tag>
class BoundedRecursionGuard {
 public:
  BoundedRecursionGuard(const char* where, int limit) : guard_(where) {
    if (depth_ >= limit) {
      PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
      rethrow_python();
    }
    ++depth_;
  }
  ~BoundedRecursionGuard() { --depth_; }
  BoundedRecursionGuard(const BoundedRecursionGuard&) = delete;
  BoundedRecursionGuard& operator=(const BoundedRecursionGuard&) = delete;

 private:
  RecursionGuard guard_;
  static inline thread_local int depth_ = 0;
};

// hash(o), raising RecursionError where the interpreter's own tuple hash
// would recurse past the native stack: tuples do not cache their hash and
// hash their items without a depth check. Only the nesting of tuples that
// hash as tuples is walked; everything else hashes through the interpreter,
// whose own calls are guarded.
inline void check_hash_depth(PyObject* o) {
  if (!PyTuple_Check(o) || Py_TYPE(o)->tp_hash != PyTuple_Type.tp_hash) return;
  RecursionGuard depth(" while hashing a nested tuple");
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(o); ++i) check_hash_depth(PyTuple_GET_ITEM(o, i));
}

inline Py_hash_t guarded_hash(PyObject* o) {
  check_hash_depth(o);
  const Py_hash_t h = PyObject_Hash(o);
  if (h == -1) rethrow_python();
  return h;
}

}  // namespace tx
