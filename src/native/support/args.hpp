// Binding of vectorcall (METH_FASTCALL | METH_KEYWORDS) arguments to named
// parameters, with the interpreter's own kinds of TypeError.
#pragma once

#include <array>
#include <stdexcept>
#include <string_view>
#include <tuple>
#include <vector>

#include "support/core.hpp"

namespace tx {

// Parameters of one callable: `required` leading ones are mandatory, and only
// the first `positional` may be given by position (the rest are keyword-only).
// An optional parameter may name its default as Python writes it, "name=None",
// "name=True" or "name=False": binding fills it in when the caller leaves the
// parameter out. One without a default stays NULL when absent, for callers
// that tell "not given" from every value.
template <std::size_t N>
class Signature {
 public:
  using Bound = std::array<PyObject*, N>;  // borrowed references

  constexpr Signature(const char* function, std::array<const char*, N> names, std::size_t required,
                      std::size_t positional = N)
      : function_(function), names_(names), required_(required), positional_(positional) {
    for (std::size_t i = 0; i < N; ++i) {
      std::size_t n = 0;
      while (names[i][n] != '\0' && names[i][n] != '=') ++n;
      lengths_[i] = static_cast<int>(n);
      defaults_[i] = names[i][n] == '\0' ? Default::kAbsent : default_named(names[i] + n + 1);
    }
  }

  Bound bind(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) const {
    Bound out;
    bind(args, nargsf, kwnames, out);
    return out;
  }

  // The same for tuple-and-dict slots (tp_init): the result borrows from
  // `args` and `kwargs`, which outlive the call.
  Bound bind_call(PyObject* args, PyObject* kwargs) const {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const Py_ssize_t nkw = kwargs == nullptr ? 0 : PyDict_GET_SIZE(kwargs);
    if (nkw == 0) return bind(&PyTuple_GET_ITEM(args, 0), nargs, nullptr);
    std::vector<PyObject*> stack(&PyTuple_GET_ITEM(args, 0), &PyTuple_GET_ITEM(args, 0) + nargs);
    Ref names = Ref::steal(PyTuple_New(nkw));
    Py_ssize_t pos = 0, j = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      PyTuple_SET_ITEM(names.get(), j++, Py_NewRef(key));
      stack.push_back(value);
    }
    return bind(stack.data(), nargs, names.get());
  }

  const char* function() const { return function_; }

 private:
  enum class Default { kAbsent, kNone, kTrue, kFalse };

  static constexpr Default default_named(const char* text) {
    const std::string_view v(text);
    if (v == "None") return Default::kNone;
    if (v == "True") return Default::kTrue;
    if (v == "False") return Default::kFalse;
    throw std::logic_error("a parameter's default must be None, True or False");
  }

  void bind(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, Bound& out) const {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    out.fill(nullptr);
    if (static_cast<std::size_t>(nargs) > positional_) too_many_positional(nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    if (kwnames != nullptr) {
      const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
      for (Py_ssize_t j = 0; j < nkw; ++j) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, j);
        const std::size_t slot = find(key);
        if (slot == N) {
          raise_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function_, key);
        }
        if (out[slot] != nullptr) {
          if (slot < static_cast<std::size_t>(nargs)) {
            raise_format(PyExc_TypeError, "argument for %s() given by name ('%.*s') and position (%zu)",
                         function_, lengths_[slot], names_[slot], slot + 1);
          }
          raise_format(PyExc_TypeError, "%s() got multiple values for argument '%.*s'", function_,
                       lengths_[slot], names_[slot]);
        }
        out[slot] = args[nargs + j];
      }
    }
    for (std::size_t i = 0; i < required_; ++i) {
      if (out[i] == nullptr && i >= positional_) {
        raise_format(PyExc_TypeError, "%s() missing required keyword-only argument '%.*s'", function_,
                     lengths_[i], names_[i]);
      }
      if (out[i] == nullptr) {
        raise_format(PyExc_TypeError, "%s() missing required argument '%.*s' (pos %zu)", function_,
                     lengths_[i], names_[i], i + 1);
      }
    }
    for (std::size_t i = required_; i < N; ++i) {
      if (out[i] != nullptr) continue;
      switch (defaults_[i]) {
        case Default::kAbsent: break;
        case Default::kNone: out[i] = Py_None; break;
        case Default::kTrue: out[i] = Py_True; break;
        case Default::kFalse: out[i] = Py_False; break;
      }
    }
  }

  std::size_t find(PyObject* key) const {
    if constexpr (N == 0) {
      return 0;
    } else {
      if (interned_[N - 1] == nullptr) {
        // Filled in order, so a failure part-way is simply retried next call.
        for (std::size_t i = 0; i < N; ++i) {
          if (interned_[i] != nullptr) continue;
          PyObject* name = PyUnicode_FromStringAndSize(names_[i], lengths_[i]);
          if (name == nullptr) rethrow_python();
          PyUnicode_InternInPlace(&name);
          interned_[i] = name;
        }
      }
    }
    for (std::size_t i = 0; i < N; ++i) {
      if (interned_[i] == key) return i;
    }
    // Keyword names are usually interned already; compare by value otherwise.
    for (std::size_t i = 0; i < N; ++i) {
      if (PyUnicode_Check(key) && PyUnicode_Compare(key, interned_[i]) == 0) return i;
    }
    return N;
  }

  [[noreturn]] void too_many_positional(Py_ssize_t given) const {
    if (positional_ == 0) {
      raise_format(PyExc_TypeError, "%s() takes no positional arguments (%zd given)", function_, given);
    }
    const char* were = given == 1 ? "was" : "were";
    if (required_ == positional_) {
      raise_format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zd %s given", function_,
                   positional_, positional_ == 1 ? "" : "s", given, were);
    }
    raise_format(PyExc_TypeError, "%s() takes from %zu to %zu positional arguments but %zd %s given",
                 function_, required_, positional_, given, were);
  }

  const char* function_;
  std::array<const char*, N> names_;  // as given, each up to lengths_[i] or its "="
  std::array<int, N> lengths_{};
  std::array<Default, N> defaults_{};
  std::size_t required_;
  std::size_t positional_;
  mutable std::array<PyObject*, N> interned_{};
};

// Deduction helper: Signature{"f", {"a", "b"}, 1} needs the count spelled out
// otherwise, so glue code writes tx::signature<2>("f", {"a", "b"}, 1).
template <std::size_t N>
constexpr Signature<N> signature(const char* function, std::array<const char*, N> names,
                                 std::size_t required, std::size_t positional = N) {
  return Signature<N>(function, names, required, positional);
}

// Parameters of `def f(p0, ..., *args, k0=None, ..., **kwargs)`: the P named
// positional ones (the first `required` mandatory), then any further
// positional arguments, then K keyword-only ones, then any other keywords.
template <std::size_t P, std::size_t K>
class VarSignature {
 public:
  struct Bound {
    std::array<PyObject*, P> positional{};  // borrowed; NULL when absent
    std::array<PyObject*, K> keyword{};     // borrowed; NULL when absent
    Ref args;                               // tuple of the extra positional arguments
    Ref kwargs;                             // dict of the other keywords
  };

  // Without `takes_kwargs` (a function with no **kwargs) any other keyword
  // is refused, as the interpreter refuses it.
  constexpr VarSignature(const char* function, std::array<const char*, P> positional,
                         std::array<const char*, K> keyword, std::size_t required, bool takes_kwargs = true)
      : function_(function), positional_(positional), keyword_(keyword), required_(required),
        takes_kwargs_(takes_kwargs) {}

  Bound bind(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) const {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Bound b;
    const Py_ssize_t named = std::min<Py_ssize_t>(nargs, static_cast<Py_ssize_t>(P));
    for (Py_ssize_t i = 0; i < named; ++i) b.positional[i] = args[i];
    b.args = Ref::steal(PyTuple_New(nargs - named));
    for (Py_ssize_t i = named; i < nargs; ++i) PyTuple_SET_ITEM(b.args.get(), i - named, Py_NewRef(args[i]));
    b.kwargs = Ref::steal(PyDict_New());
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t j = 0; j < nkw; ++j) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, j);
      PyObject* value = args[nargs + j];
      if (const std::size_t i = find(key, positional_); i < P) {
        if (b.positional[i] != nullptr) {
          raise_format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function_, positional_[i]);
        }
        b.positional[i] = value;
      } else if (const std::size_t k = find(key, keyword_); k < K) {
        b.keyword[k] = value;
      } else if (!takes_kwargs_) {
        raise_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function_, key);
      } else if (PyDict_SetItem(b.kwargs.get(), key, value) < 0) {
        rethrow_python();
      }
    }
    for (std::size_t i = 0; i < required_; ++i) {
      if (b.positional[i] == nullptr) {
        raise_format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", function_,
                     positional_[i], i + 1);
      }
    }
    return b;
  }

 private:
  template <std::size_t N>
  static std::size_t find(PyObject* key, const std::array<const char*, N>& names) {
    for (std::size_t i = 0; i < N; ++i) {
      if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) return i;
    }
    return N;
  }

  const char* function_;
  std::array<const char*, P> positional_;
  std::array<const char*, K> keyword_;
  std::size_t required_;
  bool takes_kwargs_;
};

// A function that takes keyword arguments only; `f(**kw)` called with a
// positional argument.
inline void keywords_only(const char* function, Py_ssize_t nargsf) {
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (nargs != 0) {
    raise_format(PyExc_TypeError, "%s() takes 0 positional arguments but %zd %s given", function, nargs,
                 nargs == 1 ? "was" : "were");
  }
}

// A method or function that takes no arguments at all.
inline void no_arguments(const char* function, Py_ssize_t nargsf, PyObject* kwnames) {
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
    raise_format(PyExc_TypeError, "%s() takes no keyword arguments", function);
  }
  if (nargs != 0) raise_format(PyExc_TypeError, "%s() takes no arguments (%zd given)", function, nargs);
}

// An entry point whose parameters are all required: binds them by position
// or keyword and runs body(params...) under the entry guard.
template <Literal Function, Literal... Params, class Body>
PyObject* call_with_required(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, Body&& body) {
  return guard([&] {
    static const Signature<sizeof...(Params)> sig(Function.text, {Params.text...}, sizeof...(Params));
    return std::apply(body, sig.bind(args, nargsf, kwnames));
  });
}

}  // namespace tx
