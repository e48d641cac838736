// tarnix_engine._attr_sieve: metadata filters as immutable condition trees
// rendered into SQLite conditions with bound values.
#include "filters/attr_sieve_glue.hpp"

namespace {

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_attr_sieve", "Metadata filter trees and the filter chain.", -1,
                          nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__attr_sieve() {
  using namespace tx::attr_sieve;
  return tx::init_module(&module_def, [](PyObject* module) {
    ns.bind(module);
    ns.import_from("collections.abc", {"Iterable", "Iterator"});
    ns.import_from("typing", {"TYPE_CHECKING", "cast"});
    ns.import_module("np", "numpy");
    ns.import_from("tarnix_engine._sql", {"validate_identifier"});

    tx::Ref builtin_columns = tx::Ref::steal(PyDict_New());
    if (PyDict_SetItemString(builtin_columns.get(), "id", tx::py_str("d.id").get()) < 0 ||
        PyDict_SetItemString(builtin_columns.get(), "position", tx::py_str("m.position").get()) < 0) {
      tx::rethrow_python();
    }
    ns.set("BUILTIN_COLUMNS", builtin_columns);
    tx::Ref comparisons = tx::Ref::steal(PySet_New(nullptr));
    tx::Ref chain_ops = tx::Ref::steal(PySet_New(nullptr));
    for (std::string_view op : tx::sieve::kChainOperators) {
      tx::Ref text = tx::Ref::steal(PyUnicode_FromStringAndSize(op.data(), static_cast<Py_ssize_t>(op.size())));
      if (op != "IN" && PySet_Add(comparisons.get(), text.get()) < 0) tx::rethrow_python();
      if (PySet_Add(chain_ops.get(), text.get()) < 0) tx::rethrow_python();
    }
    ns.set("COMPARISON_OPS", tx::Ref::steal(PyFrozenSet_New(comparisons.get())));
    ns.set("_CHAIN_OPS", tx::Ref::steal(PyFrozenSet_New(chain_ops.get())));

    init_nodes(module);
    init_chain(module);
    init_columns(module);
  });
}
