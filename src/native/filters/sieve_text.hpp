// The SQL text of filter conditions: the operator allowlist, column forms
// and predicate shapes. No Python here; the glue hands in UTF-8 pieces and
// binds every value itself.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "support/text.hpp"

namespace tx::sieve {

// Every operator a condition may carry, in upper case. The text of an
// operator is spliced into SQL, so anything whose ASCII upper-case form is
// not here is refused before a node is built.
inline constexpr std::array<std::string_view, 10> kOperators = {
    "=", "!=", ">", ">=", "<", "<=", "IN", "LIKE", "BETWEEN", "IS NULL"};

// The same, sorted, as the refusal message lists them.
inline constexpr const char* kOperatorList = "['!=', '<', '<=', '=', '>', '>=', 'BETWEEN', 'IN', 'IS NULL', 'LIKE']";

// What `where` and `where_any` accept, compared exactly.
inline constexpr std::array<std::string_view, 7> kChainOperators = {"=", "!=", ">", ">=", "<", "<=", "IN"};
inline constexpr const char* kChainOperatorList = "['!=', '<', '<=', '=', '>', '>=', 'IN']";

inline bool allowed_operator(std::string_view op) {
  const std::string upper = text::ascii_upper(op);
  for (std::string_view known : kOperators) {
    if (upper == known) return true;
  }
  return false;
}

inline bool chain_operator(std::string_view op) noexcept {
  for (std::string_view known : kChainOperators) {
    if (op == known) return true;
  }
  return false;
}

// Builtin columns every filter may name, matched regardless of the case of
// ASCII letters.
inline const char* builtin_column(std::string_view name) noexcept {
  if (text::ascii_iequals(name, "id")) return "d.id";
  if (text::ascii_iequals(name, "position")) return "m.position";
  return nullptr;
}

// m."name" with any double quote inside the name doubled, so no name can
// end the quoted identifier early.
inline void append_scalar_column(std::string& out, std::string_view name) {
  out.append("m.\"");
  text::append_doubling(out, name, '"');
  out.push_back('"');
}

// What follows the left-hand side of a predicate, for an operator compared
// exactly: "IN", "BETWEEN" and "IS NULL" have shapes of their own; every
// other operator (the comparisons, LIKE, and lower-case spellings) is
// `lhs op ?`.
inline void append_predicate_rest(std::string& out, std::string_view op, std::size_t n_values) {
  if (op == "IN") {
    out.append(" IN (");
    text::append_repeated(out, "?", ",", n_values);
    out.push_back(')');
  } else if (op == "BETWEEN") {
    out.append(" BETWEEN ? AND ?");
  } else if (op == "IS NULL") {
    out.append(" IS NULL");
  } else {
    out.push_back(' ');
    out.append(op);
    out.append(" ?");
  }
}

// A multi-valued key matches when any of the document's values does; the
// key itself is the first bound value.
inline constexpr std::string_view kMultiOpen = "(m.position IN (SELECT position FROM metadata_multi WHERE key = ? AND ";
inline constexpr std::string_view kMultiClose = "))";
inline constexpr std::string_view kMultiLhs = "value";

}  // namespace tx::sieve
