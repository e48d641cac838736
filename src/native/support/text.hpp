// Text helpers with no Python in them: ASCII case mapping, joins and the
// repeated-mark lists that SQL text is assembled from.
#pragma once

#include <cstddef>
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

// `mark` repeated `n` times with `sep` between: ("?", ",", 3) gives "?,?,?".
inline void append_repeated(std::string& out, std::string_view mark, std::string_view sep, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    if (i != 0) out.append(sep);
    out.append(mark);
  }
}

// Appends `s` with every `quote` character doubled, the escape of SQL
// quoted identifiers and string literals.
inline void append_doubling(std::string& out, std::string_view s, char quote) {
  for (char c : s) {
    out.push_back(c);
    if (c == quote) out.push_back(c);
  }
}

}  // namespace tx::text
