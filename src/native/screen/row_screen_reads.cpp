// The read side of RowScreen: allowed positions and their cache, grants by
// role, size, ids and the chain starters (the schema has a file of its own).
#include "screen/row_screen_glue.hpp"

#include <cstring>
#include <optional>
#include <unordered_set>

#include "support/parallel.hpp"
#include "support/plain_json.hpp"
#include "support/no_python/positions.hpp"

namespace tx::row_screen {
namespace {

// ---- position arrays ----------------------------------------------------------

// Positions held in a bytes object: the cache hands out arrays over such
// memory, which numpy can never make writable again, so no holder of a
// shared answer can change it for the others.
struct Packed {
  Ref bytes;
  npy_intp count = 0;
};

Packed packed_of(std::size_t count) {
  Packed p;
  p.bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count * sizeof(std::int64_t))));
  p.count = static_cast<npy_intp>(count);
  return p;
}

std::int64_t* packed_data(Packed& p) { return reinterpret_cast<std::int64_t*>(PyBytes_AS_STRING(p.bytes.get())); }

// A read-only int64 array over the packed positions.
Ref frozen_array(Packed p) {
  npy_intp dims[1] = {p.count};
  PyArray_Descr* descr = PyArray_DescrFromType(NPY_INT64);
  Ref array = Ref::steal(PyArray_NewFromDescr(&PyArray_Type, descr, 1, dims, nullptr,
                                              PyBytes_AS_STRING(p.bytes.get()), NPY_ARRAY_CARRAY_RO, nullptr));
  if (PyArray_SetBaseObject(as_array_object(array.get()), p.bytes.release()) < 0) rethrow_python();
  return array;
}

// A new writable int64 array holding the packed positions.
Ref writable_array(const Packed& p) {
  Ref array = empty_array({p.count}, NPY_INT64);
  if (p.count > 0) {
    std::memcpy(PyArray_DATA(as_array_object(array.get())), PyBytes_AS_STRING(p.bytes.get()),
                static_cast<std::size_t>(p.count) * sizeof(std::int64_t));
  }
  return array;
}

// The first column of fetched rows as sorted, distinct positions.
Packed packed_from_rows(PyObject* rows) {
  const Py_ssize_t n = PyList_GET_SIZE(rows);
  Packed p = packed_of(static_cast<std::size_t>(n));
  std::int64_t* out = packed_data(p);
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref value = row_item(PyList_GET_ITEM(rows, i), 0);
    out[i] = to_int64(value.get());
  }
  p.count = static_cast<npy_intp>(sort_unique(out, static_cast<std::size_t>(n)));
  return p;
}

// `p` in a bytes object of its own size when it fills much less of the one
// it has: a cached answer keeps what the array needs, not what the
// intermediate steps held.
Packed tightened(Packed p) {
  const std::size_t n = static_cast<std::size_t>(p.count);
  const std::size_t room = static_cast<std::size_t>(PyBytes_GET_SIZE(p.bytes.get())) / sizeof(std::int64_t);
  if (n + n / 4 >= room) return p;
  Packed tight = packed_of(n);
  if (n > 0) std::memcpy(packed_data(tight), packed_data(p), n * sizeof(std::int64_t));
  return tight;
}

// Positions as the run they hold in a bytes object of int64.
PositionSpan span_of(PyObject* bytes) {
  return {reinterpret_cast<const std::int64_t*>(PyBytes_AS_STRING(bytes)),
          static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)) / sizeof(std::int64_t)};
}

// Unions this long are merged without the interpreter lock, so other threads
// go on meanwhile; shorter ones would spend more on the hand-over.
constexpr std::size_t kUnlockedUnion = std::size_t{1} << 16;

// The union of the roles' grants (bytes of sorted, distinct int64 each).
Packed union_of(const std::vector<Ref>& grants) {
  std::vector<PositionSpan> runs;
  runs.reserve(grants.size());
  std::size_t total = 0;
  for (const Ref& g : grants) {
    runs.push_back(span_of(g.get()));
    total += runs.back().size;
  }
  Packed p = packed_of(total);
  std::size_t n = 0;
  if (total >= kUnlockedUnion) {
    // `grants` holds the runs, which are immutable bytes, and `p` is ours.
    ReleaseGil unlocked;
    n = union_sorted(runs, packed_data(p));
  } else {
    n = union_sorted(runs, packed_data(p));
  }
  p.count = static_cast<npy_intp>(n);
  return tightened(std::move(p));
}

// ---- the position query -------------------------------------------------------

// The position query hands its rows back packed by group_concat, which the
// filter authorizer does not allow; while the store's own query runs, that
// one aggregate is allowed and every other request goes to
// _filter_authorizer as the module holds it.
PyObject* position_authorizer(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guard([&] {
    if (nargs == 5 && PyUnicode_Check(args[2]) && PyUnicode_CompareWithASCIIString(args[2], "group_concat") == 0) {
      Ref sqlite3 = ns.get<"sqlite3">();
      const Ref action = attr<"SQLITE_FUNCTION">(sqlite3.get());
      if (compare(args[0], action.get(), Py_EQ)) return attr<"SQLITE_OK">(sqlite3.get());
    }
    Ref inner = ns.get<"_filter_authorizer">();
    return Ref::steal(PyObject_Vectorcall(inner.get(), args, static_cast<size_t>(nargs), nullptr));
  });
}

PyMethodDef position_authorizer_def = {"_position_query_authorizer", as_cfunction(position_authorizer),
                                       METH_FASTCALL, nullptr};

Ref position_authorizer_object() {
  static PyObject* fn = nullptr;
  if (fn == nullptr) {
    fn = PyCFunction_NewEx(&position_authorizer_def, nullptr, nullptr);
    if (fn == nullptr) rethrow_python();
  }
  return Ref::borrow(fn);
}

// The text of the packed answer (None when no row matched) as positions.
Packed unpack_answer(PyObject* value) {
  if (value == Py_None) return packed_of(0);
  if (!PyUnicode_Check(value)) raise(PyExc_ValueError, "the position query returned a value that is not positions");
  const std::string_view packed = utf8_view(value);
  Packed p = packed_of(count_packed(packed));
  if (!parse_packed(packed, packed_data(p))) {
    raise(PyExc_ValueError, "the position query returned a value that is not positions");
  }
  p.count = static_cast<npy_intp>(sort_unique(packed_data(p), static_cast<std::size_t>(p.count)));
  return p;
}

// The positions of `found` that `allowed` holds.
Packed restricted(const Packed& found, const Packed& allowed) {
  Packed p = packed_of(static_cast<std::size_t>(found.count));
  const PositionSpan a{reinterpret_cast<const std::int64_t*>(PyBytes_AS_STRING(found.bytes.get())),
                       static_cast<std::size_t>(found.count)};
  const PositionSpan b{reinterpret_cast<const std::int64_t*>(PyBytes_AS_STRING(allowed.bytes.get())),
                       static_cast<std::size_t>(allowed.count)};
  p.count = static_cast<npy_intp>(intersect_sorted(a, b, packed_data(p)));
  return tightened(std::move(p));
}

// The head of the position query as Query builds it, and the same with the
// join made an outer one; and the order it ends with.
constexpr std::string_view kInnerJoinFrom =
    "SELECT m.position FROM metadata m JOIN docs d ON d.position = m.position";
constexpr std::string_view kOuterJoinFrom =
    "SELECT m.position FROM metadata m LEFT JOIN docs d ON d.position = m.position";
constexpr std::string_view kOrder = " ORDER BY m.position";

// A filtered question whose roles are granted more than a fifth of the
// documents is asked without the role sub-select, whose list SQLite builds
// anew for every run and then seeks row by row: the filter runs over every
// document, cheaper past that share, and the answer is cut down to the
// roles' grants, kept by the store (read for it when a count of the grant
// rows says they are that many). Below it the statement visits just the
// granted rows.
constexpr std::int64_t kFilterFirstShare = 5;

// Below that share, a filter of plain conditions (no sub-query) costs least
// driven by the grants: SQLite walks the role index and seeks each granted
// row, where the sub-select first builds its list of them. The grants are
// joined as a table of their own, whose quoted column names no metadata key
// or bare column name of a filter can meet (a filter text that holds
// "grant" in any case keeps the sub-select), and their role condition stays
// last, after the filter's ? marks, so that numbered marks bind as before.
// A document granted to two of the roles comes twice, and the rows in the
// index's order: the answer is sorted and made distinct in C++.
constexpr std::string_view kGrantsJoin =
    " JOIN (SELECT position AS \"granted position\", role AS \"granted role\" FROM doc_access) \"grant rows\" "
    "ON \"grant rows\".\"granted position\" = m.position";
constexpr std::string_view kGrantedRole = " AND \"grant rows\".\"granted role\" IN (";

// The filter's text as one expression of the statement: the texts the node
// kinds render are used as they are; any other is parenthesised once it is
// known to be one expression, so the role restriction ANDed after it holds
// whatever a filter object renders.
// `sub_select` tells whether it holds a sub-query or may name the grants
// that the statement would otherwise join: either keeps the role sub-select.
Ref single_condition(PyObject* sql, bool& sub_select) {
  if (!PyUnicode_Check(sql)) return Ref::borrow(sql);  // refused by the query builder, as any condition
  const std::string_view condition = utf8_view(sql);
  const ConditionCheck check = check_condition_text(condition);
  // A text that may name the joined grants' columns (as SQLite compares
  // names: ASCII letters in any case, quoted or not) keeps the sub-select,
  // where those names mean what they always did.
  sub_select = check.selects || text::ascii_icontains(condition, "grant");
  switch (check.fit) {
    case ConditionFit::whole:
      return Ref::borrow(sql);
    case ConditionFit::needs_parentheses:
      return Ref::steal(PyUnicode_FromFormat("(%U)", sql));
    case ConditionFit::refused:
      break;
  }
  Ref message = Ref::steal(PyUnicode_FromFormat(
      "The filter rendered %R, which is not one SQL condition: it holds %s. A filter object must render a "
      "single boolean expression with balanced parentheses, no comment, no ';' and ? marks for its values.",
      sql, check.problem));
  PyErr_SetObject(ns.get<"FilterError">().get(), message.get());
  rethrow_python();
}

Packed run_position_query(PyObject* self, PyObject* filter, PyObject* roles) {
  // Translated first, so that a malformed filter is refused even when no
  // role could match.
  Ref sieve = call_method(self, name<"_as_attr_sieve">(), {filter});
  const bool by_roles = roles != Py_None && PyList_GET_SIZE(roles) > 0 && roles_query_authorized();
  if (sieve.is_none() && by_roles) {
    // Roles alone: the union of the roles' registered grants, kept in
    // memory between writes, so no statement runs.
    if (auto grants = granted_positions(self, roles)) return union_of(*grants);
  }
  bool sub_select = true;  // whether the role restriction stays a sub-select
  Ref query = call(ns.get<"Query">().get(), {py_str("metadata").get(), py_str("m").get()});
  call_method(query.get(), name<"select">(), {py_str("m.position").get()});
  call_method(query.get(), name<"join">(), {py_str("docs d").get(), py_str("d.position = m.position").get()});
  if (!sieve.is_none()) {
    auto [sql, values] = unpack_pair(call_method(sieve.get(), name<"to_sql">(), {}).get());
    Ref args = Ref::steal(PySequence_List(values.get()));
    Ref condition = single_condition(sql.get(), sub_select);
    if (PyList_Insert(args.get(), 0, condition.get()) < 0) rethrow_python();
    Ref where = attr<"where">(query.get());
    Ref t = Ref::steal(PyList_AsTuple(args.get()));
    Ref::steal(PyObject_Call(where.get(), t.get(), nullptr));
  }
  std::string role_condition;
  Py_ssize_t role_count = 0;
  if (roles != Py_None) {
    Ref list = Ref::steal(PySequence_List(roles));
    role_count = PyList_GET_SIZE(list.get());
    if (role_count == 0) return packed_of(0);
    role_condition = "m.position IN (SELECT position FROM doc_access WHERE role IN (";
    role_condition += placeholders(static_cast<std::size_t>(role_count));
    role_condition += "))";
    if (PyList_Insert(list.get(), 0, text(role_condition).get()) < 0) rethrow_python();
    Ref t = Ref::steal(PyList_AsTuple(list.get()));
    Ref::steal(PyObject_Call(attr<"where">(query.get()).get(), t.get(), nullptr));
  }
  call_method(query.get(), name<"order_by">(), {py_str("m.position").get()});
  auto [sql, params] = build(query.get());
  std::string built(utf8_view(sql.get()));
  // A filtered question whose roles see many documents leaves the role
  // sub-select out and cuts its answer down to their kept grants instead.
  // They are taken only now that the statement is built, so that no code a
  // filter or a replaced builder runs comes between them and the query.
  std::optional<Packed> allowed;
  const std::string role_tail = " AND " + role_condition + std::string(kOrder);
  const Py_ssize_t bound = sieve.is_none() ? -1 : PySequence_Size(params.get());
  if (bound < 0 && PyErr_Occurred()) rethrow_python();
  // Every metadata row has its docs row when both hold exactly 0..n-1, so
  // the inner join keeps every row, as the outer one does; but SQLite drops
  // an outer join on a unique key whose columns nothing reads, where it
  // seeks the inner one row by row. A filter naming d still reads it, from
  // the same row. Only with a filter: a question with neither filter nor
  // roles keeps to its single statement.
  const bool framed = built.starts_with(kInnerJoinFrom);
  const std::optional<std::int64_t> whole =
      !sieve.is_none() && framed ? whole_count(self) : std::optional<std::int64_t>();
  bool grants_joined = false;
  if (whole && by_roles && bound >= role_count && built.ends_with(role_tail)) {
    // The grant rows, kept between writes, are at least as many as the
    // documents the roles see: when they are few, the grants need not be
    // read nor merged to know it. Past that, they are read if need be (the
    // scan saves more), except for more roles than one count takes.
    const std::int64_t rows = grant_row_count(self, roles);
    const bool few = rows >= 0 && rows <= *whole / kFilterFirstShare;
    if (!few) {
      auto grants = granted_positions(self, roles, rows < 0);
      if (grants) {
        Packed all = union_of(*grants);
        if (all.count > *whole / kFilterFirstShare) {
          allowed = std::move(all);
          built.erase(built.size() - role_tail.size());
          built += kOrder;
          params = Ref::steal(PySequence_GetSlice(params.get(), 0, bound - role_count));
        }
      }
    }
    if (few && !sub_select) {
      // A filter of plain conditions is driven by the grants, joined; the
      // rows it hands back are at most that many grant rows.
      built.erase(built.size() - role_tail.size());
      built += kGrantedRole;
      built += placeholders(static_cast<std::size_t>(role_count));
      // No limit, but it keeps SQLite from merging the statement into the
      // group_concat around it, after which the outer join is not dropped.
      built += ") LIMIT -1";
      grants_joined = true;
    }
  }
  const std::string_view statement = built;
  const std::string_view rest = framed ? statement.substr(kInnerJoinFrom.size()) : statement;
  std::string packed_sql = "SELECT group_concat(position) FROM (";
  packed_sql += framed ? (whole ? kOuterJoinFrom : kInnerJoinFrom) : std::string_view();
  if (grants_joined) packed_sql += kGrantsJoin;
  packed_sql += rest;
  packed_sql += ")";

  Ref conn = connection(self);
  call_method(conn.get(), name<"set_authorizer">(), {position_authorizer_object().get()});
  Ref answer;
  try {
    Ref cursor = execute(conn.get(), packed_sql, params.get());
    Ref row = call_method(cursor.get(), name<"fetchone">(), {});
    answer = row.is_none() ? Ref::none() : row_item(row.get(), 0);
  } catch (...) {
    translate_current_exception();
    cleanup_keeping_error([&] { call_method(conn.get(), name<"set_authorizer">(), {Py_None}); });
    throw PyErrorSet{};
  }
  call_method(conn.get(), name<"set_authorizer">(), {Py_None});
  Packed found = unpack_answer(answer.get());
  return allowed ? restricted(found, *allowed) : found;
}

PyObject* query_positions(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    static const auto sig = signature<2>("_query_positions", {"filter", "roles"}, 2);
    const auto a = sig.bind(args, nargs, kwnames);
    // Any iterable of roles is taken here, but bound only as plain str, as
    // positions binds them.
    const Ref roles = a[1] == Py_None ? Ref::none() : plain_str_items(Ref::steal(PySequence_List(a[1])).get(), "roles");
    return writable_array(run_position_query(self, a[0], roles.get()));
  });
}

// ---- cache keys ---------------------------------------------------------------

// Whether a value binds as what its key compares: a builtin scalar of its
// exact type. A subclass or any other object may compare equal to a value
// it does not bind as (its own __eq__ and __hash__, or sqlite3's adapters
// and __conform__), so a question holding one is never cached.
bool binds_as_compared(PyObject* v) { return plain_json::is_scalar(v) || Py_IS_TYPE(v, &PyBytes_Type); }

bool all_bind_as_compared(PyObject* items) {
  PyObject** begin = PySequence_Fast_ITEMS(items);  // a list or a tuple
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items); ++i) {
    if (!binds_as_compared(begin[i])) return false;
  }
  return true;
}

// The store's key for a filter. A chain's own key compares its values by
// equality, but 1, 1.0 and True bind differently (against text columns they
// are the texts '1', '1.0' and '1'), so the store adds their types.
Ref filter_key(PyObject* filter) {
  static PyObject* none_key = nullptr;
  if (filter == Py_None) {
    if (none_key == nullptr) none_key = new_tuple({py_str("none").get()}).release();
    return Ref::borrow(none_key);
  }
  Ref key = call(ns.get<"filter_cache_key">().get(), {filter});
  if (key.is_none()) return key;
  const int is_chain = PyObject_IsInstance(filter, ns.get<"AttrSieve">().get());
  if (is_chain < 0) rethrow_python();
  if (is_chain && PyTuple_Check(key.get()) && PyTuple_GET_SIZE(key.get()) == 3 &&
      PyTuple_Check(PyTuple_GET_ITEM(key.get(), 2))) {
    PyObject* values = PyTuple_GET_ITEM(key.get(), 2);
    if (!all_bind_as_compared(values)) return Ref::none();
    const Py_ssize_t n = PyTuple_GET_SIZE(values);
    Ref types = Ref::steal(PyTuple_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyTuple_SET_ITEM(types.get(), i, Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(PyTuple_GET_ITEM(values, i)))));
    }
    return new_tuple({PyTuple_GET_ITEM(key.get(), 0), PyTuple_GET_ITEM(key.get(), 1), values, types.get()});
  }
  return key;
}

// The distinct roles in ascending order; they are plain str by now, so
// the key compares them as they are bound.
Ref roles_key(PyObject* roles) {
  if (roles == Py_None) return Ref::none();
  Ref distinct = Ref::steal(PySet_New(roles));
  Ref sorted = Ref::steal(PySequence_List(distinct.get()));
  if (PyList_Sort(sorted.get()) < 0) rethrow_python();
  return Ref::steal(PyList_AsTuple(sorted.get()));
}

// ---- positions ----------------------------------------------------------------

// The answer of the position query as a read-only array, through an override
// of _query_positions when a subclass or the instance has one.
Ref answer_array(PyObject* self, PyObject* filter, PyObject* roles) {
  // Looked up on every call: the class is a plain one, so the method may be
  // replaced on the class or the instance.
  MethodLookup found = lookup_method(self, name<"_query_positions">());
  if (found.is(reinterpret_cast<void*>(query_positions), self)) {
    return frozen_array(run_position_query(self, filter, roles));
  }
  Ref given = call(found.bound.get(), {filter, roles});
  Ref contiguous = cast_contiguous_array(given.get(), NPY_INT64);
  PyArrayObject* a = as_array_object(contiguous.get());
  if (PyArray_NDIM(a) != 1) raise(PyExc_ValueError, "_query_positions must return a one-dimensional array");
  const npy_intp n = PyArray_SIZE(a);
  Packed p = packed_of(static_cast<std::size_t>(n));
  if (n > 0) std::memcpy(packed_data(p), PyArray_DATA(a), static_cast<std::size_t>(n) * sizeof(std::int64_t));
  return frozen_array(std::move(p));
}

PyObject* positions(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    static const auto sig = signature<2>("positions", {"filter=None", "roles=None"}, 0);
    const auto a = sig.bind(args, nargs, kwnames);
    PyObject* filter = a[0];
    require_exact(a[1], &PyList_Type, "roles", true);
    // One private copy serves both the cache key and the query: code run
    // meanwhile (a role's hash, the filter's translation, another thread)
    // may change the caller's list, and the answer must be the one for the
    // roles it is cached under.
    // Every role is a str, bound as its plain text: SQLite would compare any
    // other value with the text column by affinity (1 and True as '1').
    const Ref roles_copy = (a[1] == nullptr || a[1] == Py_None) ? Ref::none() : plain_str_items(a[1], "roles");
    PyObject* roles = roles_copy.get();
    // The same for a dict filter of plain values: its key and its query are
    // both made from one private copy, so code run between them (another
    // thread while the schema is read) cannot change the caller's dict into
    // a filter the key does not name.
    Ref filter_copy;
    if (PyDict_CheckExact(filter)) {
      std::unordered_set<PyObject*> path;
      filter_copy = plain_json::copy(filter, path, " while reading a filter dict");
      if (filter_copy) filter = filter_copy.get();
    }

    Ref fkey = filter_key(filter);
    Ref key;
    Ref cache;
    if (!fkey.is_none()) {
      Ref rkey = roles_key(roles);
      key = new_tuple({fkey.get(), rkey.get()});
    }
    if (key) {
      cache = attr<"_cache">(self);
      Ref hit = call_method(cache.get(), name<"get">(), {key.get()});
      if (!hit.is_none()) {
        call_method(cache.get(), name<"move_to_end">(), {key.get()});
        return hit;
      }
    }
    Ref array = answer_array(self, filter, roles);
    if (key) {
      if (PyObject_SetItem(cache.get(), key.get(), array.get()) < 0) rethrow_python();
      Ref held = py_long(length(cache.get()));
      Ref capacity = ns.get<"_CACHE_SIZE">();
      if (compare(held.get(), capacity.get(), Py_GT)) {
        call_method(cache.get(), name<"popitem">(), {Py_False}, tx::kwnames<"last">());
      }
    }
    return array;
  });
}

// ---- translation and schema -------------------------------------------------

PyObject* as_attr_sieve(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    static const auto sig = signature<1>("_as_attr_sieve", {"filter"}, 1);
    const auto a = sig.bind(args, nargs, kwnames);
    PyObject* filter = a[0];
    if (filter == Py_None) return Ref::none();
    auto [scalar, multi] = unpack_pair(call_method(self, name<"schema">(), {}).get());
    const int is_chain = PyObject_IsInstance(filter, ns.get<"AttrSieve">().get());
    if (is_chain < 0) rethrow_python();
    if (!is_chain) {
      return call(ns.get<"compile_filter">().get(), {filter, scalar.get(), multi.get(), self},
                  tx::kwnames<"owner">());
    }
    Ref known = Ref::steal(PySet_New(nullptr));
    Ref it = Ref::steal(PyObject_GetIter(scalar.get()));
    while (PyObject* column = PyIter_Next(it.get())) {
      Ref c = Ref::steal(column);
      if (PySet_Add(known.get(), call_method(c.get(), name<"lower">(), {}).get()) < 0) rethrow_python();
    }
    if (PyErr_Occurred()) rethrow_python();
    Ref unknown = new_list();
    Ref columns = call_method(filter, name<"scalar_columns">(), {});
    Ref walk = Ref::steal(PyObject_GetIter(columns.get()));
    while (PyObject* column = PyIter_Next(walk.get())) {
      Ref c = Ref::steal(column);
      const int found = PySet_Contains(known.get(), call_method(c.get(), name<"lower">(), {}).get());
      if (found < 0) rethrow_python();
      if (!found) list_append(unknown.get(), c.get());
    }
    if (PyErr_Occurred()) rethrow_python();
    if (PyList_GET_SIZE(unknown.get()) > 0) {
      if (PyList_Sort(unknown.get()) < 0) rethrow_python();
      Ref message = Ref::steal(PyUnicode_FromFormat("Unknown column(s) %R in filter.", unknown.get()));
      PyErr_SetObject(ns.get<"FilterError">().get(), message.get());
      rethrow_python();
    }
    return Ref::borrow(filter);
  });
}

PyObject* filter_by_roles(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    static const auto sig = signature<1>("filter_by_roles", {"roles"}, 1);
    const auto a = sig.bind(args, nargs, kwnames);
    require_exact(a[0], &PyList_Type, "roles", false);
    Ref query = call(ns.get<"Query">().get(), {py_str("doc_access").get()});
    call_method(query.get(), name<"select">(), {py_str("DISTINCT position").get()});
    Ref roles = plain_str_items(a[0], "roles");
    call_method(query.get(), name<"where_in">(), {py_str("role").get(), roles.get()});
    call_method(query.get(), name<"order_by">(), {py_str("position").get()});
    auto [sql, params] = build(query.get());
    Ref conn = connection(self);
    Ref rows = fetchall(execute(conn.get(), sql.get(), params.get()).get());
    if (!PyList_Check(rows.get())) rows = Ref::steal(PySequence_List(rows.get()));
    return writable_array(packed_from_rows(rows.get()));
  });
}

PyObject* size(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    no_arguments("size", nargs, kwnames);
    Ref conn = connection(self);
    Ref row = call_method(execute(conn.get(), "SELECT COUNT(*) FROM metadata").get(), name<"fetchone">(), {});
    return Ref::steal(PyNumber_Long(row_item(row.get(), 0).get()));
  });
}

PyObject* ids(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    no_arguments("ids", nargs, kwnames);
    return registered_ids(self);
  });
}

// ---- chain starters -----------------------------------------------------------

// A new chain owned by this store, with `method` applied to it.
template <Literal Method, std::size_t N>
Ref start_chain(PyObject* self, const std::array<PyObject*, N>& a) {
  Ref chain = call(ns.get<"AttrSieve">().get(), {self});
  Ref bound = attr<Method>(chain.get());
  return Ref::steal(PyObject_Vectorcall(bound.get(), a.data(), N, nullptr));
}

// Checks the starter's str parameters (the first `names.size()` ones), then
// starts the chain.
template <Literal Method, std::size_t N, std::size_t S>
PyObject* starter(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  const Signature<N>& sig, const std::array<const char*, S>& strings) {
  return guard([&] {
    const auto a = sig.bind(args, nargs, kwnames);
    for (std::size_t i = 0; i < S; ++i) require_exact(a[i], &PyUnicode_Type, strings[i], false);
    return start_chain<Method>(self, a);
  });
}

constexpr std::array<const char*, 2> kColumnOp = {"column", "op"};
constexpr std::array<const char*, 2> kColumnPattern = {"column", "pattern"};
constexpr std::array<const char*, 1> kColumn = {"column"};

PyObject* where(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const auto sig = signature<3>("where", {"column", "op", "value"}, 3);
  return starter<"where">(self, args, nargs, kwnames, sig, kColumnOp);
}
PyObject* where_any(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const auto sig = signature<3>("where_any", {"column", "op", "value"}, 3);
  return starter<"where_any">(self, args, nargs, kwnames, sig, kColumnOp);
}
PyObject* where_like(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const auto sig = signature<2>("where_like", {"column", "pattern"}, 2);
  return starter<"where_like">(self, args, nargs, kwnames, sig, kColumnPattern);
}
PyObject* where_any_like(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const auto sig = signature<2>("where_any_like", {"column", "pattern"}, 2);
  return starter<"where_any_like">(self, args, nargs, kwnames, sig, kColumnPattern);
}
PyObject* where_between(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const auto sig = signature<3>("where_between", {"column", "low", "high"}, 3);
  return starter<"where_between">(self, args, nargs, kwnames, sig, kColumn);
}
PyObject* where_null(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const auto sig = signature<1>("where_null", {"column"}, 1);
  return starter<"where_null">(self, args, nargs, kwnames, sig, kColumn);
}

PyMethodDef positions_def = {
    "positions", as_cfunction(positions), kFastcall,
    "positions($self, /, filter=None, roles=None)\n--\n\n"
     "Sorted, distinct positions of the documents that match `filter` and are\n"
    "granted to any of `roles` (None: no access check; []: nothing), as a\n"
    "read-only int64 array shared with the cache until the next write."};
PyMethodDef filter_by_roles_def = {"filter_by_roles", as_cfunction(filter_by_roles), kFastcall,
                                   "filter_by_roles($self, /, roles)\n--\n\n"
     "Sorted, distinct positions granted to any of `roles`."};
PyMethodDef query_positions_def = {"_query_positions", as_cfunction(query_positions), kFastcall, nullptr};
PyMethodDef as_attr_sieve_def = {"_as_attr_sieve", as_cfunction(as_attr_sieve), kFastcall, nullptr};
PyMethodDef size_def = {"size", as_cfunction(size), kFastcall, nullptr};
PyMethodDef ids_def = {"ids", as_cfunction(ids), kFastcall, nullptr};

PyMethodDef starter_defs[] = {
    {"where", as_cfunction(where), kFastcall, "where($self, /, column, op, value)\n--\n\n"
     "Start a filter chain bound to this store with ``where``."},
    {"where_any", as_cfunction(where_any), kFastcall, "where_any($self, /, column, op, value)\n--\n\n"
     "Start a filter chain bound to this store with ``where_any``."},
    {"where_like", as_cfunction(where_like), kFastcall,
     "where_like($self, /, column, pattern)\n--\n\n"
     "Start a filter chain bound to this store with ``where_like``."},
    {"where_any_like", as_cfunction(where_any_like), kFastcall,
     "where_any_like($self, /, column, pattern)\n--\n\n"
     "Start a filter chain bound to this store with ``where_any_like``."},
    {"where_between", as_cfunction(where_between), kFastcall,
     "where_between($self, /, column, low, high)\n--\n\n"
     "Start a filter chain bound to this store with ``where_between``."},
    {"where_null", as_cfunction(where_null), kFastcall,
     "where_null($self, /, column)\n--\n\n"
     "Start a filter chain bound to this store with ``where_null``."},
};

void add_property(const char* attribute, const PyMethodDef* getter, const char* doc) {
  Ref fget = make_member(getter, Wrap::locked);
  Ref prop = Ref::steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyProperty_Type), fget.get(),
                                                     Py_None, Py_None, py_str(doc).get(), nullptr));
  add_to_class(attribute, prop);
}

}  // namespace

void install_reads() {
  add_to_class("positions", make_member(&positions_def, Wrap::locked));
  install_schema();
  add_to_class("filter_by_roles", make_member(&filter_by_roles_def, Wrap::locked));
  add_to_class("_query_positions", make_member(&query_positions_def, Wrap::none));
  add_to_class("_as_attr_sieve", make_member(&as_attr_sieve_def, Wrap::none));
  add_property("size", &size_def, "Number of registered documents.");
  add_property("ids", &ids_def, "Every registered id, in position order.");
  for (const PyMethodDef& def : starter_defs) add_to_class(def.ml_name, make_member(&def, Wrap::none));
}

}  // namespace tx::row_screen
