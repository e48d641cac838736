// Late binding: module globals read at each use, and methods called by name so
// that an override written in Python is honoured.
#pragma once

#include <initializer_list>
#include <vector>

#include "support/core.hpp"

namespace tx {

// The body of a PyInit function: creates the module, runs `init` on it and
// hands it to the interpreter, or returns NULL with the error set.
template <class F>
PyObject* init_module(PyModuleDef* def, F&& init) noexcept {
  PyObject* module = PyModule_Create(def);
  if (module == nullptr) return nullptr;
  if (guard_status([&] { init(module); }) < 0) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}

// The namespace of one extension module. Names fetched through it are looked
// up at every use, so assigning the module attribute changes later calls.
class Namespace {
 public:
  void bind(PyObject* module) {
    PyObject* dict = PyModule_GetDict(module);  // borrowed; the module lives for the process
    Py_INCREF(dict);
    dict_ = dict;
  }

  Ref get(PyObject* key) const {
    PyObject* value = nullptr;
    const int found = PyDict_GetItemRef(dict_, key, &value);
    if (found < 0) rethrow_python();
    if (found == 0) raise_format(PyExc_NameError, "name '%U' is not defined", key);
    return Ref::steal(value);
  }

  template <Literal L>
  Ref get() const {
    return get(name<L>());
  }

  void set(const char* key, Ref value) const {
    if (PyDict_SetItemString(dict_, key, value.get()) < 0) rethrow_python();
  }

  // `import module as key`, at module init.
  void import_module(const char* key, const char* module) const {
    set(key, Ref::steal(PyImport_ImportModule(module)));
  }

  // `from module import a, b, ...`, at module init.
  void import_from(const char* module, std::initializer_list<const char*> names) const {
    Ref m = Ref::steal(PyImport_ImportModule(module));
    for (const char* n : names) set(n, Ref::steal(PyObject_GetAttrString(m.get(), n)));
  }

 private:
  PyObject* dict_ = nullptr;
};

// str(o)
inline Ref str(PyObject* o) { return Ref::steal(PyObject_Str(o)); }

// path / entry, for a pathlib path.
inline Ref join_path(PyObject* path, const char* entry) {
  Ref name = Ref::steal(PyUnicode_FromString(entry));
  return Ref::steal(PyNumber_TrueDivide(path, name.get()));
}

inline Ref attr(PyObject* o, PyObject* attribute) { return Ref::steal(PyObject_GetAttr(o, attribute)); }

// o.attribute, or an empty Ref when o has no such attribute.
inline Ref optional_attr(PyObject* o, PyObject* attribute) {
  PyObject* value = nullptr;
  if (PyObject_GetOptionalAttr(o, attribute, &value) < 0) rethrow_python();
  return value == nullptr ? Ref{} : Ref::steal(value);
}

template <Literal L>
Ref attr(PyObject* o) {
  return attr(o, name<L>());
}

// callable(*args, **kw) where kwnames names the trailing arguments.
inline Ref call(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr) {
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  const std::size_t npos = args.size() - static_cast<std::size_t>(nkw);
  return Ref::steal(PyObject_Vectorcall(callable, args.begin(), npos, kwnames));
}

// o.<name>(*args, **kw), looked up on the object so a subclass override runs.
inline Ref call_method(PyObject* o, PyObject* method, std::initializer_list<PyObject*> args,
                       PyObject* kwnames = nullptr) {
  std::vector<PyObject*> stack;
  stack.reserve(args.size() + 1);
  stack.push_back(o);
  stack.insert(stack.end(), args.begin(), args.end());
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  const std::size_t npos = stack.size() - static_cast<std::size_t>(nkw);
  return Ref::steal(PyObject_VectorcallMethod(method, stack.data(), npos, kwnames));
}

// A tuple of interned keyword names for the kwnames argument of a call.
template <Literal... L>
PyObject* kwnames() {
  static PyObject* names = nullptr;
  if (names == nullptr) {
    PyObject* t = PyTuple_Pack(sizeof...(L), name<L>()...);
    if (t == nullptr) rethrow_python();
    names = t;
  }
  return names;
}

// `with manager as value: return body(value)`, as the interpreter runs it:
// __exit__ sees the exception in flight (a C++ one is translated first) and
// may suppress it, in which case the result is None; an error raised by
// __exit__ itself replaces the original, which becomes its context.
template <class Body>
Ref with_context(PyObject* manager, Body&& body) {
  Ref exit = attr<"__exit__">(manager);
  Ref value = call_method(manager, name<"__enter__">(), {});
  Ref result;
  try {
    result = body(value.get());
  } catch (...) {
    translate_current_exception();
    PyObject* exc = PyErr_GetRaisedException();
    PyObject* tb = PyException_GetTraceback(exc);
    PyObject* suppressed = PyObject_CallFunctionObjArgs(exit.get(), Py_TYPE(exc), exc, tb ? tb : Py_None, nullptr);
    Py_XDECREF(tb);
    if (suppressed == nullptr) {
      PyObject* from_exit = PyErr_GetRaisedException();
      if (from_exit == exc) {
        // __exit__ re-raised the exception in flight: it is not its own context.
        Py_DECREF(exc);
      } else {
        // As the interpreter does, cut from_exit out of exc's chain so the
        // chain cannot loop; `slow` stops the walk on a loop made by hand.
        PyObject* o = exc;
        PyObject* slow = exc;
        for (bool step_slow = false;; step_slow = !step_slow) {
          PyObject* context = PyException_GetContext(o);
          Py_XDECREF(context);  // still held by o; only the identity is used
          if (context == nullptr) break;
          if (context == from_exit) {
            PyException_SetContext(o, nullptr);
            break;
          }
          o = context;
          if (step_slow) {
            slow = PyException_GetContext(slow);
            Py_XDECREF(slow);
          }
          if (o == slow) break;
        }
        PyException_SetContext(from_exit, exc);  // steals exc
      }
      PyErr_SetRaisedException(from_exit);
      rethrow_python();
    }
    const int keep_going = PyObject_IsTrue(suppressed);
    Py_DECREF(suppressed);
    if (keep_going < 0) {
      Py_DECREF(exc);
      rethrow_python();
    }
    if (keep_going) {
      Py_DECREF(exc);
      return Ref::none();
    }
    PyErr_SetRaisedException(exc);
    rethrow_python();
  }
  call(exit.get(), {Py_None, Py_None, Py_None});
  return result;
}

// How `o.<method>(...)` resolves: the attribute a call would use, and the C
// function behind it when it is a builtin method (nullptr otherwise), with
// the object it is bound to. A caller that recognises one of its own
// functions bound to `o` runs it natively; anything else, an override
// written in Python included, is called as found.
struct MethodLookup {
  Ref bound;
  void* native = nullptr;
  PyObject* bound_to = nullptr;
  bool is(void* impl, PyObject* self) const noexcept { return native == impl && bound_to == self; }
};

inline MethodLookup lookup_method(PyObject* o, PyObject* method) {
  MethodLookup found;
  found.bound = attr(o, method);
  PyObject* b = found.bound.get();
  if (PyCFunction_Check(b)) {
    found.native = reinterpret_cast<void*>(PyCFunction_GET_FUNCTION(b));
    found.bound_to = PyCFunction_GET_SELF(b);
  }
  return found;
}

// Dispatch of an overridable method: when `self` is exactly `base`, or the
// attribute found on it is still our own builtin `impl`, run `fast` in C++;
// otherwise call what Python finds under that name with the Python arguments.
template <class Fast>
Ref call_virtual(PyObject* self, PyTypeObject* base, PyObject* method, void* impl, Fast&& fast,
                 std::initializer_list<PyObject*> args, PyObject* kwnames_ = nullptr) {
  if (Py_IS_TYPE(self, base)) return fast();
  MethodLookup found = lookup_method(self, method);
  if (found.is(impl, self)) return fast();
  return call(found.bound.get(), args, kwnames_);
}

// Calls the module global `key`; while it is still the module's own builtin
// `own`, runs `fast` in C++ instead, so a replaced global is honoured and the
// usual case pays one dict lookup.
template <class Fast>
Ref call_global(const Namespace& ns, PyObject* key, PyObject* own, Fast&& fast, std::initializer_list<PyObject*> args,
                PyObject* kwnames_ = nullptr) {
  Ref f = ns.get(key);
  if (f.get() == own) return fast();
  return call(f.get(), args, kwnames_);
}

}  // namespace tx
