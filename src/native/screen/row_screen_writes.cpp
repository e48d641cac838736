// The write side of RowScreen: registering ids at append-order positions,
// metadata with patch semantics, deletes, compaction and role grants. Each
// public write runs inside the transaction its wrapper opens; the private
// helpers run only inside such a write.
#include "screen/row_screen_glue.hpp"

namespace tx::row_screen {
namespace {

// A copy of a list argument, so that Python code run by the binding (an
// adapter, a __conform__) cannot change what is being walked.
Ref snapshot(PyObject* list) { return Ref::steal(PyList_GetSlice(list, 0, PyList_GET_SIZE(list))); }

Ref new_cursor(PyObject* self) {
  Ref conn = connection(self);
  return call_method(conn.get(), name<"cursor">(), {});
}

void commit(PyObject* self) {
  Ref conn = connection(self);
  call_method(conn.get(), name<"commit">(), {});
}

// Calls visit(row) for every row of `select` over `docs` restricted to the
// ids, one statement per piece of SQL_CHUNK ids.
template <class Visit>
void lookup_ids(PyObject* cursor, PyObject* ids, std::initializer_list<const char*> columns, Visit&& visit) {
  Ref pieces = call(ns.get<"chunks">().get(), {ids, ns.get<"SQL_CHUNK">().get()});
  Ref it = Ref::steal(PyObject_GetIter(pieces.get()));
  while (PyObject* raw = PyIter_Next(it.get())) {
    Ref piece = Ref::steal(raw);
    Ref query = call(ns.get<"Query">().get(), {py_str("docs").get()});
    Ref select = attr<"select">(query.get());
    Ref names = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(columns.size())));
    Py_ssize_t i = 0;
    for (const char* c : columns) PyTuple_SET_ITEM(names.get(), i++, py_str(c).release());
    Ref::steal(PyObject_Call(select.get(), names.get(), nullptr));
    call_method(query.get(), name<"where_in">(), {py_str("id").get(), piece.get()});
    auto [sql, params] = build(query.get());
    Ref rows = fetchall(execute(cursor, sql.get(), params.get()).get());
    Ref walk = Ref::steal(PyObject_GetIter(rows.get()));
    while (PyObject* row = PyIter_Next(walk.get())) visit(Ref::steal(row));
  }
  if (PyErr_Occurred()) rethrow_python();
}

bool contains(PyObject* container, PyObject* key) {
  const int found = PySequence_Contains(container, key);
  if (found < 0) rethrow_python();
  return found == 1;
}

// The printable form of a list of ids in a message.
[[noreturn]] void raise_with_ids(const char* before, PyObject* ids, const char* after) {
  Ref shown = Ref::steal(PyObject_Repr(ids));
  Ref message = Ref::steal(PyUnicode_FromFormat("%s%U%s", before, shown.get(), after));
  PyErr_SetObject(PyExc_ValueError, message.get());
  rethrow_python();
}

// ---- private helpers ----------------------------------------------------------

PyObject* positions_for(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    static const auto sig = signature<1>("_positions_for", {"ids"}, 1);
    const auto a = sig.bind(args, nargs, kwnames);
    require_exact(a[0], &PyList_Type, "ids", false);
    Ref ids = snapshot(a[0]);
    Ref cursor = new_cursor(self);
    Ref pos_by_id = Ref::steal(PyDict_New());
    lookup_ids(cursor.get(), ids.get(), {"id", "position"}, [&](Ref row) {
      auto [id, position] = unpack_pair(row.get());
      if (PyObject_SetItem(pos_by_id.get(), id.get(), position.get()) < 0) rethrow_python();
    });
    const Py_ssize_t n = PyList_GET_SIZE(ids.get());
    Ref missing = new_list();
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* id = PyList_GET_ITEM(ids.get(), i);
      expect_type(id, &PyUnicode_Type);
      if (!contains(pos_by_id.get(), id)) list_append(missing.get(), id);
    }
    if (PyList_GET_SIZE(missing.get()) > 0) raise_with_ids("IDs not in filter: ", missing.get(), ". Add them first.");
    Ref out = Ref::steal(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      Ref position = Ref::steal(PyObject_GetItem(pos_by_id.get(), PyList_GET_ITEM(ids.get(), i)));
      PyList_SET_ITEM(out.get(), i, position.release());
    }
    return out;
  });
}

PyObject* ensure_columns(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    static const auto sig = signature<1>("_ensure_columns", {"keys"}, 1);
    const auto a = sig.bind(args, nargs, kwnames);
    require_exact(a[0], &PySet_Type, "keys", false);
    Ref cursor = new_cursor(self);
    Ref existing = Ref::steal(PySet_New(nullptr));
    Ref columns = query_rows(cursor.get(), "PRAGMA table_info(metadata)");
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(columns.get()); ++i) {
      if (PySet_Add(existing.get(), row_item(PyList_GET_ITEM(columns.get(), i), 1).get()) < 0) rethrow_python();
    }
    Ref fresh = Ref::steal(PySequence_List(Ref::steal(PyNumber_Subtract(a[0], existing.get())).get()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(fresh.get()); ++i) {
      PyObject* key = PyList_GET_ITEM(fresh.get(), i);
      call(ns.get<"validate_identifier">().get(), {key});
      Ref statement = call(ns.get<"AddColumn">().get(), {py_str("metadata").get(), key});
      Ref sql = call_method(statement.get(), name<"build">(), {});
      execute(cursor.get(), sql.get());
    }
    return Ref::none();
  });
}

bool is_multi_valued(PyObject* value) {
  return PyList_Check(value) || PyTuple_Check(value) || PySet_Check(value);
}

// ---- checking metadata before anything is written -------------------------------
//
// What a write's metadata would fail on half-way (a value the database cannot
// bind, a column it cannot add) or would spoil for every later filter (a key
// filters never reach, a key held both as a scalar and as a list) is refused
// while nothing is written yet, with words that say what to change.

// map[name.lower()] = name, keeping a name already held under that form.
void hold(PyObject* map, PyObject* key) {
  Ref low = lowered(key);
  if (PyDict_SetDefaultRef(map, low.get(), key, nullptr) < 0) rethrow_python();
}

// The name held under key.lower(), or null.
Ref held_as(PyObject* map, PyObject* key) {
  Ref low = lowered(key);
  PyObject* found = nullptr;
  if (PyDict_GetItemRef(map, low.get(), &found) < 0) rethrow_python();
  return found ? Ref::steal(found) : Ref{};
}

Ref lowered_map(PyObject* names) {
  Ref map = Ref::steal(PyDict_New());
  Ref walk = Ref::steal(PyObject_GetIter(names));
  while (PyObject* raw = PyIter_Next(walk.get())) {
    Ref item = Ref::steal(raw);
    if (PyUnicode_Check(item.get())) hold(map.get(), item.get());
  }
  if (PyErr_Occurred()) rethrow_python();
  return map;
}

void refuse_dict(PyObject* key, PyObject* value) {
  if (!PyDict_Check(value)) return;
  raise_format(PyExc_TypeError,
               "Metadata key %R is given a dict, which the store cannot hold: give a scalar or a list of "
               "scalars, or spread the dict over keys of their own.",
               key);
}

// Filters read `id` and `position`, in any letter case, as the document's own
// id and position, so a metadata column of that name could never be filtered
// on; `position` is the row key besides, and writing it would move the row.
void refuse_reserved(PyObject* key) {
  Ref low = lowered(key);
  if (PyUnicode_CompareWithASCIIString(low.get(), "position") == 0) {
    raise_format(PyExc_ValueError, "Metadata key %R is reserved: it is the store's row key. Use another name.", key);
  }
  if (PyUnicode_CompareWithASCIIString(low.get(), "id") == 0) {
    raise_format(PyExc_ValueError,
                 "Metadata key %R is reserved: filters on it compare the document id. Use another name.", key);
  }
}

// A word SQLite keeps for itself cannot name a column unquoted: the ALTER
// TABLE that would add it is compiled (EXPLAIN runs nothing) to find out.
void refuse_keyword(PyObject* cursor, PyObject* key) {
  Ref statement = call(ns.get<"AddColumn">().get(), {py_str("metadata").get(), key});
  Ref sql = call_method(statement.get(), name<"build">(), {});
  Ref probe = Ref::steal(PyUnicode_FromFormat("EXPLAIN %U", sql.get()));
  try {
    fetchall(execute(cursor, probe.get()).get());
  } catch (const PyErrorSet&) {
    Ref operational = attr<"OperationalError">(ns.get<"sqlite3">().get());
    if (!PyErr_ExceptionMatches(operational.get())) throw;
    PyObject* pending = PyErr_GetRaisedException();
    Ref said = Ref::steal(PyObject_Str(pending));
    if (utf8_view(said.get()).find("syntax error") == std::string_view::npos) {
      PyErr_SetRaisedException(pending);
      throw;
    }
    Py_DECREF(pending);
    raise_format(PyExc_ValueError,
                 "Metadata key %R is an SQL keyword, which SQLite does not take as a column name. "
                 "Use another name, e.g. '%U_'.",
                 key, key);
  }
}

// The metadata of one write, split by kind and checked; nothing is written.
struct SplitMetadata {
  Ref scalar_metas = new_list();                             // one dict per pair
  Ref multi_keys_by_position = Ref::steal(PyDict_New());     // position -> set of keys
  Ref multi_rows = new_list();                               // (position, key, element)
  Ref all_keys = Ref::steal(PySet_New(nullptr));             // every scalar key
  Ref key_order = new_list();                                // the same, first seen first
};

SplitMetadata split_metadata(PyObject* self, PyObject* cursor, PyObject* positions, PyObject* metas,
                             Py_ssize_t n) {
  SplitMetadata out;
  // One name held as a scalar column and as a multi-valued key, letter case
  // aside, makes every filter on it refused for every caller, so a write may
  // not put a value of the other kind under a key held already, nor give
  // one key both kinds in one call.
  auto [scalar_columns, multi_keys] = unpack_pair(call_method(self, name<"schema">(), {}).get());
  Ref scalar_held = lowered_map(scalar_columns.get());
  Ref multi_held = lowered_map(multi_keys.get());
  Ref column_by_lower = lowered_map(scalar_columns.get());
  hold(column_by_lower.get(), name<"position">());

  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* position = PyList_GET_ITEM(positions, i);
    Ref items = call_method(PyList_GET_ITEM(metas, i), name<"items">(), {});
    Ref scalar = Ref::steal(PyDict_New());
    Ref walk = Ref::steal(PyObject_GetIter(items.get()));
    while (PyObject* raw = PyIter_Next(walk.get())) {
      Ref item = Ref::steal(raw);
      auto [key, value] = unpack_pair(item.get());
      if (is_multi_valued(value.get())) {
        // Bound as a value: anything but text would be stored as a key no
        // text or dict filter can name, and would break their schema reads.
        if (!PyUnicode_Check(key.get())) {
          raise_format(PyExc_TypeError, "Expected str, got %s", type_name(key.get()));
        }
        if (Ref other = held_as(scalar_held.get(), key.get())) {
          raise_format(PyExc_ValueError,
                       "Metadata key %R is given a list, but %R holds scalar values: every filter on it would "
                       "be ambiguous. Give a scalar, or put the list under another key.",
                       key.get(), other.get());
        }
        hold(multi_held.get(), key.get());
        PyObject* keys = nullptr;
        if (PyDict_GetItemRef(out.multi_keys_by_position.get(), position, &keys) < 0) rethrow_python();
        Ref held = keys ? Ref::steal(keys) : Ref::steal(PySet_New(nullptr));
        if (!keys && PyDict_SetItem(out.multi_keys_by_position.get(), position, held.get()) < 0) rethrow_python();
        if (PySet_Add(held.get(), key.get()) < 0) rethrow_python();
        Ref elements = Ref::steal(PyObject_GetIter(value.get()));
        while (PyObject* element = PyIter_Next(elements.get())) {
          Ref e = Ref::steal(element);
          refuse_dict(key.get(), e.get());
          list_append(out.multi_rows.get(), new_tuple({position, key.get(), e.get()}).get());
        }
        if (PyErr_Occurred()) rethrow_python();
      } else {
        if (PyUnicode_Check(key.get())) {
          refuse_reserved(key.get());
          if (Ref other = held_as(multi_held.get(), key.get())) {
            raise_format(PyExc_ValueError,
                         "Metadata key %R is given a scalar, but %R holds lists: every filter on it would be "
                         "ambiguous. Give a list (an empty one clears it), or use another key.",
                         key.get(), other.get());
          }
          hold(scalar_held.get(), key.get());
        }
        refuse_dict(key.get(), value.get());
        if (PyObject_SetItem(scalar.get(), key.get(), value.get()) < 0) rethrow_python();
        const int seen = PySet_Contains(out.all_keys.get(), key.get());
        if (seen < 0) rethrow_python();
        if (!seen) {
          if (PySet_Add(out.all_keys.get(), key.get()) < 0) rethrow_python();
          list_append(out.key_order.get(), key.get());
        }
      }
    }
    if (PyErr_Occurred()) rethrow_python();
    list_append(out.scalar_metas.get(), scalar.get());
  }

  // Every key is spliced into the UPDATE text, so each is checked, not only
  // the ones that become new columns.
  PyObject* keys = out.key_order.get();
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys); ++i) {
    call(ns.get<"validate_identifier">().get(), {PyList_GET_ITEM(keys, i)});
  }
  // SQLite column names ignore letter case: a new key spelled like a column
  // (or like another new key) but for case would fail as a duplicate.
  Ref columns = Ref::steal(PySet_New(scalar_columns.get()));
  Ref new_by_lower = Ref::steal(PyDict_New());
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys); ++i) {
    PyObject* key = PyList_GET_ITEM(keys, i);
    const int exists = PySet_Contains(columns.get(), key);
    if (exists < 0) rethrow_python();
    if (exists) continue;
    if (Ref column = held_as(column_by_lower.get(), key)) {
      raise_format(PyExc_ValueError,
                   "Metadata key %R differs only in letter case from the column %R, and SQLite column names "
                   "ignore case. Spell it %R.",
                   key, column.get(), column.get());
    }
    if (Ref first = held_as(new_by_lower.get(), key)) {
      raise_format(PyExc_ValueError,
                   "Metadata keys %R and %R differ only in letter case, and SQLite column names ignore case. "
                   "Use one spelling.",
                   first.get(), key);
    }
    hold(new_by_lower.get(), key);
    refuse_keyword(cursor, key);
  }
  return out;
}

PyObject* set_metadata(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    static const auto sig = signature<2>("_set_metadata", {"positions", "metas"}, 2);
    const auto a = sig.bind(args, nargs, kwnames);
    require_exact(a[0], &PyList_Type, "positions", false);
    require_exact(a[1], &PyList_Type, "metas", false);
    Ref positions = snapshot(a[0]);
    Ref metas = snapshot(a[1]);
    const Py_ssize_t n = std::min(PyList_GET_SIZE(positions.get()), PyList_GET_SIZE(metas.get()));
    Ref cursor = new_cursor(self);
    SplitMetadata split = split_metadata(self, cursor.get(), positions.get(), metas.get(), n);
    Ref& multi_keys_by_position = split.multi_keys_by_position;
    Ref& multi_rows = split.multi_rows;
    Ref& scalar_metas = split.scalar_metas;
    Ref& all_keys = split.all_keys;

    call_method(self, name<"_ensure_columns">(), {all_keys.get()});

    // Consecutive documents that write the same keys share one statement
    // text; each run of them is one batched execution, in document order.
    Ref run_sql;
    Ref run_rows = new_list();
    auto flush = [&] {
      if (run_sql && PyList_GET_SIZE(run_rows.get()) > 0) {
        call_method(cursor.get(), name<"executemany">(), {run_sql.get(), run_rows.get()});
      }
      run_rows = new_list();
    };
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* scalar = PyList_GET_ITEM(scalar_metas.get(), i);
      if (PyDict_GET_SIZE(scalar) == 0) continue;
      Ref update = call(ns.get<"Update">().get(), {py_str("metadata").get()});
      Ref set = attr<"set">(update.get());
      Ref empty = Ref::steal(PyTuple_New(0));
      Ref::steal(PyObject_Call(set.get(), empty.get(), scalar));
      call_method(update.get(), name<"where">(), {py_str("position = ?").get(), PyList_GET_ITEM(positions.get(), i)});
      auto [sql, params] = build(update.get());
      if (!run_sql || !compare(sql.get(), run_sql.get(), Py_EQ)) {
        flush();
        run_sql = sql;
      }
      list_append(run_rows.get(), Ref::steal(PySequence_Tuple(params.get())).get());
    }
    flush();

    if (PyDict_GET_SIZE(multi_keys_by_position.get()) > 0) {
      // The keys given replace all of that document's values for them.
      Ref cleared = new_list();
      Ref order = Ref::steal(PyDict_Items(multi_keys_by_position.get()));
      for (Py_ssize_t i = 0; i < PyList_GET_SIZE(order.get()); ++i) {
        PyObject* entry = PyList_GET_ITEM(order.get(), i);
        PyObject* position = PyTuple_GET_ITEM(entry, 0);
        Ref position_keys = Ref::steal(PySequence_List(PyTuple_GET_ITEM(entry, 1)));
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(position_keys.get()); ++j) {
          list_append(cleared.get(), new_tuple({position, PyList_GET_ITEM(position_keys.get(), j)}).get());
        }
      }
      execute_many(cursor.get(), "DELETE FROM metadata_multi WHERE position = ? AND key = ?", cleared.get());
      execute_many(cursor.get(), "INSERT OR IGNORE INTO metadata_multi (position, key, value) VALUES (?, ?, ?)",
                   multi_rows.get());
    }
    return Ref::none();
  });
}

// ---- public writes ------------------------------------------------------------

// [(p,) for p in positions]
Ref single_rows(PyObject* positions) {
  const Py_ssize_t n = PyList_GET_SIZE(positions);
  Ref rows = Ref::steal(PyList_New(n));
  for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(rows.get(), i, new_tuple({PyList_GET_ITEM(positions, i)}).release());
  return rows;
}

// Pairing stops at the shorter list, so a dict too many or too few would be
// dropped without a word.
void require_one_dict_per_id(PyObject* metadata, PyObject* ids) {
  const Py_ssize_t m = PyList_GET_SIZE(metadata);
  const Py_ssize_t n = PyList_GET_SIZE(ids);
  if (m != n) raise_format(PyExc_ValueError, "metadata length %zd != ids length %zd", m, n);
}

Ref resolved_positions(PyObject* self, PyObject* ids) {
  Ref positions = call_method(self, name<"_positions_for">(), {ids});
  if (!PyList_Check(positions.get())) positions = Ref::steal(PySequence_List(positions.get()));
  return positions;
}

PyObject* add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    static const auto sig = signature<2>("add", {"ids", "metadata=None"}, 1);
    const auto a = sig.bind(args, nargs, kwnames);
    require_exact(a[0], &PyList_Type, "ids", false);
    PyObject* metadata = a[1];
    require_exact(metadata, &PyList_Type, "metadata", true);
    Ref ids = snapshot(a[0]);
    if (metadata != Py_None) require_one_dict_per_id(metadata, ids.get());
    Ref cursor = new_cursor(self);

    Ref existing = Ref::steal(PySet_New(nullptr));
    lookup_ids(cursor.get(), ids.get(), {"id"}, [&](Ref row) {
      if (PySet_Add(existing.get(), row_item(row.get(), 0).get()) < 0) rethrow_python();
    });
    const Py_ssize_t n = PyList_GET_SIZE(ids.get());
    Ref dupes = new_list();
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* id = PyList_GET_ITEM(ids.get(), i);
      expect_type(id, &PyUnicode_Type);
      if (contains(existing.get(), id)) list_append(dupes.get(), id);
    }
    if (PyList_GET_SIZE(dupes.get()) > 0) {
      raise_with_ids("IDs already in filter: ", dupes.get(), ". Use update() to replace.");
    }
    // The unique id column would refuse the second one, but only after
    // the first was inserted, and in the database's words.
    Ref seen = Ref::steal(PySet_New(nullptr));
    Ref repeated = new_list();
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* id = PyList_GET_ITEM(ids.get(), i);
      if (id == Py_None) continue;  // refused by the NOT NULL constraint
      if (!contains(seen.get(), id)) {
        if (PySet_Add(seen.get(), id) < 0) rethrow_python();
      } else if (!contains(repeated.get(), id)) {
        list_append(repeated.get(), id);
      }
    }
    if (PyList_GET_SIZE(repeated.get()) > 0) {
      raise_with_ids("IDs repeated in this add: ", repeated.get(), ". Give each id once.");
    }

    Ref next = row_item(call_method(execute(cursor.get(), "SELECT COALESCE(MAX(position), -1) + 1 FROM docs").get(),
                                    name<"fetchone">(), {})
                            .get(),
                        0);
    const std::int64_t first = to_int64(next.get());
    Ref positions = Ref::steal(PyList_New(n));
    Ref doc_rows = Ref::steal(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      Ref position = py_long(first + i);
      PyList_SET_ITEM(doc_rows.get(), i, new_tuple({position.get(), PyList_GET_ITEM(ids.get(), i)}).release());
      PyList_SET_ITEM(positions.get(), i, position.release());
    }
    // Metadata the store would refuse is refused before the ids go in.
    if (metadata != Py_None) split_metadata(self, cursor.get(), positions.get(), metadata, n);
    execute_many(cursor.get(), "INSERT INTO docs (position, id) VALUES (?, ?)", doc_rows.get());

    Ref metas;
    if (metadata == Py_None) {
      metas = Ref::steal(PyList_New(n));
      for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(metas.get(), i, Ref::steal(PyDict_New()).release());
    } else {
      metas = Ref::borrow(metadata);
    }
    execute_many(cursor.get(), "INSERT OR IGNORE INTO metadata (position) VALUES (?)",
                 single_rows(positions.get()).get());
    call_method(self, name<"_set_metadata">(), {positions.get(), metas.get()});
    commit(self);
    return Ref::none();
  });
}

PyObject* update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    static const auto sig = signature<2>("update", {"ids", "metadata"}, 2);
    const auto a = sig.bind(args, nargs, kwnames);
    require_exact(a[0], &PyList_Type, "ids", false);
    require_exact(a[1], &PyList_Type, "metadata", false);
    require_one_dict_per_id(a[1], a[0]);
    Ref positions = resolved_positions(self, a[0]);
    call_method(self, name<"_set_metadata">(), {positions.get(), a[1]});
    commit(self);
    return Ref::none();
  });
}

PyObject* remove(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    static const auto sig = signature<1>("delete", {"ids"}, 1);
    const auto a = sig.bind(args, nargs, kwnames);
    require_exact(a[0], &PyList_Type, "ids", false);
    Ref positions = resolved_positions(self, a[0]);
    Ref rows = single_rows(positions.get());
    Ref cursor = new_cursor(self);
    for (const char* table : {"metadata", "metadata_multi", "doc_access", "docs"}) {
      execute_many(cursor.get(), std::string("DELETE FROM ") + table + " WHERE position = ?", rows.get());
    }
    commit(self);
    return Ref::none();
  });
}

PyObject* compact(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    no_arguments("compact", nargs, kwnames);
    Ref cursor = new_cursor(self);
    Ref rows = query_rows(cursor.get(), "SELECT COUNT(*), MIN(position), MAX(position) FROM docs");
    PyObject* row = PyList_GET_ITEM(rows.get(), 0);
    const std::int64_t count = to_int64(row_item(row, 0).get());
    if (count == 0) return Ref::none();
    if (is_compact(count, to_int64(row_item(row, 1).get()), to_int64(row_item(row, 2).get()))) return Ref::none();
    execute(cursor.get(), kCreateRemap);
    execute(cursor.get(), "DELETE FROM _remap");
    execute(cursor.get(), kFillRemap);
    static const std::vector<std::string> statements = renumber_statements();
    for (const std::string& sql : statements) execute(cursor.get(), sql);
    execute(cursor.get(), "DELETE FROM _remap");
    commit(self);
    return Ref::none();
  });
}

// grant and revoke: one row (position, role) per id and role, in that order.
template <Literal Function>
PyObject* access(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const char* statement) {
  return guard([&] {
    static const auto sig = signature<2>(Function.text, {"ids", "roles"}, 2);
    const auto a = sig.bind(args, nargs, kwnames);
    require_exact(a[0], &PyList_Type, "ids", false);
    require_exact(a[1], &PyList_Type, "roles", false);
    Ref roles = snapshot(a[1]);
    Ref positions = resolved_positions(self, a[0]);
    Ref rows = new_list();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(positions.get()); ++i) {
      for (Py_ssize_t j = 0; j < PyList_GET_SIZE(roles.get()); ++j) {
        PyObject* role = PyList_GET_ITEM(roles.get(), j);
        expect_type(role, &PyUnicode_Type);
        list_append(rows.get(), new_tuple({PyList_GET_ITEM(positions.get(), i), role}).get());
      }
    }
    Ref cursor = new_cursor(self);
    execute_many(cursor.get(), statement, rows.get());
    commit(self);
    return Ref::none();
  });
}

PyObject* grant(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return access<"grant">(self, args, nargs, kwnames, "INSERT OR IGNORE INTO doc_access (position, role) VALUES (?, ?)");
}

PyObject* revoke(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return access<"revoke">(self, args, nargs, kwnames, "DELETE FROM doc_access WHERE position = ? AND role = ?");
}

PyMethodDef write_defs[] = {
    {"add", as_cfunction(add), kFastcall,
     "add($self, /, ids, metadata=None)\n--\n\n"
     "Register `ids` at the next positions (one past the largest in use), in\n"
     "list order, with optional metadata dicts (exactly one per id)."},
    {"update", as_cfunction(update), kFastcall,
     "update($self, /, ids, metadata)\n--\n\n"
     "Write metadata for registered ids, one dict per id; keys absent from a dict\n"
     "keep their values."},
    {"delete", as_cfunction(remove), kFastcall,
     "delete($self, /, ids)\n--\n\n"
     "Remove registered ids. Their positions stay free until compact(), except\n"
     "those above every remaining one, which the next add() gives out again."},
    {"compact", as_cfunction(compact), kFastcall,
     "compact($self, /)\n--\n\n"
     "Renumber positions to 0..n-1, keeping their order, as the indexes do on delete."},
    {"grant", as_cfunction(grant), kFastcall, "grant($self, /, ids, roles)\n--\n\n"
     "Grant every role to every id."},
    {"revoke", as_cfunction(revoke), kFastcall, "revoke($self, /, ids, roles)\n--\n\n"
     "Revoke every role from every id."},
};

PyMethodDef helper_defs[] = {
    {"_positions_for", as_cfunction(positions_for), kFastcall, nullptr},
    {"_ensure_columns", as_cfunction(ensure_columns), kFastcall, nullptr},
    {"_set_metadata", as_cfunction(set_metadata), kFastcall, nullptr},
};

}  // namespace

void install_writes() {
  for (const PyMethodDef& def : write_defs) add_to_class(def.ml_name, make_member(&def, Wrap::writes));
  for (const PyMethodDef& def : helper_defs) add_to_class(def.ml_name, make_member(&def, Wrap::none));
}

}  // namespace tx::row_screen
