// The depth advisor's types and what its glue files share
// (depth_oracle_module.cpp: the module, its types and functions;
// tuned_model.cpp: TunedModel; depth_oracle.cpp: DepthOracle).
//
// The numeric core (tuning/depth_prediction.hpp) runs without the
// interpreter lock on a snapshot of the model's arrays.
#pragma once

#include "support/numpy.hpp"
#include "support/support.hpp"
#include "tuning/depth_prediction.hpp"

#include <array>
#include <memory>
#include <new>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace tx::tuning {

inline tx::Namespace ns;
inline PyTypeObject* view_type = nullptr;
inline PyTypeObject* model_type = nullptr;
inline PyTypeObject* oracle_type = nullptr;
inline PyObject* tuners_by_type = nullptr;  // index type -> shared DepthOracle or None; never cleared

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;
constexpr const char* kUnset = "Memoryview is not initialized";
constexpr int kBufferFlags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT;

// ---- Buffers ----------------------------------------------------------------

template <class T>
struct BufferType;
template <>
struct BufferType<std::int64_t> {
  static constexpr const char* name = "int64_t";
  static bool accepts(char f) { return f == 'l' || f == 'q'; }
};
template <>
struct BufferType<double> {
  static constexpr const char* name = "double";
  static bool accepts(char f) { return f == 'd'; }
};
template <>
struct BufferType<float> {
  static constexpr const char* name = "float";
  static bool accepts(char f) { return f == 'f'; }
};
template <>
struct BufferType<std::uint16_t> {
  static constexpr const char* name = "uint16_t";
  static bool accepts(char f) { return f == 'H'; }
};

// A one-character native format ("l", "@l", "=l" or "<l" on this platform).
template <class T>
inline bool format_matches(const Py_buffer& b) {
  const char* f = b.format == nullptr ? "B" : b.format;
  if (*f == '@' || *f == '=' || *f == '<') ++f;
  return f[0] != '\0' && f[1] == '\0' && BufferType<T>::accepts(f[0]) &&
         b.itemsize == static_cast<Py_ssize_t>(sizeof(T));
}

// One export of a buffer, given back when its last holder lets go: the field
// that took it, or a prediction that still reads it without the GIL (a
// reference to the exporter alone would not keep the memory, since an
// array.array, say, may reallocate once no export is left). Holders drop it
// with the GIL held.
struct HeldBuffer {
  Py_buffer view{};
  HeldBuffer() = default;
  HeldBuffer(const HeldBuffer&) = delete;
  HeldBuffer& operator=(const HeldBuffer&) = delete;
  ~HeldBuffer() { PyBuffer_Release(&view); }  // a no-op while `view.obj` is NULL
};

// A typed field over a dense row-major buffer of T with NDim dimensions,
// held (and so kept alive and unresizable) for as long as the field has it.
template <class T, int NDim>
class BufferField {
 public:
  BufferField() = default;
  BufferField(const BufferField&) = delete;
  BufferField& operator=(const BufferField&) = delete;
  ~BufferField() { reset(); }

  bool is_set() const noexcept { return held_ != nullptr; }

  void assign(PyObject* o) {
    auto held = std::make_shared<HeldBuffer>();
    Py_buffer& b = held->view;
    if (PyObject_GetBuffer(o, &b, kBufferFlags) < 0) tx::rethrow_python();
    if (b.ndim != NDim) {
      tx::raise_format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)", NDim, b.ndim);
    }
    if (!format_matches<T>(b)) {
      tx::raise_format(PyExc_ValueError, "Buffer dtype mismatch, expected '%s' but got '%s'", BufferType<T>::name,
                       b.format == nullptr ? "B" : b.format);
    }
    if (reinterpret_cast<std::uintptr_t>(b.buf) % alignof(T) != 0) {
      tx::raise_format(PyExc_ValueError, "Buffer is not aligned for '%s'", BufferType<T>::name);
    }
    std::shared_ptr<const HeldBuffer> fresh = std::move(held);
    held_.swap(fresh);  // the old export goes last: releasing may run Python code
  }

  void reset() noexcept {
    std::shared_ptr<const HeldBuffer> old = std::move(held_);
  }

  tx::depth::Span<T, NDim> span() const noexcept {
    tx::depth::Span<T, NDim> s;
    s.data = static_cast<const T*>(held_->view.buf);
    for (int i = 0; i < NDim; ++i) s.shape[i] = held_->view.shape[i];
    return s;
  }

  // The export itself, shared with a prediction that reads it without the GIL.
  std::shared_ptr<const HeldBuffer> pin() const noexcept { return held_; }

  int visit(visitproc v, void* arg) const { return held_ && held_->view.obj != nullptr ? v(held_->view.obj, arg) : 0; }

  // A new read-only view over this field's buffer: what the pickled form holds.
  tx::Ref make_view() const;

 private:
  std::shared_ptr<const HeldBuffer> held_;
};

// ---- _ArrayView: a read-only buffer view that refuses to be pickled --------

struct ViewState {
  Py_buffer buf{};
  bool set = false;
  ~ViewState() {
    if (set) PyBuffer_Release(&buf);
  }
};

template <class T, int NDim>
tx::Ref BufferField<T, NDim>::make_view() const {
  if (!held_) tx::raise(PyExc_AttributeError, kUnset);
  tx::Ref view = tx::Ref::steal(view_type->tp_new(view_type, nullptr, nullptr));
  ViewState& s = tx::state_of<ViewState>(view.get());
  if (PyObject_GetBuffer(held_->view.obj, &s.buf, kBufferFlags) < 0) tx::rethrow_python();
  s.set = true;
  return view;
}

// ---- TunedModel: the field table ------------------------------------------------
// Every field of a model once: its name in the pickled state (the state holds
// the fields sorted by these names, then the speed preferences), its place in
// the prediction's view, and the entry of the construction arrays it comes
// from. A model keeps one slot per entry, of the entry's `Slot` type, in
// table order; construction fills them in that order.

// How construction turns its entry into the field.
enum class From { kArray, kLogOfInt64, kLogOfFloat64 };

template <class T, int NDim>
struct ArrayField {
  using Slot = BufferField<T, NDim>;
  std::string_view name;
  tx::depth::Span<T, NDim> tx::depth::Model::*model;
  const char* key;
  const char* dtype;  // numpy's name for T: what the entry is converted to
  From from = From::kArray;
};

// The two ends of a range: one entry of the construction arrays, two fields.
struct RangeField {
  using Slot = std::array<double, 2>;  // low, high
  std::string_view low_name, high_name;
  double tx::depth::Model::*model_low;
  double tx::depth::Model::*model_high;
  const char* key;
};

using V = tx::depth::Model;
constexpr auto kFields = std::make_tuple(
    ArrayField<std::int64_t, 1>{"_cutoff", &V::cutoff, "cutoff", "int64"},
    ArrayField<std::int64_t, 1>{"_depth", &V::depth, "depth", "int64"},
    ArrayField<double, 1>{"_log_corpus", &V::log_corpus, "corpus_size", "int64", From::kLogOfInt64},
    ArrayField<double, 1>{"_log_cutoff", &V::log_cutoff, "cutoff", "int64", From::kLogOfInt64},
    ArrayField<double, 1>{"_log_depth", &V::log_depth, "depth", "int64", From::kLogOfInt64},
    ArrayField<std::uint16_t, 3>{"_recall", &V::recall, "recall", "uint16"},
    RangeField{"_recall_low", "_recall_high", &V::recall_low, &V::recall_high, "recall_range"},
    ArrayField<float, 2>{"_recall_at_deep_end", &V::recall_at_deep_end, "recall_at_deep_end", "float32"},
    ArrayField<float, 2>{"_recall_at_cutoff", &V::recall_at_cutoff, "recall_at_cutoff", "float32"},
    ArrayField<std::int64_t, 1>{"_recall_needs_corpus", &V::recall_needs_corpus, "recall_needs_corpus", "int64"},
    ArrayField<std::uint16_t, 3>{"_log_value", &V::log_value, "log_value_per_candidate", "uint16"},
    RangeField{"_log_value_low", "_log_value_high", &V::log_value_low, &V::log_value_high, "log_value_range"},
    ArrayField<double, 1>{"_log_deepest_depth", &V::log_deepest_depth, "deepest_depth", "float64",
                          From::kLogOfFloat64},
    ArrayField<std::int64_t, 1>{"_vector_k", &V::vector_k, "vector_k", "int64"},
    ArrayField<double, 1>{"_prices", &V::prices, "price", "float64"});

constexpr std::size_t kFieldCount = std::tuple_size_v<decltype(kFields)>;

template <class>
struct SlotsOf;
template <class... F>
struct SlotsOf<const std::tuple<F...>> {
  using type = std::tuple<typename F::Slot...>;
};

template <class>
constexpr bool kIsArray = false;
template <class T, int NDim>
constexpr bool kIsArray<ArrayField<T, NDim>> = true;

template <class F>
constexpr void each_field(F&& f) {
  std::apply([&](const auto&... field) { (f(field), ...); }, kFields);
}

// The position in the table of the array field named `name`.
constexpr std::size_t array_index(std::string_view name) {
  std::size_t at = kFieldCount, i = 0;
  each_field([&](const auto& field) {
    if constexpr (kIsArray<std::decay_t<decltype(field)>>) {
      if (field.name == name) at = i;
    }
    ++i;
  });
  return at;
}

// ---- TunedModel ---------------------------------------------------------------

struct ModelState {
  SlotsOf<decltype(kFields)>::type slots;  // one per entry of kFields
  tx::Field speed_preferences;
  // True only between a construction (or state) that assigned every array
  // and passed the checks, and the next one: a model left half-built by a
  // failed re-construction refuses to predict.
  bool complete = false;

  const BufferField<double, 1>& prices() const { return std::get<array_index("_prices")>(slots); }

  int traverse(visitproc v, void* arg) const;
  void clear();
  tx::depth::Model view() const;

  // Refuses a model that breaks what prediction relies on (ValueError).
  // `n_names` (one price per name) is for construction only: the list may
  // be extended later, and a copy of such a model must still restore.
  void check(const std::int64_t* corpus_nodes, std::int64_t n_names) const {
    const std::string error = tx::depth::check_model(view(), corpus_nodes, n_names);
    if (!error.empty()) tx::raise(PyExc_ValueError, error);
  }
};

// f(field, its slot in `st`) for every entry of the table, in order.
template <class State, class F>
inline void each_slot(State& st, F&& f) {
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    (f(std::get<I>(kFields), std::get<I>(st.slots)), ...);
  }(std::make_index_sequence<kFieldCount>{});
}

// f(buffer field) for every array field of `st`.
template <class State, class F>
inline void each_buffer(State& st, F&& f) {
  each_slot(st, [&](const auto& field, auto& slot) {
    if constexpr (kIsArray<std::decay_t<decltype(field)>>) f(slot);
  });
}

constexpr std::size_t count_pickled() {
  std::size_t n = 0;
  each_field([&](const auto& field) { n += kIsArray<std::decay_t<decltype(field)>> ? 1 : 2; });
  return n;
}

constexpr std::string_view kPreferencesName = "speed_preferences";
// Pickled fields: one per array, two per range, and the speed preferences.
constexpr Py_ssize_t kModelFields = static_cast<Py_ssize_t>(count_pickled()) + 1;

constexpr std::size_t count_arrays() {
  std::size_t n = 0;
  each_field([&](const auto& field) { n += kIsArray<std::decay_t<decltype(field)>> ? 1 : 0; });
  return n;
}
constexpr std::size_t kBuffers = count_arrays();

// The position of a field's name in the pickled state: how many names sort before it.
constexpr Py_ssize_t pickled_position(std::string_view name) {
  Py_ssize_t before = name > kPreferencesName ? 1 : 0;
  each_field([&](const auto& field) {
    if constexpr (kIsArray<std::decay_t<decltype(field)>>) {
      before += field.name < name ? 1 : 0;
    } else {
      before += (field.low_name < name ? 1 : 0) + (field.high_name < name ? 1 : 0);
    }
  });
  return before;
}

// f(position, field, slot, end) for every pickled field of `st`, in the order
// of the state; `end` picks the low (0) or high (1) end of a range.
template <class State, class F>
inline void each_pickled(State& st, F&& f) {
  for (Py_ssize_t i = 0; i < kModelFields; ++i) {
    each_slot(st, [&](const auto& field, auto& slot) {
      if constexpr (kIsArray<std::decay_t<decltype(field)>>) {
        if (pickled_position(field.name) == i) f(i, field, slot, 0);
      } else {
        if (pickled_position(field.low_name) == i) f(i, field, slot, 0);
        if (pickled_position(field.high_name) == i) f(i, field, slot, 1);
      }
    });
  }
}

inline int ModelState::traverse(visitproc v, void* arg) const {
  int r = 0;
  each_buffer(*this, [&](const auto& field) {
    if (r == 0) r = field.visit(v, arg);
  });
  return r != 0 ? r : speed_preferences.visit(v, arg);
}

inline void ModelState::clear() {
  complete = false;
  each_buffer(*this, [](auto& field) { field.reset(); });
  speed_preferences.clear();
}

inline tx::depth::Model ModelState::view() const {
  tx::depth::Model m;
  each_slot(*this, [&](const auto& field, const auto& slot) {
    if constexpr (kIsArray<std::decay_t<decltype(field)>>) {
      m.*field.model = slot.span();
    } else {
      m.*field.model_low = slot[0];
      m.*field.model_high = slot[1];
    }
  });
  return m;
}

inline ModelState& model_state(PyObject* self) { return tx::state_of<ModelState>(self); }

// The model's arrays for a read without the GIL, their exports held until
// the read is over even if another thread re-assigns the model meanwhile.
// Made and dropped with the GIL held.
struct Snapshot {
  tx::depth::Model m;
  std::array<std::shared_ptr<const HeldBuffer>, kBuffers> keep;
  explicit Snapshot(const ModelState& st) : m(st.view()) {
    std::size_t i = 0;
    each_buffer(st, [&](const auto& field) { keep[i++] = field.pin(); });
  }
};

// ---- Pickled form -------------------------------------------------------------
// The state is the fields in the order of their sorted names, arrays as
// read-only views over the model's own buffers (which refuse to be pickled,
// so only shallow copies succeed), followed by the instance dict of a
// subclass that has one.

inline tx::Ref with_instance_dict(PyObject* self, std::vector<tx::Ref> fields) {
  PyObject* dict = nullptr;
  if (PyObject_GetOptionalAttr(self, tx::name<"__dict__">(), &dict) < 0) tx::rethrow_python();
  if (dict != nullptr) fields.push_back(tx::Ref::steal(dict));
  tx::Ref state = tx::Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(fields.size())));
  for (std::size_t i = 0; i < fields.size(); ++i) {
    PyTuple_SET_ITEM(state.get(), static_cast<Py_ssize_t>(i), fields[i].release());
  }
  return state;
}

inline void restore_instance_dict(PyObject* self, PyObject* state, Py_ssize_t n_fields) {
  if (PyTuple_GET_SIZE(state) <= n_fields) return;
  PyObject* dict = nullptr;
  if (PyObject_GetOptionalAttr(self, tx::name<"__dict__">(), &dict) < 0) tx::rethrow_python();
  if (dict == nullptr) return;
  tx::Ref owned = tx::Ref::steal(dict);
  tx::call_method(owned.get(), tx::name<"update">(), {PyTuple_GET_ITEM(state, n_fields)});
}

inline tx::Ref reduce_to(PyObject* self, tx::Ref restore, tx::Ref state) {
  return tx::Ref::steal(Py_BuildValue("(N(ON))", restore.release(), reinterpret_cast<PyObject*>(Py_TYPE(self)),
                                      state.release()));
}

inline tx::Ref py_float(double v) { return tx::Ref::steal(PyFloat_FromDouble(v)); }

inline double as_double(PyObject* o) {
  const double v = PyFloat_AsDouble(o);
  if (v == -1.0 && PyErr_Occurred()) tx::rethrow_python();
  return v;
}

// ---- DepthOracle ----------------------------------------------------------------

struct OracleState {
  tx::Field model;
  bool use_cache = false;
  tx::Field answered;

  int traverse(visitproc v, void* arg) const { return tx::visit_fields(v, arg, model, answered); }
  void clear() {
    model.clear();
    answered.clear();
  }
};

inline OracleState& oracle_state(PyObject* self) { return tx::state_of<OracleState>(self); }

// ---- defined in the other glue files ------------------------------------------

using tx::Method;
using tx::Init;

// tuned_model.cpp
Init model_init;
Method model_load, model_predict_one, model_reduce, model_setstate;
PyObject* model_get_preferences(PyObject* self, void*);
int model_set_preferences(PyObject* self, PyObject* value, void*);
tx::Ref load_model(PyObject* cls, PyObject* path);
tx::Ref predict_one_impl(PyObject* self, PyObject* corpus_size, PyObject* cutoff, PyObject* preference);
void set_model_state(PyObject* self, PyObject* state);

// depth_oracle.cpp
Init oracle_init;
Method oracle_predict, oracle_predict_all, oracle_reduce, oracle_setstate;
PyObject* oracle_speed_preferences(PyObject* self, void*);
PyObject* oracle_use_cache(PyObject* self, void*);
void set_oracle_state(PyObject* self, PyObject* state);

}  // namespace tx::tuning
