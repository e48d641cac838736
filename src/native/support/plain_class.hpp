// Plain classes with C++ methods: classes made by `type(name, bases, ns)`
// exactly as a class statement makes them (instance __dict__ and weak
// references, or __slots__; subclassable; vars(), copying and pickling as for
// any Python class), whose methods, class methods, static methods and
// properties are C++ functions.
#pragma once

#include <cstring>
#include <string_view>
#include <vector>

#include "support/core.hpp"

namespace tx {

// `cls.__signature__` of a plain class, for inspect.signature(cls) and
// help(): inspect cannot bind a C++ __init__ (a method descriptor) to the
// class itself, so it reads this instead. It is worked out on access from the
// __init__ the class resolves to, so a subclass sees its own: the text
// signature of a C++ __init__ without its `$self` (and the `/` after it), or
// None for a Python __init__, which inspect reads directly. An instance also
// sees None, so a callable instance keeps the signature of its __call__.
class InitSignature {
 public:
  // The one descriptor of this extension module (every plain class shares it).
  static Ref descriptor() {
    static PyTypeObject* type = nullptr;
    if (type == nullptr) {
      type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec_));
      if (type == nullptr) rethrow_python();
    }
    return Ref::steal(PyType_GenericAlloc(type, 0));
  }

 private:
  static PyObject* get(PyObject*, PyObject* instance, PyObject* cls) {
    if ((instance != nullptr && instance != Py_None) || cls == nullptr) Py_RETURN_NONE;
    PyObject* init = PyObject_GetAttrString(cls, "__init__");
    if (init == nullptr) return nullptr;
    PyObject* text = PyObject_TypeCheck(init, &PyMethodDescr_Type)
                         ? PyObject_GetAttrString(init, "__text_signature__")
                         : Py_NewRef(Py_None);
    Py_DECREF(init);
    if (text == nullptr || text == Py_None || !PyUnicode_Check(text)) return text;
    const char* sig = PyUnicode_AsUTF8(text);
    if (sig == nullptr) {
      Py_DECREF(text);
      return nullptr;
    }
    std::string_view rest(sig);
    constexpr std::string_view kSelf = "($self";
    if (rest.substr(0, kSelf.size()) != kSelf) return text;  // no bound argument to drop
    rest.remove_prefix(kSelf.size());
    for (std::string_view skip : {std::string_view(", "), std::string_view("/, "), std::string_view("/")}) {
      if (rest.substr(0, skip.size()) == skip) rest.remove_prefix(skip.size());
    }
    PyObject* unbound = PyUnicode_FromFormat("(%.*s", static_cast<int>(rest.size()), rest.data());
    Py_DECREF(text);  // `rest` points into it
    return unbound;
  }

  static inline PyType_Slot slots_[] = {
      {Py_tp_descr_get, reinterpret_cast<void*>(&get)},
      {0, nullptr},
  };
  static inline PyType_Spec spec_ = {"tarnix_engine.init_signature", 0, 0,
                                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE |
                                         Py_TPFLAGS_DISALLOW_INSTANTIATION,
                                     slots_};
};

// How a plain class is built. `methods` and `properties` are NULL-terminated
// tables that must outlive the class (static storage). In `methods`, the flag
// METH_CLASS makes a class method and METH_STATIC a static method; any other
// entry is an instance method that receives the instance as `self`. Each
// property is a real `property` whose getter (and setter, if any) is a C++
// function taking the instance.
struct PlainClassSpec {
  const char* module = nullptr;     // the class's __module__
  const char* qualname = nullptr;   // __qualname__; __name__ is its last part
  const char* doc = nullptr;        // __doc__, or None
  PyObject* bases = nullptr;        // a tuple (borrowed); nullptr means (object,)
  bool has_slots = false;           // declare __slots__ (no instance __dict__, no weak references)
  std::vector<const char*> slots;   // the __slots__ names, in order
  bool readonly_slots = true;       // slot fields are written only from C++
  PyMethodDef* methods = nullptr;
  struct Property {
    const char* name;
    PyObject* (*get)(PyObject* self);
    int (*set)(PyObject* self, PyObject* value) = nullptr;  // nullptr: read-only
    const char* doc = nullptr;
  };
  const Property* properties = nullptr;  // terminated by an entry whose name is nullptr
};

// A built plain class and the offsets of its slot fields.
class PlainClass {
 public:
  PyObject* object() const noexcept { return reinterpret_cast<PyObject*>(type_); }
  PyTypeObject* type() const noexcept { return type_; }
  bool is_instance(PyObject* o) const noexcept { return PyObject_TypeCheck(o, type_); }

  // Slot field `i` (in the declared order) of an instance; borrowed, nullptr when unset.
  PyObject* get(PyObject* self, std::size_t i) const noexcept { return *slot_ptr(self, i); }

  // The same, raising the interpreter's AttributeError for an unset field
  // (an instance made by __new__ alone, or by a subclass that skipped __init__).
  PyObject* field(PyObject* self, std::size_t i) const {
    PyObject* v = *slot_ptr(self, i);
    if (v == nullptr) {
      raise_format(PyExc_AttributeError, "'%s' object has no attribute '%s'", Py_TYPE(self)->tp_name, names_[i]);
    }
    return v;
  }

  // Read-only fields are set once, by the constructor: calling __init__
  // again on a built instance must not change it either.
  void require_unset(PyObject* self) const {
    for (std::size_t i = 0; i < offsets_.size(); ++i) {
      if (*slot_ptr(self, i) != nullptr) {
        raise_format(PyExc_AttributeError, "cannot assign to field '%s' of an immutable %s", names_[i],
                     Py_TYPE(self)->tp_name);
      }
    }
  }

  // A new instance with every slot unset, made without running __init__.
  Ref allocate() const { return Ref::steal(PyType_GenericNew(type_, nullptr, nullptr)); }

  // `__reduce__` that rebuilds through the constructor: (type(self), args),
  // with the instance __dict__ a subclass may add as the state.
  static Ref reduce_through_constructor(PyObject* self, const Ref& args) {
    PyObject* cls = reinterpret_cast<PyObject*>(Py_TYPE(self));
    if (Py_TYPE(self)->tp_dictoffset != 0) {
      Ref d = Ref::steal(PyObject_GenericGetDict(self, nullptr));
      if (PyDict_GET_SIZE(d.get()) > 0) return Ref::steal(PyTuple_Pack(3, cls, args.get(), d.get()));
    }
    return Ref::steal(PyTuple_Pack(2, cls, args.get()));
  }

  // cls.<name> = value
  void set_class_attr(const char* attr_name, const Ref& value) const {
    if (PyObject_SetAttrString(object(), attr_name, value.get()) < 0) rethrow_python();
  }

  // cls.<alias> = cls.<target>: the same object under a second name, as
  // `__and__ = and_` in a class body.
  void alias(const char* alias_name, const char* target) const {
    PyObject* found = PyDict_GetItemString(type_->tp_dict, target);  // borrowed
    if (found == nullptr) raise_format(PyExc_SystemError, "%s has no attribute %s to alias", type_->tp_name, target);
    set_class_attr(alias_name, Ref::borrow(found));
  }

  // Stores `value` (consumed) in slot field `i`; the old value is released last.
  void set(PyObject* self, std::size_t i, Ref value) const noexcept {
    PyObject** p = slot_ptr(self, i);
    PyObject* old = *p;
    *p = value.release();
    Py_XDECREF(old);
  }

  // Builds the class and, when `module` is given, adds it to the module
  // under its short name (so it pickles by reference like any class).
  static PlainClass create(PyObject* module, const PlainClassSpec& spec) {
    PlainClass made;
    const char* dot = std::strrchr(spec.qualname, '.');
    const char* short_name = dot ? dot + 1 : spec.qualname;

    Ref ns = Ref::steal(PyDict_New());
    set_item(ns, "__module__", Ref::steal(PyUnicode_FromString(spec.module)));
    set_item(ns, "__qualname__", Ref::steal(PyUnicode_FromString(spec.qualname)));
    set_item(ns, "__doc__", spec.doc ? Ref::steal(PyUnicode_FromString(spec.doc)) : Ref::none());
    set_item(ns, "__signature__", InitSignature::descriptor());
    if (spec.has_slots) {
      Ref slots = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(spec.slots.size())));
      for (std::size_t i = 0; i < spec.slots.size(); ++i) {
        PyTuple_SET_ITEM(slots.get(), static_cast<Py_ssize_t>(i),
                         Ref::steal(PyUnicode_InternFromString(spec.slots[i])).release());
      }
      set_item(ns, "__slots__", slots);
    }
    Ref bases = spec.bases ? Ref::borrow(spec.bases)
                           : Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    Ref name = Ref::steal(PyUnicode_FromString(short_name));
    Ref cls = Ref::steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyType_Type), name.get(),
                                                      bases.get(), ns.get(), nullptr));
    made.type_ = reinterpret_cast<PyTypeObject*>(cls.get());

    if (spec.has_slots) made.bind_slots(spec);
    // Installed one by one after the class exists, since a method descriptor
    // names its class; assigning a dunder through setattr also fills the
    // type's slot (tp_init, tp_call, ...) as the class statement would.
    for (PyMethodDef* m = spec.methods; m != nullptr && m->ml_name != nullptr; ++m) {
      Ref attr;
      if (m->ml_flags & METH_CLASS) {
        attr = Ref::steal(PyDescr_NewClassMethod(made.type_, m));
      } else if (m->ml_flags & METH_STATIC) {
        Ref fn = Ref::steal(PyCFunction_NewEx(m, nullptr, module));
        attr = Ref::steal(PyStaticMethod_New(fn.get()));
      } else {
        attr = Ref::steal(PyDescr_NewMethod(made.type_, m));
      }
      if (PyObject_SetAttrString(cls.get(), m->ml_name, attr.get()) < 0) rethrow_python();
    }
    for (const PlainClassSpec::Property* p = spec.properties; p != nullptr && p->name != nullptr; ++p) {
      Ref getter = accessor(module, p->name, p->doc, p->get, nullptr);
      Ref setter = p->set ? accessor(module, p->name, nullptr, nullptr, p->set) : Ref::none();
      Ref prop = Ref::steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyProperty_Type),
                                                         getter.get(), setter.get(), nullptr));
      if (PyObject_SetAttrString(cls.get(), p->name, prop.get()) < 0) rethrow_python();
    }
    if (module != nullptr && PyModule_AddObjectRef(module, short_name, cls.get()) < 0) rethrow_python();
    made.type_ = reinterpret_cast<PyTypeObject*>(cls.release());  // kept for the life of the process
    return made;
  }

 private:
  static void set_item(const Ref& dict, const char* key, const Ref& value) {
    if (PyDict_SetItemString(dict.get(), key, value.get()) < 0) rethrow_python();
  }

  PyObject** slot_ptr(PyObject* self, std::size_t i) const noexcept {
    return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + offsets_[i]);
  }

  // Records where each slot lives and, for read-only fields, replaces the
  // writable member descriptor that type() made by a read-only one over the
  // same storage: after construction no Python code can change the field.
  void bind_slots(const PlainClassSpec& spec) {
    PyObject* dict = type_->tp_dict;
    for (const char* slot : spec.slots) {
      PyObject* descr = PyDict_GetItemString(dict, slot);  // borrowed
      if (descr == nullptr || !PyObject_TypeCheck(descr, &PyMemberDescr_Type)) {
        raise_format(PyExc_SystemError, "slot %s of %s has no member descriptor", slot, spec.qualname);
      }
      PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(descr)->d_member;
      offsets_.push_back(member->offset);
      names_.push_back(slot);
      if (!spec.readonly_slots) continue;
      // Lives as long as the class, which lives for the process.
      auto* readonly = new PyMemberDef{member->name, Py_T_OBJECT_EX, member->offset, Py_READONLY, member->doc};
      Ref replaced = Ref::steal(PyDescr_NewMember(type_, readonly));
      if (PyObject_SetAttrString(object(), slot, replaced.get()) < 0) rethrow_python();
    }
  }

  // A property calls its getter with the instance alone and its setter with
  // the instance and the value; each accessor is a builtin function whose
  // `self` is a capsule holding the C++ function. The method-table entries
  // live for the process, like the class.
  using Getter = PyObject* (*)(PyObject*);
  using Setter = int (*)(PyObject*, PyObject*);
  struct Accessor {
    PyMethodDef def;
    Getter get;
    Setter set;
  };
  static constexpr const char* kCapsule = "tarnix_engine.property_accessor";

  static Ref accessor(PyObject* module, const char* name, const char* doc, Getter get, Setter set) {
    auto* a = new Accessor{{name, nullptr, 0, doc}, get, set};
    if (get != nullptr) {
      a->def.ml_meth = &call_getter;
      a->def.ml_flags = METH_O;
    } else {
      a->def.ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&call_setter));
      a->def.ml_flags = METH_FASTCALL;
    }
    Ref capsule = Ref::steal(PyCapsule_New(a, kCapsule, nullptr));
    return Ref::steal(PyCFunction_NewEx(&a->def, capsule.get(), module));
  }
  static PyObject* call_getter(PyObject* capsule, PyObject* instance) {
    auto* a = static_cast<Accessor*>(PyCapsule_GetPointer(capsule, kCapsule));
    return a == nullptr ? nullptr : a->get(instance);
  }
  static PyObject* call_setter(PyObject* capsule, PyObject* const* args, Py_ssize_t nargs) {
    auto* a = static_cast<Accessor*>(PyCapsule_GetPointer(capsule, kCapsule));
    if (a == nullptr) return nullptr;
    if (nargs != 2) {
      PyErr_Format(PyExc_TypeError, "%s() takes exactly 2 arguments (%zd given)", a->def.ml_name, nargs);
      return nullptr;
    }
    if (a->set(args[0], args[1]) < 0) return nullptr;
    Py_RETURN_NONE;
  }

  PyTypeObject* type_ = nullptr;
  std::vector<Py_ssize_t> offsets_;
  std::vector<const char*> names_;  // the slot names, static storage like the class
};

}  // namespace tx
