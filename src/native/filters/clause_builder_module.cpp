// tarnix_engine._clause_builder: SQL WHERE fragments and filter dicts turned
// into AttrSieve filters. A text is parsed by sqlglot, a dict rewritten into
// the same node kinds (clause_dict.cpp), and the tree is rebuilt from the
// condition builders through an allowlist (clause_translator.cpp).
#include <string>
#include <unordered_set>
#include <vector>

#include "filters/clause_builder_glue.hpp"
#include "filters/clause_text.hpp"
#include "support/plain_json.hpp"

namespace tx::clause {

tx::Namespace ns;
Classes k;
PyObject* filter_error = nullptr;
Own own;

[[noreturn]] void refuse(const std::string& message) {
  PyErr_SetString(filter_error, message.c_str());
  throw tx::PyErrorSet{};
}

namespace {

// Raises FilterError(message) in place of `pending`; steals both.
[[noreturn]] void raise_replacing(PyObject* pending, PyObject* message) {
  PyObject* error = message == nullptr ? nullptr : PyObject_CallOneArg(filter_error, message);
  Py_XDECREF(message);
  if (error == nullptr) {
    Py_XDECREF(pending);
    tx::rethrow_python();
  }
  if (pending != nullptr) PyException_SetContext(error, pending);
  PyException_SetCause(error, nullptr);  // also marks the context as suppressed
  PyErr_SetRaisedException(error);
  throw tx::PyErrorSet{};
}

}  // namespace

[[noreturn]] void refuse_replacing(const std::string& message) {
  PyObject* pending = PyErr_GetRaisedException();
  raise_replacing(pending, PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
}

[[noreturn]] void refuse_replacing(PyObject* message) {
  PyObject* pending = PyErr_GetRaisedException();
  raise_replacing(pending, Py_NewRef(message));
}

std::string repr_of(PyObject* o) { return tx::repr(o); }

std::string bare_type_name(PyObject* o) {
  return tx::utf8(tx::Ref::steal(PyType_GetName(Py_TYPE(o))).get());
}

namespace {

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

PyObject* semicolon = nullptr;  // sqlglot's TokenType.SEMICOLON

bool may_hide_text(PyObject* text) {
  const auto size = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text));
  const void* data = PyUnicode_DATA(text);
  switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
      return tx::clause::may_hide_text(static_cast<const Py_UCS1*>(data), size);
    case PyUnicode_2BYTE_KIND:
      return tx::clause::may_hide_text(static_cast<const Py_UCS2*>(data), size);
    default:
      return tx::clause::may_hide_text(static_cast<const Py_UCS4*>(data), size);
  }
}

[[noreturn]] void refuse_text(PyObject* text, const std::string& why) {
  refuse("Could not parse filter " + repr_of(text) + ": " + why);
}

// What a parse error says of the text: sqlglot's own words, except where
// they name its classes (a condition that stops short or runs on), which
// are put as where the text goes wrong and how a condition is written.
// A new reference, or NULL with an error set.
PyObject* parse_detail(PyObject* error) {
  PyObject* own = PyObject_Str(error);
  if (own == nullptr) return nullptr;
  PyObject* marker = PyUnicode_FromString("<class '");
  const Py_ssize_t at = marker == nullptr ? -2 : PyUnicode_Find(own, marker, 0, PyUnicode_GET_LENGTH(own), 1);
  Py_XDECREF(marker);
  if (at < -1) {
    Py_DECREF(own);
    return nullptr;
  }
  if (at == -1) return own;
  Py_DECREF(own);
  static const char* kHow =
      "Write each condition as a column, an operator and a value, as in \"price > 10\" or \"color = 'red'\", "
      "and join conditions with AND, OR and NOT.";
  // sqlglot's first recorded error says where: the token and its column.
  PyObject* errors = nullptr;
  if (PyObject_GetOptionalAttr(error, tx::name<"errors">(), &errors) < 0) return nullptr;
  PyObject* first = nullptr;
  if (errors != nullptr && PyList_Check(errors) && PyList_GET_SIZE(errors) > 0 &&
      PyDict_Check(PyList_GET_ITEM(errors, 0))) {
    first = Py_NewRef(PyList_GET_ITEM(errors, 0));
  }
  Py_XDECREF(errors);
  PyObject* highlight = nullptr;
  PyObject* col = nullptr;
  if (first != nullptr) {
    if (PyDict_GetItemRef(first, tx::name<"highlight">(), &highlight) < 0 ||
        PyDict_GetItemRef(first, tx::name<"col">(), &col) < 0) {
      Py_DECREF(first);
      Py_XDECREF(highlight);
      return nullptr;
    }
    Py_DECREF(first);
  }
  PyObject* out = nullptr;
  if (highlight != nullptr && PyUnicode_Check(highlight) && col != nullptr && PyLong_CheckExact(col)) {
    out = PyUnicode_FromFormat("the condition goes wrong at %R (column %S). %s", highlight, col, kHow);
  } else {
    out = PyUnicode_FromFormat("it is not one complete condition. %s", kHow);
  }
  Py_XDECREF(highlight);
  Py_XDECREF(col);
  return out;
}

// Runs a sqlglot step; its own errors become the parse refusal.
template <class F>
tx::Ref sqlglot_step(PyObject* text, F&& step) {
  try {
    return step();
  } catch (const tx::PyErrorSet&) {
    tx::Ref base = ns.get<"SqlglotError">();
    if (!PyErr_ExceptionMatches(base.get())) throw;
    // Made as a str: sqlglot's error quotes the text, which may hold a lone
    // surrogate that no UTF-8 string can carry.
    PyObject* error = PyErr_GetRaisedException();
    PyObject* detail = parse_detail(error);
    PyObject* message = detail == nullptr ? nullptr : PyUnicode_FromFormat("Could not parse filter %R: %U", text, detail);
    Py_XDECREF(detail);
    PyErr_SetRaisedException(error);
    if (message == nullptr) tx::rethrow_python();
    refuse_replacing(tx::Ref::steal(message).get());
  }
}

// A comment hides the rest of its line from the parser, so a filter pasted
// into a larger text could cut off what follows it; a second statement would
// be parsed apart from the first. Both are refused from sqlglot's own
// tokens, so a "--" or ";" inside a quoted string is not mistaken for one.
void check_tokens(PyObject* text) {
  if (!may_hide_text(text)) return;
  tx::Ref tokens = sqlglot_step(text, [&] {
    tx::Ref dialect_class = tx::attr<"Dialect">(ns.get<"sqlglot">().get());
    tx::Ref sqlite = tx::py_str("sqlite");
    tx::Ref dialect = tx::call_method(dialect_class.get(), tx::name<"get_or_raise">(), {sqlite.get()});
    return tx::Ref::steal(PySequence_List(tx::call_method(dialect.get(), tx::name<"tokenize">(), {text}).get()));
  });
  const Py_ssize_t n = PyList_GET_SIZE(tokens.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* token = PyList_GET_ITEM(tokens.get(), i);
    if (tx::truth(tx::attr<"comments">(token).get())) refuse_text(text, "comments are not allowed in a filter.");
    // One statement, at most ended by a single ";".
    if (tx::attr<"token_type">(token).get() == semicolon && i != n - 1) {
      refuse_text(text, "a filter is one condition, not several statements.");
    }
  }
}

// The text's own characters as a plain str: sqlglot reads a subclass through
// its methods (indexing, strip), which may show it another text than the
// one the cache key is made from.
tx::Ref plain_text(PyObject* text) {
  if (PyUnicode_CheckExact(text)) return tx::Ref::borrow(text);
  return tx::Ref::steal(PyUnicode_Substring(text, 0, PyUnicode_GET_LENGTH(text)));
}

tx::Ref parse_text(PyObject* given) {
  const tx::Ref plain = plain_text(given);
  PyObject* text = plain.get();
  tx::Ref stripped = tx::call_method(text, tx::name<"strip">(), {});
  if (tx::length(stripped.get()) == 0) refuse("Filter string is empty.");
  check_tokens(text);
  tx::Ref tree = sqlglot_step(text, [&] {
    tx::Ref parse_one = tx::attr<"parse_one">(ns.get<"sqlglot">().get());
    tx::Ref sqlite = tx::py_str("sqlite");
    tx::Ref into = tx::attr<"Condition">(ns.get<"exp">().get());
    return tx::call(parse_one.get(), {text, sqlite.get(), into.get()}, tx::kwnames<"read", "into">());
  });
  // Newer sqlglot gathers several statements into one block.
  if (k.Block != nullptr && is(tree.get(), k.Block)) {
    refuse_text(text, "a filter is one condition, not several statements.");
  }
  return tree;
}

tx::Ref parse_filter(PyObject* filter) {
  if (is(filter, k.Expression)) return tx::Ref::borrow(filter);
  if (PyDict_Check(filter)) {
    return tx::call_global(ns, tx::name<"dict_to_condition">(), own.dict_to_condition,
                           [&] { return dict_to_condition(filter); }, {filter});
  }
  if (PyUnicode_Check(filter)) return parse_text(filter);
  refuse("Unsupported filter type " + bare_type_name(filter) + "; pass a SQL string, a dict or a AttrSieve.");
}

// Runs one stage of compile_filter: a FilterError passes as raised, any
// other ValueError becomes a FilterError with its text.
template <class F>
tx::Ref filter_stage(F&& stage) {
  try {
    return stage();
  } catch (const tx::PyErrorSet&) {
    if (PyErr_ExceptionMatches(filter_error) || !PyErr_ExceptionMatches(PyExc_ValueError)) throw;
    PyObject* error = PyErr_GetRaisedException();
    PyObject* s = PyObject_Str(error);
    PyErr_SetRaisedException(error);
    if (s == nullptr) tx::rethrow_python();
    refuse_replacing(tx::Ref::steal(s).get());
  }
}

// SQLite refuses a condition nested more than 1000 deep, and a junction of n
// parts is rendered as n - 1 nested operators: each condition and each
// negation can add one level, and the store's frame a few more.
constexpr Py_ssize_t kMaxConditions = 900;

// Refuses a translated filter with more conditions and negations than
// SQLite could run, counting only until the limit is passed.
void check_size(PyObject* root) {
  Py_ssize_t count = 0;
  std::vector<tx::Ref> pending{tx::Ref::borrow(root)};
  while (!pending.empty() && count <= kMaxConditions) {
    tx::Ref node = std::move(pending.back());
    pending.pop_back();
    tx::Ref parts = tx::optional_attr(node.get(), tx::name<"parts">());
    if (parts && PyTuple_Check(parts.get())) {
      for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(parts.get()); ++i) {
        pending.push_back(tx::Ref::borrow(PyTuple_GET_ITEM(parts.get(), i)));
      }
      continue;
    }
    ++count;
    tx::Ref part = tx::optional_attr(node.get(), tx::name<"part">());
    if (part) pending.push_back(std::move(part));
  }
  if (count > kMaxConditions) {
    refuse("A filter can hold at most " + std::to_string(kMaxConditions) +
           " conditions and negations, as SQLite refuses deeper expressions; split it into several filters, "
           "or write a choice among values of one column as IN (...).");
  }
}

tx::Ref compile_filter(PyObject* filter, PyObject* scalar, PyObject* multi, PyObject* owner) {
  tx::require_exact(scalar, &PySet_Type, "scalar_columns", false);
  tx::require_exact(multi, &PySet_Type, "multi_keys", false);
  tx::Ref tree = filter_stage([&] {
    return tx::call_global(ns, tx::name<"parse_filter">(), own.parse_filter, [&] { return parse_filter(filter); },
                           {filter});
  });
  tx::Ref translator = tx::call(ns.get<"_Translator">().get(), {scalar, multi});
  tx::Ref root = filter_stage([&] { return tx::call_method(translator.get(), tx::name<"build">(), {tree.get()}); });
  check_size(root.get());
  return tx::call(ns.get<"AttrSieve">().get(), {owner, root.get()});
}

// Only a plain value has a key (see support/plain_json.hpp): JSON writes
// None, True or 1 as a key "null", "true" or "1", and writes a subclass from
// its stored value while the grammar reads it through its own methods, so
// the key of one filter could be that of another that selects other
// documents. The walk is guarded, so a deeply nested dict is refused before
// the encoder recurses.
tx::Ref key_pair(PyObject* form, PyObject* text) { return tx::Ref::steal(PyTuple_Pack(2, form, text)); }

tx::Ref filter_cache_key(PyObject* filter) {
  if (PyUnicode_Check(filter)) {
    const tx::Ref plain = plain_text(filter);
    return key_pair(tx::name<"sql">(), tx::call_method(plain.get(), tx::name<"strip">(), {}).get());
  }
  if (PyDict_Check(filter)) {
    std::unordered_set<PyObject*> path;
    if (!tx::plain_json::check(filter, path, " while reading a filter dict")) return tx::Ref::none();
    tx::Ref dumps = tx::attr<"dumps">(ns.get<"json">().get());
    PyObject* text = PyObject_Vectorcall(dumps.get(), std::array<PyObject*, 2>{filter, Py_True}.data(), 1,
                                         tx::kwnames<"sort_keys">());
    if (text == nullptr) {
      if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError)) {
        PyErr_Clear();
        return tx::Ref::none();
      }
      tx::rethrow_python();
    }
    return key_pair(tx::name<"dict">(), tx::Ref::steal(text).get());
  }
  tx::Ref sieve = ns.get<"AttrSieve">();
  const int chain = PyObject_IsInstance(filter, sieve.get());
  if (chain < 0) tx::rethrow_python();
  if (chain == 1) return tx::call_method(filter, tx::name<"cache_key">(), {});
  return tx::Ref::none();
}

// ---- entry points -------------------------------------------------------

PyObject* py_parse_filter(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::call_with_required<"parse_filter", "filter">(args, nargs, kwnames,
                                                          [](PyObject* f) { return parse_filter(f); });
}

PyObject* py_compile_filter(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig =
        tx::signature<4>("compile_filter", {"filter", "scalar_columns", "multi_keys", "owner=None"}, 3);
    const auto a = sig.bind(args, nargs, kwnames);
    return compile_filter(a[0], a[1], a[2], a[3]);
  });
}

PyObject* py_filter_cache_key(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::call_with_required<"filter_cache_key", "filter">(args, nargs, kwnames,
                                                              [](PyObject* f) { return filter_cache_key(f); });
}

PyMethodDef methods[] = {
    {"parse_filter", tx::as_cfunction(py_parse_filter), kFastcall,
     "parse_filter(filter)\n--\n\nThe sqlglot expression of a SQL WHERE string or a filter dict."},
    {"compile_filter", tx::as_cfunction(py_compile_filter), kFastcall,
     "compile_filter(filter, scalar_columns, multi_keys, owner=None)\n--\n\n"
     "The AttrSieve of a SQL string, filter dict or parsed expression, checked against the sets of\n"
     "scalar columns and multi-valued keys and bound to the RowScreen `owner` (None: unbound)."},
    {"filter_cache_key", tx::as_cfunction(py_filter_cache_key), kFastcall,
     "filter_cache_key(filter)\n--\n\nA hashable key naming what `filter` selects, or None when it has none."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_clause_builder",
                          "SQL WHERE fragments and filter dicts compiled into AttrSieve filters.", -1, methods};

PyTypeObject* exp_class(PyObject* exp, const char* name, bool required = true) {
  PyObject* c = PyObject_GetAttrString(exp, name);
  if (c == nullptr) {
    if (required) tx::rethrow_python();
    PyErr_Clear();
    return nullptr;
  }
  if (!PyType_Check(c)) {
    Py_DECREF(c);
    tx::raise_format(PyExc_ImportError, "sqlglot.exp.%s is not a class", name);
  }
  return reinterpret_cast<PyTypeObject*>(c);  // kept for the life of the process
}

// The translator's tables, made once at import.
void add_tables() {
  tx::Ref exp = ns.get<"exp">();
  auto cls = [&](const char* n) { return tx::Ref::steal(PyObject_GetAttrString(exp.get(), n)); };
  tx::Ref comparisons = tx::Ref::steal(PyDict_New());
  static constexpr std::pair<const char*, const char*> kOps[] = {
      {"EQ", "="}, {"NEQ", "!="}, {"GT", ">"}, {"GTE", ">="}, {"LT", "<"}, {"LTE", "<="},
  };
  for (auto [name, op] : kOps) {
    if (PyDict_SetItem(comparisons.get(), cls(name).get(), tx::py_str(op).get()) < 0) tx::rethrow_python();
  }
  ns.set("_COMPARISONS", comparisons);
  tx::Ref range_ops = tx::Ref::steal(PyFrozenSet_New(nullptr));
  for (const char* op : {">", ">=", "<", "<="}) {
    if (PySet_Add(range_ops.get(), tx::py_str(op).get()) < 0) tx::rethrow_python();
  }
  ns.set("_RANGE_OPS", range_ops);
  tx::Ref flipped = tx::Ref::steal(PyDict_New());
  static constexpr std::pair<const char*, const char*> kFlips[] = {
      {"=", "="}, {"!=", "!="}, {">", "<"}, {">=", "<="}, {"<", ">"}, {"<=", ">="},
  };
  for (auto [from, to] : kFlips) {
    if (PyDict_SetItemString(flipped.get(), from, tx::py_str(to).get()) < 0) tx::rethrow_python();
  }
  ns.set("_FLIPPED", flipped);
  ns.set("_ARITHMETIC", tx::Ref::steal(PyTuple_Pack(5, cls("Add").get(), cls("Sub").get(), cls("Mul").get(),
                                                    cls("Div").get(), cls("Mod").get())));
}

void init(PyObject* module) {
  ns.bind(module);
  ns.import_module("json", "json");
  ns.import_module("sqlglot", "sqlglot");
  ns.import_from("sqlglot", {"exp"});
  ns.import_from("sqlglot.errors", {"SqlglotError"});
  ns.import_from("tarnix_engine._attr_sieve",
                 {"BUILTIN_COLUMNS", "AttrSieve", "_Node", "and_", "condition", "constant", "not_", "or_"});
  {
    tx::Ref tokens = tx::Ref::steal(PyImport_ImportModule("sqlglot.tokens"));
    tx::Ref token_type = tx::attr<"TokenType">(tokens.get());
    semicolon = tx::attr<"SEMICOLON">(token_type.get()).release();
  }

  PyObject* error = PyErr_NewExceptionWithDoc("tarnix_engine._clause_builder.FilterError",
                                              "A metadata filter is malformed, unsafe, or names an unknown column.",
                                              PyExc_ValueError, nullptr);
  if (error == nullptr) tx::rethrow_python();
  filter_error = error;  // kept for the life of the process
  if (PyModule_AddObjectRef(module, "FilterError", error) < 0) tx::rethrow_python();

  tx::Ref exp = ns.get<"exp">();
  PyObject* e = exp.get();
  k = Classes{exp_class(e, "Expression"), exp_class(e, "Condition"), exp_class(e, "Block", false),
              exp_class(e, "And"), exp_class(e, "Or"), exp_class(e, "Not"), exp_class(e, "Paren"),
              exp_class(e, "Neg"), exp_class(e, "EQ"), exp_class(e, "NEQ"), exp_class(e, "GT"),
              exp_class(e, "GTE"), exp_class(e, "LT"), exp_class(e, "LTE"), exp_class(e, "In"),
              exp_class(e, "Between"), exp_class(e, "Like"), exp_class(e, "Is"), exp_class(e, "Escape", false),
              exp_class(e, "Column"), exp_class(e, "Identifier"),
              exp_class(e, "Literal"), exp_class(e, "Boolean"), exp_class(e, "Null"), exp_class(e, "Subquery"),
              exp_class(e, "Select"), exp_class(e, "Query"), exp_class(e, "Exists"), exp_class(e, "Placeholder"),
              exp_class(e, "Func"), exp_class(e, "Anonymous")};

  own.parse_filter = ns.get<"parse_filter">().release();
  init_dict_grammar(module);
  add_tables();
  init_translator(module);
}

}  // namespace
}  // namespace tx::clause

PyMODINIT_FUNC PyInit__clause_builder() { return tx::init_module(&tx::clause::module_def, tx::clause::init); }
