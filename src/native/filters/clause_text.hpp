// Plain-text checks on filter texts and literals, with no Python in them.
#pragma once

#include <cstddef>
#include <string_view>

namespace tx::clause {

// Whether the text holds anything that can open a comment ("--", "/*", and
// the template comment "{#" that sqlglot's tokenizer knows in every dialect)
// or separate statements (";") in the SQLite dialect. Only such texts need the
// token-level check; the sequences may still turn out to sit inside quotes.
// `Unit` is the code unit of the text's storage (one, two or four bytes).
template <class Unit>
bool may_hide_text(const Unit* text, std::size_t size) noexcept {
  for (std::size_t i = 0; i < size; ++i) {
    const Unit c = text[i];
    if (c == ';') return true;
    if (i + 1 < size) {
      const Unit next = text[i + 1];
      if ((c == '-' && next == '-') || (c == '/' && next == '*') || (c == '{' && next == '#')) return true;
    }
  }
  return false;
}

// A number literal written as decimal digits only: an integer, whatever its size.
inline bool is_decimal_digits(std::string_view text) noexcept {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace tx::clause
