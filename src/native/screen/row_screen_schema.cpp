// The schema of a RowScreen, its scalar columns and multi-valued keys, its
// registered ids, its size and last id, and what the store keeps of them
// between writes.
#include "screen/row_screen_glue.hpp"

#include <optional>
#include <unordered_map>

namespace tx::row_screen {
namespace {

// ---- the schema and its memo ---------------------------------------------------
//
// A miss reads the schema before its query, and the query's authorizer
// expires every prepared statement of the connection, so the two schema
// reads would be prepared again on every miss. What they found is kept
// instead, stamped with the connection it came from, that connection's count
// of changed rows and its schema version, and read again when any of them
// differs, or after any write of the store; it is neither used nor kept
// inside a transaction, whose rollback would turn the version back. The ids
// are kept the same way, so that reading them costs a copy, not a scan, and
// so are the grants of every role a question has named, so that a question
// by roles alone needs no SQL until the next write.

struct Stamp {
  long long changes = 0;
  long long version = 0;
  bool operator==(const Stamp&) const = default;
};

constexpr long long kUnread = -2, kBroken = -1;

struct SchemaMemo {
  Ref watch;    // weak reference to the store; its callback drops the entry
  Ref conn;     // the connection the schema was read from
  Stamp stamp;
  Ref scalar;   // frozensets, copied into new sets for every caller; null
  Ref multi;    // until the schema is read
  Ref ids;      // a tuple in position order, copied into a new list for
                // every caller; null until the ids are read
  Ref tally;    // (number of documents, id at the last position or None);
                // null until read
  Ref grants;   // dict: role -> bytes of its sorted, distinct int64
                // positions, for the roles asked so far; null until then
  Ref grant_rows;  // dict: frozenset of roles -> count of their grant rows;
                   // null until one is counted
  long long whole = kUnread;  // n when metadata and docs both hold exactly
                              // the positions 0..n-1, kBroken when not
};

std::unordered_map<PyObject*, SchemaMemo>& schema_memos() {
  static auto* memos = new std::unordered_map<PyObject*, SchemaMemo>();
  return *memos;
}

// Removes the entry of `store` (if `watch` is given, only the entry it
// watches), destroying it after the map is consistent again: releasing its
// references may run any Python code.
void drop_memo(PyObject* store, PyObject* watch = nullptr) {
  auto& memos = schema_memos();
  auto it = memos.find(store);
  if (it == memos.end() || (watch != nullptr && it->second.watch.get() != watch)) return;
  SchemaMemo gone = std::move(it->second);
  memos.erase(it);
}

PyObject* memo_expired(PyObject* address, PyObject* watch) {
  drop_memo(static_cast<PyObject*>(PyLong_AsVoidPtr(address)), watch);
  if (PyErr_Occurred()) return nullptr;
  Py_RETURN_NONE;
}

PyMethodDef memo_expired_def = {"_schema_memo_expired", memo_expired, METH_O, nullptr};

long long as_long_long(PyObject* value) {
  const long long n = PyLong_AsLongLong(value);
  if (n == -1 && PyErr_Occurred()) rethrow_python();
  return n;
}

// The count of changed rows, when the connection is outside a transaction
// and tells it as an int; false otherwise (the memo is then not used).
bool outside_transaction(PyObject* conn, long long& changes) {
  try {
    Ref in_tx = Ref::steal(PyObject_GetAttr(conn, name<"in_transaction">()));
    const int open = PyObject_IsTrue(in_tx.get());
    if (open < 0) rethrow_python();
    if (open) return false;
    Ref total = Ref::steal(PyObject_GetAttr(conn, name<"total_changes">()));
    if (!PyLong_CheckExact(total.get())) return false;
    changes = as_long_long(total.get());
    return true;
  } catch (const PyErrorSet&) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
    PyErr_Clear();
    return false;
  }
}

// The stamp of the connection now, or nothing when it cannot be formed.
std::optional<Stamp> stamp_of(PyObject* conn) {
  Stamp stamp;
  if (!outside_transaction(conn, stamp.changes)) return std::nullopt;
  Ref row = call_method(execute(conn, "PRAGMA schema_version").get(), name<"fetchone">(), {});
  Ref version = row_item(row.get(), 0);
  if (!PyLong_CheckExact(version.get())) return std::nullopt;
  stamp.version = as_long_long(version.get());
  return stamp;
}

// Whether `memo` was read for `self` from `conn` as it is stamped now.
bool memo_holds(const SchemaMemo& memo, PyObject* self, PyObject* conn, const Stamp& stamp) {
  if (memo.conn.get() != conn || !(memo.stamp == stamp)) return false;
  PyObject* target = nullptr;
  if (PyWeakref_GetRef(memo.watch.get(), &target) < 0) rethrow_python();
  Py_XDECREF(target);
  return target == self;
}

// The entry kept for `self` when it was read from `conn` at `stamp`, else null.
const SchemaMemo* kept_memo(PyObject* self, PyObject* conn, const std::optional<Stamp>& stamp) {
  if (!stamp) return nullptr;
  auto& memos = schema_memos();
  auto it = memos.find(self);
  if (it == memos.end() || !memo_holds(it->second, self, conn, *stamp)) return nullptr;
  return &it->second;
}

std::pair<Ref, Ref> read_schema(PyObject* conn) {
  Ref scalar = Ref::steal(PySet_New(nullptr));
  Ref columns = query_rows(conn, "PRAGMA table_info(metadata)");
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(columns.get()); ++i) {
    if (PySet_Add(scalar.get(), row_item(PyList_GET_ITEM(columns.get(), i), 1).get()) < 0) rethrow_python();
  }
  if (PySet_Discard(scalar.get(), name<"position">()) < 0) rethrow_python();
  Ref multi = Ref::steal(PySet_New(nullptr));
  // The distinct keys, one index seek per key: a scan of every value
  // (SELECT DISTINCT key) costs as much as the position query itself.
  Ref keys = query_rows(conn,
                        "WITH RECURSIVE k(key) AS (SELECT MIN(key) FROM metadata_multi UNION ALL "
                        "SELECT (SELECT MIN(key) FROM metadata_multi WHERE key > k.key) FROM k "
                        "WHERE k.key IS NOT NULL) SELECT key FROM k WHERE key IS NOT NULL");
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
    if (PySet_Add(multi.get(), row_item(PyList_GET_ITEM(keys.get(), i), 0).get()) < 0) rethrow_python();
  }
  return {std::move(scalar), std::move(multi)};
}

// The entry of `self` for what is read from `conn` at `stamp`: the one kept
// if it still holds, else a new empty one in its place. None for a store
// that takes no weak reference: it is not remembered.
SchemaMemo* memo_for(PyObject* self, const Ref& conn, const Stamp& stamp) {
  if (!PyType_SUPPORTS_WEAKREFS(Py_TYPE(self))) return nullptr;
  auto& memos = schema_memos();
  auto it = memos.find(self);
  if (it != memos.end() && memo_holds(it->second, self, conn.get(), stamp)) return &it->second;
  SchemaMemo memo;
  memo.conn = conn;
  memo.stamp = stamp;
  Ref address = Ref::steal(PyLong_FromVoidPtr(self));
  Ref callback = Ref::steal(PyCFunction_NewEx(&memo_expired_def, address.get(), nullptr));
  memo.watch = Ref::steal(PyWeakref_NewRef(self, callback.get()));
  drop_memo(self);
  // Releasing the old entry may have run code that made another: it is kept
  // only if it is for this very read.
  auto [at, made] = schema_memos().emplace(self, std::move(memo));
  if (!made && !memo_holds(at->second, self, conn.get(), stamp)) return nullptr;
  return &at->second;
}

void remember_schema(PyObject* self, const Ref& conn, const Stamp& stamp, PyObject* scalar, PyObject* multi) {
  Ref frozen_scalar = Ref::steal(PyFrozenSet_New(scalar));
  Ref frozen_multi = Ref::steal(PyFrozenSet_New(multi));
  SchemaMemo* memo = memo_for(self, conn, stamp);
  if (memo == nullptr) return;
  memo->scalar = std::move(frozen_scalar);
  memo->multi = std::move(frozen_multi);
}

PyObject* schema(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    no_arguments("schema", nargs, kwnames);
    Ref conn = connection(self);
    const std::optional<Stamp> stamp = stamp_of(conn.get());
    if (const SchemaMemo* memo = kept_memo(self, conn.get(), stamp); memo && memo->scalar) {
      // Held across the copies, which may run code that drops the entry.
      Ref scalar = memo->scalar;
      Ref multi = memo->multi;
      Ref a = Ref::steal(PySet_New(scalar.get()));
      Ref b = Ref::steal(PySet_New(multi.get()));
      return new_tuple({a.get(), b.get()});
    }
    auto [scalar, multi] = read_schema(conn.get());
    if (stamp) remember_schema(self, conn, *stamp, scalar.get(), multi.get());
    return new_tuple({scalar.get(), multi.get()});
  });
}

PyMethodDef schema_def = {"schema", as_cfunction(schema), kFastcall,
                          "schema($self, /)\n--\n\n"
     "(scalar metadata columns, multi-valued keys), as two new sets."};

// (size, id at the last position or None): what a wrapper compares with its
// inner index before it trusts the store's positions, so kept like the
// schema and read again only after a write.
PyObject* tally(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    no_arguments("_tally", nargs, kwnames);
    Ref conn = connection(self);
    const std::optional<Stamp> stamp = stamp_of(conn.get());
    if (const SchemaMemo* memo = kept_memo(self, conn.get(), stamp); memo && memo->tally) return memo->tally;
    Ref count = row_item(call_method(execute(conn.get(), "SELECT COUNT(*) FROM metadata").get(),
                                     name<"fetchone">(), {}).get(), 0);
    Ref last_row = call_method(execute(conn.get(), "SELECT id FROM docs ORDER BY position DESC LIMIT 1").get(),
                               name<"fetchone">(), {});
    Ref last = last_row.is_none() ? Ref::none() : row_item(last_row.get(), 0);
    Ref out = new_tuple({Ref::steal(PyNumber_Long(count.get())).get(), last.get()});
    if (stamp) {
      if (SchemaMemo* memo = memo_for(self, conn, *stamp)) memo->tally = out;
    }
    return out;
  });
}

PyMethodDef tally_def = {"_tally", as_cfunction(tally), kFastcall, nullptr};

// The registered positions granted to each of `roles` (distinct plain str),
// read in one statement per SQL_CHUNK roles, into `into` (role -> bytes of
// sorted, distinct int64); a role with no grant gets an empty entry. Only
// positions with their metadata and docs rows count, as in the position
// query, whatever a loaded file or a direct write left in doc_access;
// `whole` is the document count when those are exactly 0..n-1. False,
// with `into` incomplete, when the answer is not what such a read gives.
bool read_grants(PyObject* conn, PyObject* roles, PyObject* into, std::optional<std::int64_t> whole) {
  Ref pieces = call(ns.get<"chunks">().get(), {roles, ns.get<"SQL_CHUNK">().get()});
  Ref it = Ref::steal(PyObject_GetIter(pieces.get()));
  while (PyObject* raw = PyIter_Next(it.get())) {
    Ref chunk = Ref::steal(raw);
    Ref piece = Ref::steal(PySequence_List(chunk.get()));
    const Py_ssize_t n = PyList_GET_SIZE(piece.get());
    if (n == 0) continue;
    // group_concat packs a role's positions into one text, so no
    // interpreter object is made per grant. When the documents are exactly
    // 0..n-1, a grant is of a registered document when its position lies
    // there, which is tested here rather than by two seeks per grant.
    std::string sql =
        whole ? "SELECT a.role, group_concat(a.position) FROM doc_access a WHERE typeof(a.position) = 'integer' "
                "AND a.role IN ("
              : "SELECT a.role, group_concat(m.position) FROM doc_access a JOIN metadata m ON m.position = a.position "
                "JOIN docs d ON d.position = m.position WHERE a.role IN (";
    sql += placeholders(static_cast<std::size_t>(n));
    sql += ") GROUP BY a.role";
    Ref rows = query_rows(conn, sql, piece.get());
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows.get()); ++i) {
      PyObject* row = PyList_GET_ITEM(rows.get(), i);
      Ref role = row_item(row, 0);
      Ref packed = row_item(row, 1);
      if (!PyUnicode_CheckExact(role.get()) || !PyUnicode_CheckExact(packed.get())) return false;
      const std::string_view text = utf8_view(packed.get());
      const std::size_t count = count_packed(text);
      Ref bytes = Ref::steal(
          PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count * sizeof(std::int64_t))));
      auto* values = reinterpret_cast<std::int64_t*>(PyBytes_AS_STRING(bytes.get()));
      if (!parse_packed(text, values)) return false;
      std::size_t kept = count;
      if (whole) {
        kept = static_cast<std::size_t>(
            std::remove_if(values, values + count, [&](std::int64_t p) { return p < 0 || p >= *whole; }) - values);
      }
      kept = sort_unique(values, kept);
      if (kept != count) {
        bytes = Ref::steal(PyBytes_FromStringAndSize(PyBytes_AS_STRING(bytes.get()),
                                                     static_cast<Py_ssize_t>(kept * sizeof(std::int64_t))));
      }
      if (PyDict_SetItem(into, role.get(), bytes.get()) < 0) rethrow_python();
    }
    Ref none = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (PyDict_SetDefaultRef(into, PyList_GET_ITEM(piece.get(), i), none.get(), nullptr) < 0) rethrow_python();
    }
  }
  if (PyErr_Occurred()) rethrow_python();
  return true;
}

}  // namespace

void forget_reads(PyObject* self) { drop_memo(self); }

Ref registered_ids(PyObject* self) {
  Ref conn = connection(self);
  const std::optional<Stamp> stamp = stamp_of(conn.get());
  if (const SchemaMemo* memo = kept_memo(self, conn.get(), stamp); memo && memo->ids) {
    Ref held = memo->ids;  // held across the copy
    return Ref::steal(PySequence_List(held.get()));
  }
  Ref rows = query_rows(conn.get(), "SELECT id FROM docs ORDER BY position");
  const Py_ssize_t n = PyList_GET_SIZE(rows.get());
  Ref out = Ref::steal(PyList_New(n));
  for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(out.get(), i, row_item(PyList_GET_ITEM(rows.get(), i), 0).release());
  if (stamp) {
    Ref kept = Ref::steal(PyList_AsTuple(out.get()));
    if (SchemaMemo* memo = memo_for(self, conn, *stamp)) memo->ids = std::move(kept);
  }
  return out;
}

std::optional<std::vector<Ref>> granted_positions(PyObject* self, PyObject* roles, bool kept_only) {
  Ref conn = connection(self);
  const std::optional<Stamp> stamp = stamp_of(conn.get());
  if (!stamp) return std::nullopt;
  SchemaMemo* memo = memo_for(self, conn, *stamp);
  if (memo == nullptr) return std::nullopt;
  if (!memo->grants) memo->grants = Ref::steal(PyDict_New());
  // Held for the whole call: the reads below run code that may drop the
  // entry. A dict made for this stamp only ever holds what was read at it.
  Ref grants = memo->grants;
  // The distinct roles, in their first order: compared in turn when few,
  // through a set when many.
  const Py_ssize_t given = PyList_GET_SIZE(roles);
  std::vector<PyObject*> distinct;
  Ref seen = given > 16 ? Ref::steal(PySet_New(nullptr)) : Ref();
  for (Py_ssize_t i = 0; i < given; ++i) {
    PyObject* role = PyList_GET_ITEM(roles, i);
    bool repeated = false;
    if (seen) {
      const int found = PySet_Contains(seen.get(), role);
      if (found < 0 || (!found && PySet_Add(seen.get(), role) < 0)) rethrow_python();
      repeated = found != 0;
    } else {
      for (PyObject* d : distinct) {
        const int same = PyObject_RichCompareBool(d, role, Py_EQ);
        if (same < 0) rethrow_python();
        if ((repeated = same != 0)) break;
      }
    }
    if (!repeated) distinct.push_back(role);
  }
  Ref missing = new_list();
  for (PyObject* role : distinct) {
    const int held = PyDict_Contains(grants.get(), role);
    if (held < 0) rethrow_python();
    if (!held) list_append(missing.get(), role);
  }
  if (PyList_GET_SIZE(missing.get()) > 0 && kept_only) return std::nullopt;
  if (PyList_GET_SIZE(missing.get()) > 0) {
    // Read into a dict of its own and kept only when whole.
    Ref fresh = Ref::steal(PyDict_New());
    if (!read_grants(conn.get(), missing.get(), fresh.get(), whole_count(self))) return std::nullopt;
    if (PyDict_Update(grants.get(), fresh.get()) < 0) rethrow_python();
  }
  std::vector<Ref> out;
  out.reserve(distinct.size());
  for (PyObject* role : distinct) {
    PyObject* bytes = nullptr;
    if (PyDict_GetItemRef(grants.get(), role, &bytes) < 0) rethrow_python();
    if (bytes == nullptr) return std::nullopt;  // every role was put in above
    out.push_back(Ref::steal(bytes));
  }
  return out;
}

std::optional<std::int64_t> whole_count(PyObject* self) {
  Ref conn = connection(self);
  const std::optional<Stamp> stamp = stamp_of(conn.get());
  if (!stamp) return std::nullopt;
  SchemaMemo* memo = memo_for(self, conn, *stamp);
  if (memo == nullptr) return std::nullopt;
  if (memo->whole != kUnread) {
    if (memo->whole == kBroken) return std::nullopt;
    return memo->whole;
  }
  // Two row counts and four ends of the row keys, in one statement: equal
  // counts of distinct integers spanning 0..n-1 are the same set. The keys
  // are distinct integers only while both tables are the store's own, with
  // the position as their row id: a table made again on the connection
  // may hold a position twice, or one that is no integer.
  Ref rows = query_rows(conn.get(),
                        "SELECT (SELECT COUNT(*) FROM metadata), (SELECT MIN(position) FROM metadata), "
                        "(SELECT MAX(position) FROM metadata), (SELECT COUNT(*) FROM docs), "
                        "(SELECT MIN(position) FROM docs), (SELECT MAX(position) FROM docs), "
                        "(SELECT COUNT(*) FROM sqlite_master WHERE type = 'table' AND ("
                        "(name = 'docs' AND sql = 'CREATE TABLE docs (position INTEGER PRIMARY KEY, id TEXT UNIQUE "
                        "NOT NULL)') OR (name = 'metadata' AND substr(sql, 1, 77) = 'CREATE TABLE metadata "
                        "(position INTEGER PRIMARY KEY REFERENCES docs(position)' AND instr(upper(sql), 'WITHOUT "
                        "ROWID') = 0)))");
  PyObject* row = PyList_GET_ITEM(rows.get(), 0);
  Ref own_tables = row_item(row, 6);
  bool whole = PyLong_CheckExact(own_tables.get()) && to_int64(own_tables.get()) == 2;
  std::int64_t counts[2] = {0, 0};
  for (int t = 0; t < 2; ++t) {
    Ref count = row_item(row, 3 * t), lowest = row_item(row, 3 * t + 1), highest = row_item(row, 3 * t + 2);
    counts[t] = to_int64(count.get());
    if (counts[t] == 0) continue;
    if (!PyLong_CheckExact(lowest.get()) || !PyLong_CheckExact(highest.get()) ||
        !is_compact(counts[t], to_int64(lowest.get()), to_int64(highest.get()))) {
      whole = false;
    }
  }
  whole = whole && counts[0] == counts[1];
  // The reads run code that may have replaced the entry; kept only in the
  // one made for this stamp.
  if (SchemaMemo* again = memo_for(self, conn, *stamp)) again->whole = whole ? counts[0] : kBroken;
  if (!whole) return std::nullopt;
  return counts[0];
}

std::int64_t grant_row_count(PyObject* self, PyObject* roles) {
  Ref chunk = ns.get<"SQL_CHUNK">();
  if (PyList_GET_SIZE(roles) > as_long_long(chunk.get())) return -1;
  Ref conn = connection(self);
  const std::optional<Stamp> stamp = stamp_of(conn.get());
  Ref key = Ref::steal(PyFrozenSet_New(roles));
  if (const SchemaMemo* memo = kept_memo(self, conn.get(), stamp); memo && memo->grant_rows) {
    Ref held = memo->grant_rows;  // held across the lookup, which may run code
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(held.get(), key.get(), &found) < 0) rethrow_python();
    if (found) return to_int64(Ref::steal(found).get());
  }
  std::string sql = "SELECT COUNT(*) FROM doc_access WHERE role IN (";
  sql += placeholders(static_cast<std::size_t>(PyList_GET_SIZE(roles)));
  sql += ")";
  Ref rows = query_rows(conn.get(), sql, roles);
  Ref count = row_item(PyList_GET_ITEM(rows.get(), 0), 0);
  const std::int64_t n = to_int64(count.get());
  if (stamp) {
    if (SchemaMemo* memo = memo_for(self, conn, *stamp)) {
      if (!memo->grant_rows) memo->grant_rows = Ref::steal(PyDict_New());
      Ref held = memo->grant_rows;
      // A bound on what many different role sets between two writes keep.
      if (PyDict_GET_SIZE(held.get()) >= 1024) PyDict_Clear(held.get());
      if (PyDict_SetItem(held.get(), key.get(), count.get()) < 0) rethrow_python();
    }
  }
  return n;
}

void install_schema() {
  add_to_class("schema", make_member(&schema_def, Wrap::locked));
  add_to_class("_tally", make_member(&tally_def, Wrap::locked));
}

}  // namespace tx::row_screen
