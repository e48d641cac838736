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
  for (std::size_t at = 0;;) {
    const std::size_t q = s.find(quote, at);
    if (q == std::string_view::npos) {
      out.append(s.substr(at));
      return;
    }
    out.append(s.substr(at, q + 1 - at));
    out.push_back(quote);
    at = q + 1;
  }
}

}  // namespace tx::text
