// What the glue files of tarnix_engine._row_screen share: the module's
// namespace, the class, the wrappers that give each member its lock and
// transaction, and the calls into the interpreter's sqlite3 connection.
#pragma once

#include "support/numpy.hpp"
#include "support/plain_class.hpp"
#include "support/support.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "screen/row_screen.hpp"

namespace tx::row_screen {

inline constexpr const char* kModuleName = "tarnix_engine._row_screen";
inline constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

// The module's namespace: every imported name (sqlite3, np, the filter and
// statement builders, write_config) and every module constant is looked up
// there at each use, so rebinding a module attribute changes later calls.
extern Namespace ns;
// RowScreen, once the module has made it.
extern PlainClass screen_class;

// How a member of the class is wrapped (see the module file).
enum class Wrap { none, locked, writes };

// A method descriptor of RowScreen for `def`, wrapped as asked.
Ref make_member(const PyMethodDef* def, Wrap wrap);
// Adds `value` to the class under `name`.
void add_to_class(const char* name, const Ref& value);
// A new private in-memory database that any thread may use.
Ref new_memory_connection();
// Sets the three fields of a store (connection, new lock, new cache).
void set_store_fields(PyObject* self, const Ref& conn);
// Forgets what the store's reads keep between writes (schema and ids).
void forget_reads(PyObject* self);
// Every registered id in position order, as a new list, from what the
// reads keep between writes when it still holds.
Ref registered_ids(PyObject* self);
// The positions granted to each distinct role of `roles` (a list of plain
// str), each as a bytes object of sorted, distinct int64, from what the reads
// keep between writes; roles not kept yet are read now and kept, unless
// `kept_only` (a filtered question runs its role sub-select rather than
// pay for the read). Nothing when that cannot be trusted (inside a
// transaction, a grant that is not an integer position) or is not read:
// the caller then runs the role sub-select in SQL.
std::optional<std::vector<Ref>> granted_positions(PyObject* self, PyObject* roles, bool kept_only = false);
// The number of documents n when every registered document has both its
// rows, metadata and docs, and no other row is there: both tables hold
// exactly the positions 0..n-1. Kept like the ids; nothing when not so, or
// when that cannot be trusted.
std::optional<std::int64_t> whole_count(PyObject* self);
// How many grant rows name any of `roles` (a list of plain str; a document
// granted to two of them counts twice), counted on the role index and kept
// like the ids; -1 for more roles than one statement takes.
std::int64_t grant_row_count(PyObject* self, PyObject* roles);
// Whether the position query by roles alone would pass the authorizer as
// the module holds it now (its own, with the three tables that query reads
// allowed), so that its answer may be given without running it.
bool roles_query_authorized();
// Installs the members each glue file defines.
void install_reads();
void install_schema();
void install_writes();
void install_folder();

// ---- statements -------------------------------------------------------------

inline Ref text(std::string_view s) {
  return Ref::steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

// target.execute(sql) / target.execute(sql, params); target is a connection
// or a cursor.
inline Ref execute(PyObject* target, PyObject* sql, PyObject* params = nullptr) {
  if (params == nullptr) return call_method(target, name<"execute">(), {sql});
  return call_method(target, name<"execute">(), {sql, params});
}
inline Ref execute(PyObject* target, std::string_view sql, PyObject* params = nullptr) {
  return execute(target, text(sql).get(), params);
}

// target.executemany(sql, rows)
inline Ref execute_many(PyObject* target, std::string_view sql, PyObject* rows) {
  return call_method(target, name<"executemany">(), {text(sql).get(), rows});
}

inline Ref fetchall(PyObject* cursor) { return call_method(cursor, name<"fetchall">(), {}); }

// The rows of a query as a list, each row unpacked into a tuple.
inline Ref query_rows(PyObject* target, std::string_view sql, PyObject* params = nullptr) {
  Ref cursor = execute(target, sql, params);
  Ref rows = fetchall(cursor.get());
  if (!PyList_Check(rows.get())) rows = Ref::steal(PySequence_List(rows.get()));
  return rows;
}

// row[i] of a fetched row.
inline Ref row_item(PyObject* row, Py_ssize_t i) { return Ref::steal(PySequence_GetItem(row, i)); }

// builder.build() as its (sql, params) pair.
inline std::pair<Ref, Ref> build(PyObject* builder) {
  Ref built = call_method(builder, name<"build">(), {});
  return unpack_pair(built.get());
}

inline Ref new_tuple(std::initializer_list<PyObject*> items) {
  Ref t = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
  Py_ssize_t i = 0;
  for (PyObject* o : items) PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(o));
  return t;
}

inline void list_append(PyObject* list, PyObject* item) {
  if (PyList_Append(list, item) < 0) rethrow_python();
}

inline Ref new_list() { return Ref::steal(PyList_New(0)); }

// The store's own connection, as it is set on the instance now.
inline Ref connection(PyObject* self) { return attr<"_conn">(self); }

}  // namespace tx::row_screen
