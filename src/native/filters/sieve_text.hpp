// The SQL text of filter conditions: the operator allowlist, column forms
// and predicate shapes. No Python here; the glue hands in UTF-8 pieces and
// binds every value itself.
#pragma once

#include <algorithm>
#include <array>
#include <string>
#include <string_view>

#include "support/no_python/text.hpp"

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
inline std::size_t scalar_column_bound(std::string_view name) noexcept { return 4 + 2 * name.size(); }

inline char* put_scalar_column(char* p, std::string_view name) noexcept {
  p = text::put(p, "m.\"");
  p = text::put_doubling(p, name, '"');
  *p++ = '"';
  return p;
}

inline void append_scalar_column(std::string& out, std::string_view name) {
  text::append_bounded(out, scalar_column_bound(name), [&](char* p) { return put_scalar_column(p, name); });
}

// What follows the left-hand side of a predicate, for an operator compared
// exactly: "IN", "BETWEEN" and "IS NULL" have shapes of their own; every
// other operator (the comparisons, LIKE, and lower-case spellings) is
// `lhs op ?`.
inline std::size_t predicate_rest_bound(std::string_view op, std::size_t n_values) noexcept {
  return std::max<std::size_t>({op.size() + 3, 6 + text::repeated_size("?", ",", n_values), 16});
}

inline char* put_predicate_rest(char* p, std::string_view op, std::size_t n_values) noexcept {
  if (op == "IN") {
    p = text::put(p, " IN (");
    p = text::put_repeated(p, "?", ",", n_values);
    *p++ = ')';
  } else if (op == "BETWEEN") {
    p = text::put(p, " BETWEEN ? AND ?");
  } else if (op == "IS NULL") {
    p = text::put(p, " IS NULL");
  } else {
    *p++ = ' ';
    p = text::put(p, op);
    p = text::put(p, " ?");
  }
  return p;
}

inline void append_predicate_rest(std::string& out, std::string_view op, std::size_t n_values) {
  text::append_bounded(out, predicate_rest_bound(op, n_values),
                       [&](char* p) { return put_predicate_rest(p, op, n_values); });
}

// A whole condition on a builtin column (its SQL in `builtin`) or, when
// `builtin` is empty, on the scalar column `name`: "(lhs rest)". The usual
// node of a filter, so it is written with a single capacity check.
inline void append_scalar_condition(std::string& out, std::string_view builtin, std::string_view name,
                                    std::string_view op, std::size_t n_values) {
  const std::size_t lhs = builtin.empty() ? scalar_column_bound(name) : builtin.size();
  text::append_bounded(out, 2 + lhs + predicate_rest_bound(op, n_values), [&](char* p) {
    *p++ = '(';
    p = builtin.empty() ? put_scalar_column(p, name) : text::put(p, builtin);
    p = put_predicate_rest(p, op, n_values);
    *p++ = ')';
    return p;
  });
}

// A multi-valued key matches when any of the document's values does; the
// key itself is the first bound value.
inline constexpr std::string_view kMultiOpen = "(m.position IN (SELECT position FROM metadata_multi WHERE key = ? AND ";
inline constexpr std::string_view kMultiClose = "))";
inline constexpr std::string_view kMultiLhs = "value";

// A whole condition on a multi-valued key, in one piece as a scalar one.
inline void append_multi_condition(std::string& out, std::string_view op, std::size_t n_values) {
  constexpr std::size_t fixed = kMultiOpen.size() + kMultiLhs.size() + kMultiClose.size();
  text::append_bounded(out, fixed + predicate_rest_bound(op, n_values), [&](char* p) {
    p = text::put(p, kMultiOpen);
    p = text::put(p, kMultiLhs);
    p = put_predicate_rest(p, op, n_values);
    return text::put(p, kMultiClose);
  });
}

}  // namespace tx::sieve
