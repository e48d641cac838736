// The parts of the pre-filter store that need no interpreter: the schema it
// creates, reading the packed answer of a position query, and the statements
// of a compaction.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/no_python/text.hpp"

namespace tx::row_screen {

inline constexpr const char* kSchema =
    "\n"
    "CREATE TABLE IF NOT EXISTS docs (position INTEGER PRIMARY KEY, id TEXT UNIQUE NOT NULL);\n"
    "CREATE TABLE IF NOT EXISTS metadata (position INTEGER PRIMARY KEY REFERENCES docs(position));\n"
    "CREATE TABLE IF NOT EXISTS metadata_multi (\n"
    "    position INTEGER NOT NULL REFERENCES docs(position),\n"
    "    key TEXT NOT NULL,\n"
    "    value TEXT NOT NULL\n"
    ");\n"
    "CREATE INDEX IF NOT EXISTS idx_metadata_multi_key_value ON metadata_multi(key, value);\n"
    "CREATE UNIQUE INDEX IF NOT EXISTS idx_metadata_multi_pos_key_value ON metadata_multi(position, key, value);\n"
    "CREATE TABLE IF NOT EXISTS doc_access (position INTEGER NOT NULL REFERENCES docs(position), role TEXT NOT NULL);\n"
    "CREATE INDEX IF NOT EXISTS idx_doc_access_role ON doc_access(role);\n"
    "CREATE UNIQUE INDEX IF NOT EXISTS idx_doc_access_pos_role ON doc_access(position, role);\n";

inline constexpr std::size_t kCacheSize = 256;

// A position query hands its rows back as one text, the positions in decimal
// separated by commas (SQLite's group_concat), so that no interpreter object
// is made per row. Counts the values of such a text; 0 for the empty text.
inline std::size_t count_packed(std::string_view text) noexcept {
  if (text.empty()) return 0;
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), ',')) + 1;
}

// Parses a packed text into `out`, which holds count_packed(text) slots.
// False when the text is not a comma-separated list of 64-bit integers.
inline bool parse_packed(std::string_view text, std::int64_t* out) noexcept {
  const char* p = text.data();
  const char* end = p + text.size();
  std::size_t n = 0;
  while (p < end) {
    bool negative = false;
    if (*p == '-') {
      negative = true;
      ++p;
    }
    if (p == end || *p < '0' || *p > '9') return false;
    std::uint64_t magnitude = 0;
    const std::uint64_t limit = negative ? std::uint64_t{1} << 63 : (std::uint64_t{1} << 63) - 1;
    while (p < end && *p >= '0' && *p <= '9') {
      const auto digit = static_cast<std::uint64_t>(*p - '0');
      if (magnitude > (limit - digit) / 10) return false;
      magnitude = magnitude * 10 + digit;
      ++p;
    }
    out[n++] = negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude);
    if (p < end) {
      if (*p != ',' || p + 1 == end) return false;
      ++p;
    }
  }
  return true;
}

// Sorts and de-duplicates values[0, n) in place; returns the new count. The
// rows of a position query come ascending and unique, so the common case is
// one pass that changes nothing.
inline std::size_t sort_unique(std::int64_t* values, std::size_t n) {
  if (!std::is_sorted(values, values + n)) std::sort(values, values + n);
  return static_cast<std::size_t>(std::unique(values, values + n) - values);
}

// Positions are distinct integers, so they run 0..n-1 exactly when the
// smallest is 0 and the largest n-1; compact() then has nothing to move.
inline bool is_compact(std::int64_t count, std::int64_t lowest, std::int64_t highest) noexcept {
  return count == 0 || (lowest == 0 && highest == count - 1);
}

// The statements of a compaction. _remap holds (old, new) for every position
// that changes; it is filled in one statement, with no row passing through
// the interpreter.
inline constexpr const char* kCreateRemap =
    "CREATE TEMP TABLE IF NOT EXISTS _remap (old INTEGER PRIMARY KEY, new INTEGER NOT NULL)";
inline constexpr const char* kFillRemap =
    "INSERT INTO _remap (old, new) SELECT old, new FROM "
    "(SELECT position AS old, row_number() OVER (ORDER BY position) - 1 AS new FROM docs) WHERE old <> new";

// The unique position indexes, re-created by a compaction exactly as the
// schema creates them.
inline constexpr std::string_view kMultiPositionIndex =
    "CREATE UNIQUE INDEX IF NOT EXISTS idx_metadata_multi_pos_key_value ON metadata_multi(position, key, value)";
inline constexpr std::string_view kAccessPositionIndex =
    "CREATE UNIQUE INDEX IF NOT EXISTS idx_doc_access_pos_role ON doc_access(position, role)";
static_assert(std::string_view(kSchema).find(kMultiPositionIndex) != std::string_view::npos);
static_assert(std::string_view(kSchema).find(kAccessPositionIndex) != std::string_view::npos);

// Every row moves to a lower position, into one another row of the same
// table may still hold, and SQLite checks a unique key row by row in an
// order it does not promise; so no table is renumbered in place under a
// unique key on position. Where position is the row key (docs, metadata) the
// rows that move are copied out, renumbered in the copy, deleted and put back
// at their new positions. Where a unique index covers it (metadata_multi,
// doc_access) the index is dropped for the one UPDATE and built again after,
// which checks the result. Each row is rewritten once and each index entry
// written once, instead of twice through a detour.
inline std::vector<std::string> renumber_statements() {
  const std::string moved = " WHERE position IN (SELECT old FROM _remap)";
  std::vector<std::string> out;
  for (const std::string table : {"docs", "metadata"}) {
    out.push_back("CREATE TEMP TABLE _moved AS SELECT * FROM " + table + moved);
    out.push_back("UPDATE _moved SET position = (SELECT new FROM _remap WHERE old = _moved.position)");
    out.push_back("DELETE FROM " + table + moved);
    // _moved holds its rows in ascending order, so the inserts append.
    out.push_back("INSERT INTO " + table + " SELECT * FROM _moved");
    out.push_back("DROP TABLE temp._moved");
  }
  const std::pair<std::string, std::string_view> indexed[] = {
      {"metadata_multi", kMultiPositionIndex},
      {"doc_access", kAccessPositionIndex},
  };
  for (const auto& [table, index] : indexed) {
    const auto name_start = index.find("idx_");
    out.push_back("DROP INDEX " + std::string(index.substr(name_start, index.find(' ', name_start) - name_start)));
    out.push_back("UPDATE " + table + " SET position = (SELECT new FROM _remap WHERE old = " + table + ".position)" +
                  moved);
    out.push_back(std::string(index));
  }
  return out;
}

// How a filter's SQL text can stand before the store's own conditions in
// "WHERE {text} AND {role restriction}". A filter object may render any text
// (a node or chain with a rendering of its own), so the text is read token by
// token as SQLite reads it: quotes and bracketed names are skipped whole, and
// anything that could end the expression early, hide the rest of the
// statement or bind by name is refused. What remains has balanced
// parentheses outside quotes, so once it is parenthesised nothing in it can
// reach a condition that follows.
enum class ConditionFit {
  whole,              // one parenthesised expression, or a lone number: used as it is
  needs_parentheses,  // one expression once wrapped
  refused,
};

struct ConditionCheck {
  ConditionFit fit;
  const char* problem;   // what a refused text holds, for the message
  bool selects = false;  // the word SELECT stands outside quotes: a sub-query
};

inline bool is_word_byte(char c) noexcept {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         static_cast<unsigned char>(c) >= 0x80;
}

inline ConditionCheck check_condition_text(std::string_view text) noexcept {
  const std::size_t n = text.size();
  std::size_t depth = 0;
  bool closed_before_end = false;  // the first '(' closes before the last byte
  bool blank = true;
  bool selects = false;
  for (std::size_t i = 0; i < n; ++i) {
    const char c = text[i];
    const char next = i + 1 < n ? text[i + 1] : '\0';
    if (is_word_byte(c) && (i == 0 || !is_word_byte(text[i - 1]))) {
      std::size_t end = i;
      while (end < n && is_word_byte(text[end])) ++end;
      if (text::ascii_iequals(text.substr(i, end - i), "select")) selects = true;
    }
    switch (c) {
      case '\'':
      case '"':
      case '`':
      case '[': {
        // A doubled quote stands for itself; a bracketed name ends at the
        // first ']'.
        const char close = c == '[' ? ']' : c;
        std::size_t j = i + 1;
        for (;; ++j) {
          if (j >= n) return {ConditionFit::refused, "a quote that is never closed"};
          if (text[j] == '\0') return {ConditionFit::refused, "a NUL character"};
          if (text[j] != close) continue;
          if (c != '[' && j + 1 < n && text[j + 1] == close) {
            ++j;
            continue;
          }
          break;
        }
        i = j;
        blank = false;
        continue;
      }
      case '(':
        ++depth;
        break;
      case ')':
        if (depth == 0) return {ConditionFit::refused, "a ')' that closes more than it opened"};
        if (--depth == 0 && i + 1 < n) closed_before_end = true;
        break;
      case ';':
        return {ConditionFit::refused, "a ';'"};
      case '-':
        if (next == '-') return {ConditionFit::refused, "a comment"};
        break;
      case '/':
        if (next == '*') return {ConditionFit::refused, "a comment"};
        break;
      case '$':
      case '@':
      case ':':
      case '#':
        return {ConditionFit::refused, "a named parameter (the store binds values to ? marks only)"};
      case '\0':
        return {ConditionFit::refused, "a NUL character"};
      default:
        break;
    }
    if (c != ' ' && c != '\t' && c != '\n' && c != '\r' && c != '\f' && c != '\v') blank = false;
  }
  if (depth != 0) return {ConditionFit::refused, "a '(' that is never closed"};
  if (blank) return {ConditionFit::refused, "no condition"};
  if (text.front() == '(' && !closed_before_end) return {ConditionFit::whole, nullptr, selects};
  if (std::all_of(text.begin(), text.end(), [](char d) { return d >= '0' && d <= '9'; })) {
    return {ConditionFit::whole, nullptr};  // "1", the text of a chain with no conditions
  }
  return {ConditionFit::needs_parentheses, nullptr, selects};
}

// "?,?,?" for n values.
inline std::string placeholders(std::size_t n) {
  std::string marks;
  marks.reserve(n * 2);
  for (std::size_t i = 0; i < n; ++i) {
    if (i > 0) marks += ',';
    marks += '?';
  }
  return marks;
}

// Tables and named indexes a saved store may hold besides `metadata`, whose
// columns grow; any other object in a loaded file (a view, a trigger, a table
// of another name) would run or answer in place of ours.
inline constexpr const char* kFixedObjects[] = {
    "docs",
    "metadata_multi",
    "doc_access",
    "idx_metadata_multi_key_value",
    "idx_metadata_multi_pos_key_value",
    "idx_doc_access_role",
    "idx_doc_access_pos_role",
};

}  // namespace tx::row_screen
