// Reading objects that export the buffer protocol, without copying them.
#pragma once

#include <cstring>

#include "support/core.hpp"

namespace tx {

// A read-only export of a buffer (shape, strides and format filled in),
// released when it goes out of scope.
class BufferView {
 public:
  // TypeError when `o` exports no buffer, as the interpreter words it.
  explicit BufferView(PyObject* o) {
    if (PyObject_GetBuffer(o, &view_, PyBUF_RECORDS_RO) < 0) rethrow_python();
    held_ = true;
  }
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  ~BufferView() {
    if (held_) PyBuffer_Release(&view_);
  }

  const Py_buffer& get() const noexcept { return view_; }
  int ndim() const noexcept { return view_.ndim; }
  Py_ssize_t shape(int axis) const noexcept { return view_.shape[axis]; }
  const void* data() const noexcept { return view_.buf; }
  bool c_contiguous() const noexcept { return PyBuffer_IsContiguous(&view_, 'C') == 1; }

  // True when the elements are `code` (a struct-module letter such as 'f' or
  // 'd') of `itemsize` bytes in native byte order.
  bool has_format(char code, Py_ssize_t itemsize) const noexcept {
    if (view_.itemsize != itemsize) return false;
    const char* f = view_.format == nullptr ? "B" : view_.format;
    if (*f == '@' || *f == '=' || (*f == '<' && native_little())) ++f;
    return f[0] == code && f[1] == '\0';
  }

 private:
  static bool native_little() noexcept {
    const std::uint16_t probe = 1;
    unsigned char first;
    std::memcpy(&first, &probe, 1);
    return first == 1;
  }

  Py_buffer view_{};
  bool held_ = false;
};

}  // namespace tx
