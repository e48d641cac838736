// The identifier rule and the fixed pieces of the statements the SQL
// builders write. No Python here.
#pragma once

#include <string>
#include <string_view>

#include "support/no_python/text.hpp"

namespace tx::sql {

inline constexpr const char* kIdentifierPattern = "^[A-Za-z_][A-Za-z0-9_]*$";
inline constexpr long kChunk = 500;

// A bare identifier: one ASCII letter or underscore, then ASCII letters,
// digits and underscores, and nothing else (no trailing newline either).
inline bool is_identifier(std::string_view s) noexcept {
  if (s.empty()) return false;
  auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; };
  if (!letter(s[0])) return false;
  for (char c : s.substr(1)) {
    if (!letter(c) && !(c >= '0' && c <= '9')) return false;
  }
  return true;
}

// `column IN (?,?,...)`, one mark per value; no marks at all for none.
inline std::string in_list(std::string_view column, std::size_t n) {
  std::string out(column);
  out.append(" IN (");
  text::append_repeated(out, "?", ",", n);
  out.push_back(')');
  return out;
}

}  // namespace tx::sql
