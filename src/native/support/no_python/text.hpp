// Text helpers with no Python in them: ASCII case mapping, joins and the
// repeated-mark lists that SQL text is assembled from.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

namespace tx::text {

inline bool is_ascii(std::string_view s) noexcept {
  for (unsigned char c : s) {
    if (c >= 0x80) return false;
  }
  return true;
}

// Upper-cases ASCII letters only; every other byte (UTF-8 included) is kept,
// so no non-ASCII character can map onto an ASCII keyword.
inline std::string ascii_upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

inline std::string ascii_lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// Whether a and b are equal once ASCII letters are lower-cased.
inline bool ascii_iequals(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// Whether `text` holds `part` once ASCII letters are lower-cased in both.
inline bool ascii_icontains(std::string_view text, std::string_view part) noexcept {
  for (std::size_t i = 0; i + part.size() <= text.size(); ++i) {
    if (ascii_iequals(text.substr(i, part.size()), part)) return true;
  }
  return false;
}

// Writing through a pointer, for text assembled from many small pieces:
// `append_bounded` makes room for at most `bound` bytes once, hands `write`
// the first free byte and keeps what it wrote up to the pointer it returns.
inline char* put(char* p, std::string_view s) noexcept {
  std::memcpy(p, s.data(), s.size());
  return p + s.size();
}

// `s` with every `quote` doubled, the escape of SQL quoted identifiers and
// string literals; writes at most 2 * s.size() bytes.
inline char* put_doubling(char* p, std::string_view s, char quote) noexcept {
  for (char c : s) {
    *p++ = c;
    if (c == quote) *p++ = quote;
  }
  return p;
}

// `mark` repeated `n` times with `sep` between: ("?", ",", 3) gives "?,?,?".
inline std::size_t repeated_size(std::string_view mark, std::string_view sep, std::size_t n) noexcept {
  return n == 0 ? 0 : n * mark.size() + (n - 1) * sep.size();
}

inline char* put_repeated(char* p, std::string_view mark, std::string_view sep, std::size_t n) noexcept {
  for (std::size_t i = 0; i < n; ++i) {
    if (i != 0) p = put(p, sep);
    p = put(p, mark);
  }
  return p;
}

template <class Write>
void append_bounded(std::string& out, std::size_t bound, Write write) {
  const std::size_t old = out.size();
  out.resize(old + bound);
  char* end = write(out.data() + old);
  out.resize(static_cast<std::size_t>(end - out.data()));
}

inline void append_repeated(std::string& out, std::string_view mark, std::string_view sep, std::size_t n) {
  append_bounded(out, repeated_size(mark, sep, n), [&](char* p) { return put_repeated(p, mark, sep, n); });
}

}  // namespace tx::text
