// tarnix_engine.tuning._depth_oracle: the tuned grid model that predicts how
// deep a hybrid query's text side must search (TunedModel), the advisor that
// remembers its answers (DepthOracle), and one shared advisor per text index
// type built from the model files shipped in the package (default_tuner).
//
// `resources`, `Path`, `np` and `PredictionResult` are module globals looked up
// at each use. The numeric core (tuning/depth_prediction.hpp) runs without the
// interpreter lock on a snapshot of the model's arrays.
#define TX_NUMPY_MAIN
#include "support/numpy.hpp"
#include "support/support.hpp"
#include "tuning/depth_prediction.hpp"

#include <memory>
#include <new>
#include <string_view>
#include <tuple>
#include <type_traits>

namespace {

tx::Namespace ns;
PyTypeObject* view_type = nullptr;
PyTypeObject* model_type = nullptr;
PyTypeObject* oracle_type = nullptr;
PyObject* tuners_by_type = nullptr;  // index type -> shared DepthOracle or None; never cleared

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
bool format_matches(const Py_buffer& b) {
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

int view_getbuffer(PyObject* self, Py_buffer* out, int flags) {
  ViewState& s = tx::state_of<ViewState>(self);
  out->obj = nullptr;
  if (!s.set) {
    PyErr_SetString(PyExc_BufferError, "the array view is empty");
    return -1;
  }
  if (flags & PyBUF_WRITABLE) {
    PyErr_SetString(PyExc_BufferError, "a tuned model's arrays are read-only");
    return -1;
  }
  if ((flags & PyBUF_F_CONTIGUOUS) == PyBUF_F_CONTIGUOUS && !PyBuffer_IsContiguous(&s.buf, 'F')) {
    PyErr_SetString(PyExc_BufferError, "the array view is not Fortran contiguous");
    return -1;
  }
  const bool nd = (flags & PyBUF_ND) == PyBUF_ND;
  out->buf = s.buf.buf;
  out->obj = Py_NewRef(self);
  out->len = s.buf.len;
  out->itemsize = s.buf.itemsize;
  out->readonly = 1;
  out->ndim = nd ? s.buf.ndim : 1;
  out->format = (flags & PyBUF_FORMAT) ? s.buf.format : nullptr;
  out->shape = nd ? s.buf.shape : nullptr;
  out->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? s.buf.strides : nullptr;
  out->suboffsets = nullptr;
  out->internal = nullptr;
  return 0;
}

PyObject* view_repr(PyObject* self) {
  return tx::guard([&] {
    ViewState& s = tx::state_of<ViewState>(self);
    if (!s.set) return tx::py_str("<empty array view>");
    std::string shape = "(";
    for (int i = 0; i < s.buf.ndim; ++i) shape += (i ? ", " : "") + std::to_string(s.buf.shape[i]);
    shape += s.buf.ndim == 1 ? ",)" : ")";
    return tx::Ref::steal(PyUnicode_FromFormat("<read-only array view of format '%s' and shape %s>",
                                               s.buf.format ? s.buf.format : "B", shape.c_str()));
  });
}

PyMethodDef view_methods[] = {
    TX_REFUSE_PICKLING_METHODS,
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot view_slots[] = {
    {Py_bf_getbuffer, reinterpret_cast<void*>(view_getbuffer)},
    {Py_tp_repr, reinterpret_cast<void*>(view_repr)},
    {Py_tp_methods, view_methods},
    {0, nullptr},
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

// ---- TunedModel ---------------------------------------------------------------

struct ModelState {
  BufferField<std::int64_t, 1> cutoff, depth;
  BufferField<double, 1> log_corpus, log_cutoff, log_depth;
  BufferField<std::uint16_t, 3> recall;
  double recall_low = 0, recall_high = 0;
  BufferField<float, 2> recall_at_deep_end, recall_at_cutoff;
  BufferField<std::int64_t, 1> recall_needs_corpus;
  BufferField<std::uint16_t, 3> log_value;
  double log_value_low = 0, log_value_high = 0;
  BufferField<double, 1> log_deepest_depth;
  BufferField<std::int64_t, 1> vector_k;
  BufferField<double, 1> prices;
  tx::Field speed_preferences;
  // True only between a construction (or state) that assigned every array
  // and passed the checks, and the next one: a model left half-built by a
  // failed re-construction refuses to predict.
  bool complete = false;

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

// ---- The field table ------------------------------------------------------------
// Every field of a model once: its name in the pickled state (the state holds
// the fields sorted by these names, then the speed preferences), where it
// lives here and in the prediction's view, and the entry of the construction
// arrays it comes from. Construction fills the fields in table order.

// How construction turns its entry into the field.
enum class From { kArray, kLogOfInt64, kLogOfFloat64 };

template <class T, int NDim>
struct ArrayField {
  std::string_view name;
  BufferField<T, NDim> ModelState::*state;
  tx::depth::Span<T, NDim> tx::depth::Model::*model;
  const char* key;
  const char* dtype;  // numpy's name for T: what the entry is converted to
  From from = From::kArray;
};

// The two ends of a range: one entry of the construction arrays, two fields.
struct RangeField {
  std::string_view low_name, high_name;
  double ModelState::*low;
  double ModelState::*high;
  double tx::depth::Model::*model_low;
  double tx::depth::Model::*model_high;
  const char* key;
};

using M = ModelState;
using V = tx::depth::Model;
constexpr auto kFields = std::make_tuple(
    ArrayField<std::int64_t, 1>{"_cutoff", &M::cutoff, &V::cutoff, "cutoff", "int64"},
    ArrayField<std::int64_t, 1>{"_depth", &M::depth, &V::depth, "depth", "int64"},
    ArrayField<double, 1>{"_log_corpus", &M::log_corpus, &V::log_corpus, "corpus_size", "int64", From::kLogOfInt64},
    ArrayField<double, 1>{"_log_cutoff", &M::log_cutoff, &V::log_cutoff, "cutoff", "int64", From::kLogOfInt64},
    ArrayField<double, 1>{"_log_depth", &M::log_depth, &V::log_depth, "depth", "int64", From::kLogOfInt64},
    ArrayField<std::uint16_t, 3>{"_recall", &M::recall, &V::recall, "recall", "uint16"},
    RangeField{"_recall_low", "_recall_high", &M::recall_low, &M::recall_high, &V::recall_low, &V::recall_high,
               "recall_range"},
    ArrayField<float, 2>{"_recall_at_deep_end", &M::recall_at_deep_end, &V::recall_at_deep_end, "recall_at_deep_end",
                         "float32"},
    ArrayField<float, 2>{"_recall_at_cutoff", &M::recall_at_cutoff, &V::recall_at_cutoff, "recall_at_cutoff",
                         "float32"},
    ArrayField<std::int64_t, 1>{"_recall_needs_corpus", &M::recall_needs_corpus, &V::recall_needs_corpus,
                                "recall_needs_corpus", "int64"},
    ArrayField<std::uint16_t, 3>{"_log_value", &M::log_value, &V::log_value, "log_value_per_candidate", "uint16"},
    RangeField{"_log_value_low", "_log_value_high", &M::log_value_low, &M::log_value_high, &V::log_value_low,
               &V::log_value_high, "log_value_range"},
    ArrayField<double, 1>{"_log_deepest_depth", &M::log_deepest_depth, &V::log_deepest_depth, "deepest_depth",
                          "float64", From::kLogOfFloat64},
    ArrayField<std::int64_t, 1>{"_vector_k", &M::vector_k, &V::vector_k, "vector_k", "int64"},
    ArrayField<double, 1>{"_prices", &M::prices, &V::prices, "price", "float64"});

template <class F>
constexpr void each_field(F&& f) {
  std::apply([&](const auto&... field) { (f(field), ...); }, kFields);
}

template <class>
constexpr bool kIsArray = false;
template <class T, int NDim>
constexpr bool kIsArray<ArrayField<T, NDim>> = true;

// f(buffer field) for every array field of `st`.
template <class State, class F>
void each_buffer(State& st, F&& f) {
  each_field([&](const auto& field) {
    if constexpr (kIsArray<std::decay_t<decltype(field)>>) f(st.*field.state);
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

// f(position, name) for every pickled field, in the order of the state.
template <class F>
void each_pickled(F&& f) {
  for (Py_ssize_t i = 0; i < kModelFields; ++i) {
    each_field([&](const auto& field) {
      if constexpr (kIsArray<std::decay_t<decltype(field)>>) {
        if (pickled_position(field.name) == i) f(i, field, 0);
      } else {
        if (pickled_position(field.low_name) == i) f(i, field, 0);
        if (pickled_position(field.high_name) == i) f(i, field, 1);
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
  each_field([&](const auto& field) {
    if constexpr (kIsArray<std::decay_t<decltype(field)>>) {
      m.*field.model = (this->*field.state).span();
    } else {
      m.*field.model_low = this->*field.low;
      m.*field.model_high = this->*field.high;
    }
  });
  return m;
}

ModelState& model_state(PyObject* self) { return tx::state_of<ModelState>(self); }

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

// numpy.ascontiguousarray(value, dtype=numpy.<dtype>)
tx::Ref as_contiguous(PyObject* np, PyObject* value, PyObject* dtype_name) {
  tx::Ref dtype = tx::attr(np, dtype_name);
  return tx::call(tx::attr<"ascontiguousarray">(np).get(), {value, dtype.get()}, tx::kwnames<"dtype">());
}

tx::Ref item(PyObject* arrays, const char* key) {
  return tx::Ref::steal(PyObject_GetItem(arrays, tx::py_str(key).get()));
}

// The natural logarithm of every element, as float64 of the same shape, with
// the one logarithm the prediction also applies to its queries.
tx::Ref log_of(PyObject* converted, int typenum) {
  tx::Ref src = tx::contiguous_array(converted, typenum);
  PyArrayObject* a = tx::as_array_object(src.get());
  tx::Ref out = tx::Ref::steal(PyArray_EMPTY(PyArray_NDIM(a), PyArray_DIMS(a), NPY_FLOAT64, 0));
  const npy_intp n = PyArray_SIZE(a);
  double* dst = tx::array_data<double>(out.get());
  if (typenum == NPY_INT64) {
    const std::int64_t* x = tx::array_data<std::int64_t>(src.get());
    for (npy_intp i = 0; i < n; ++i) dst[i] = tx::depth::ln(static_cast<double>(x[i]));
  } else {
    const double* x = tx::array_data<double>(src.get());
    for (npy_intp i = 0; i < n; ++i) dst[i] = tx::depth::ln(x[i]);
  }
  return out;
}

// (low, high): every element through float(), then unpacked into exactly two.
std::pair<double, double> range_pair(PyObject* value) {
  tx::Ref it = tx::Ref::steal(PyObject_GetIter(value));
  std::vector<double> values;
  while (PyObject* raw = PyIter_Next(it.get())) {
    tx::Ref element = tx::Ref::steal(raw);
    tx::Ref f = tx::Ref::steal(PyNumber_Float(element.get()));
    values.push_back(PyFloat_AS_DOUBLE(f.get()));
  }
  if (PyErr_Occurred()) tx::rethrow_python();
  if (values.size() > 2) tx::raise(PyExc_ValueError, "too many values to unpack (expected 2)");
  if (values.size() < 2) {
    tx::raise_format(PyExc_ValueError, "need more than %zu value%s to unpack", values.size(),
                     values.size() == 1 ? "" : "s");
  }
  return {values[0], values[1]};
}

tx::Ref names_list(PyObject* value) {
  tx::Ref it = tx::Ref::steal(PyObject_GetIter(value));
  tx::Ref list = tx::Ref::steal(PyList_New(0));
  while (PyObject* raw = PyIter_Next(it.get())) {
    tx::Ref element = tx::Ref::steal(raw);
    tx::Ref name = PyUnicode_CheckExact(element.get()) ? element : tx::Ref::steal(PyObject_Str(element.get()));
    if (PyList_Append(list.get(), name.get()) < 0) tx::rethrow_python();
  }
  if (PyErr_Occurred()) tx::rethrow_python();
  return list;
}

void construct_model(PyObject* self, PyObject* arrays) {
  ModelState& st = model_state(self);
  tx::Ref np = ns.get<"np">();
  PyObject* int64 = tx::name<"int64">();
  // The node axes are sized before any field changes.
  tx::Ref corpus = as_contiguous(np.get(), item(arrays, "corpus_size").get(), int64);
  tx::Ref cutoff = as_contiguous(np.get(), item(arrays, "cutoff").get(), int64);
  tx::Ref depth = as_contiguous(np.get(), item(arrays, "depth").get(), int64);
  Py_ssize_t shortest = PY_SSIZE_T_MAX;
  for (PyObject* axis : {corpus.get(), cutoff.get(), depth.get()}) {
    const Py_ssize_t n = PyObject_Length(axis);
    if (n < 0) tx::rethrow_python();
    shortest = std::min(shortest, n);
  }
  if (shortest < 2) tx::raise(PyExc_ValueError, "a tuned model needs at least two nodes on every axis");

  st.complete = false;
  each_field([&](const auto& field) {
    if constexpr (kIsArray<std::decay_t<decltype(field)>>) {
      tx::Ref value = as_contiguous(np.get(), item(arrays, field.key).get(), tx::py_str(field.dtype).get());
      if (field.from == From::kArray) {
        (st.*field.state).assign(value.get());
      } else {
        (st.*field.state).assign(log_of(value.get(), field.from == From::kLogOfInt64 ? NPY_INT64 : NPY_FLOAT64).get());
      }
    } else {
      std::tie(st.*field.low, st.*field.high) = range_pair(item(arrays, field.key).get());
    }
  });
  st.speed_preferences.set(names_list(item(arrays, "speed_preference").get()));

  // The integer corpus nodes are checked too: their logarithms alone cannot
  // show two nodes that round to one value.
  tx::Ref corpus_nodes = tx::contiguous_array(corpus.get(), NPY_INT64);
  st.check(tx::array_data<std::int64_t>(corpus_nodes.get()), PyList_GET_SIZE(st.speed_preferences.get()));
  st.complete = true;
}

int model_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  return tx::guard_status([&] {
    static const auto sig = tx::signature<1>("TunedModel", {"arrays"}, 1);
    std::array<PyObject*, 1> a;
    sig.bind_call(args, kwargs, a);
    tx::require_exact(a[0], &PyDict_Type, "arrays", true);
    construct_model(self, a[0]);
  });
}

// TunedModel.load(path): every array of the archive read, then cls(arrays),
// inside the archive's context so it is closed on return and on error.
tx::Ref load_model(PyObject* cls, PyObject* path) {
  tx::Ref file = tx::call(ns.get<"Path">().get(), {path});
  tx::Ref np = ns.get<"np">();
  tx::Ref archive =
      tx::call(tx::attr<"load">(np.get()).get(), {file.get(), Py_False}, tx::kwnames<"allow_pickle">());
  return tx::with_context(archive.get(), [&](PyObject* opened) {
    tx::Ref files = tx::attr<"files">(opened);
    tx::Ref arrays = tx::Ref::steal(PyDict_New());
    tx::Ref it = tx::Ref::steal(PyObject_GetIter(files.get()));
    while (PyObject* raw = PyIter_Next(it.get())) {
      tx::Ref key = tx::Ref::steal(raw);
      tx::Ref value = tx::Ref::steal(PyObject_GetItem(opened, key.get()));
      if (PyDict_SetItem(arrays.get(), key.get(), value.get()) < 0) tx::rethrow_python();
    }
    if (PyErr_Occurred()) tx::rethrow_python();
    return tx::call(cls, {arrays.get()});
  });
}

PyObject* model_load(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<1>("load", {"path"}, 1);
    std::array<PyObject*, 1> a;
    sig.bind(args, nargs, kwnames, a);
    return load_model(cls, a[0]);
  });
}

// The price of a speed preference, looked up before anything else of a prediction.
double price_for(const ModelState& st, PyObject* preference) {
  tx::Ref names = st.speed_preferences.ref();
  if (!PyList_Check(names.get())) tx::raise(PyExc_TypeError, "argument of type 'NoneType' is not iterable");
  Py_ssize_t found = -1;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names.get()); ++i) {
    tx::Ref name = tx::Ref::borrow(PyList_GET_ITEM(names.get(), i));
    if (tx::compare(name.get(), preference, Py_EQ)) {
      found = i;
      break;
    }
  }
  if (found < 0) {
    tx::raise_format(PyExc_ValueError, "unknown speed preference %R; pick one of %S", preference, names.get());
  }
  if (!st.prices.is_set()) tx::raise(PyExc_AttributeError, kUnset);
  const auto prices = st.prices.span();
  // The list can be replaced by any list at any time; a name past the end of
  // the prices has none.
  if (found >= prices.shape[0]) {
    tx::raise_format(PyExc_ValueError, "speed preference %R has no price: the model prices only its first %zd",
                     preference, static_cast<Py_ssize_t>(prices.shape[0]));
  }
  return prices.data[found];
}

// A host integer with its int64 value when it has one (overflow -1 or +1 else).
struct HostInt {
  tx::Ref obj;
  long long value = 0;
  int overflow = 0;
};

HostInt host_int(PyObject* o) {
  HostInt h{PyLong_CheckExact(o) ? tx::Ref::borrow(o) : tx::Ref::steal(PyNumber_Long(o))};
  h.value = PyLong_AsLongLongAndOverflow(h.obj.get(), &h.overflow);
  if (h.value == -1 && PyErr_Occurred()) tx::rethrow_python();
  return h;
}

bool less(const HostInt& a, const HostInt& b) {
  if (a.overflow != b.overflow) return a.overflow < b.overflow;
  if (a.overflow == 0) return a.value < b.value;
  return tx::compare(a.obj.get(), b.obj.get(), Py_LT);
}

bool below_one(const HostInt& a) { return a.overflow < 0 || (a.overflow == 0 && a.value < 1); }

tx::Ref grouped(PyObject* number) {
  return tx::Ref::steal(PyObject_Format(number, tx::name<",">()));
}

tx::Ref make_result(std::int64_t text_k, std::int64_t vector_k, std::int64_t top_k, const tx::Ref& recall) {
  tx::Ref cls = ns.get<"PredictionResult">();
  return tx::call(cls.get(), {tx::py_long(text_k).get(), tx::py_long(vector_k).get(), tx::py_long(top_k).get(), recall.get()},
                  tx::kwnames<"text_k", "vector_k", "top_k", "expected_recall">());
}

tx::Ref predict_one_impl(PyObject* self, PyObject* corpus_size, PyObject* cutoff, PyObject* preference) {
  const ModelState& st = model_state(self);
  const double price = price_for(st, preference);
  const HostInt n = host_int(corpus_size);
  const HostInt c = host_int(cutoff);
  const HostInt& k = less(c, n) ? c : n;
  if (below_one(n) || below_one(k)) {
    tx::raise_format(PyExc_ValueError, "%U passages returning %U results is not a question this can answer",
                     grouped(n.obj.get()).get(), grouped(k.obj.get()).get());
  }
  const std::int64_t nv = n.overflow ? tx::to_int64(n.obj.get()) : n.value;
  const std::int64_t kv = k.overflow ? tx::to_int64(k.obj.get()) : k.value;
  if (!st.complete) tx::raise(PyExc_AttributeError, kUnset);

  Snapshot snap(st);
  const std::int64_t D = snap.m.D();
  std::unique_ptr<double[]> scratch(new (std::nothrow) double[static_cast<std::size_t>(3 * D)]);
  if (!scratch) {
    PyErr_NoMemory();
    tx::rethrow_python();
  }
  tx::depth::Depths depths;
  {
    tx::ReleaseGil nogil;
    depths = tx::depth::predict_depths(snap.m, nv, kv, price, scratch.get());
  }
  scratch.reset();
  const std::int64_t vector_k = tx::depth::vector_k_at(snap.m, kv);
  tx::Ref recall = depths.has_recall ? tx::Ref::steal(PyFloat_FromDouble(depths.recall)) : tx::Ref::none();
  return make_result(depths.text_k, vector_k, kv, recall);
}

PyObject* model_predict_one(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<3>("predict_one", {"corpus_size", "cutoff", "speed_preference"}, 2);
    std::array<PyObject*, 3> a;
    sig.bind(args, nargs, kwnames, a);
    PyObject* preference = a[2] ? a[2] : tx::name<"balanced">();
    tx::require_exact(preference, &PyUnicode_Type, "speed_preference", true);
    return predict_one_impl(self, a[0], a[1], preference);
  });
}

PyObject* model_get_preferences(PyObject* self, void*) {
  return Py_NewRef(model_state(self).speed_preferences.get());
}

int model_set_preferences(PyObject* self, PyObject* value, void*) {
  return tx::guard_status([&] {
    if (value == nullptr) {
      model_state(self).speed_preferences.clear();
      return;
    }
    tx::expect_type(value, &PyList_Type);
    model_state(self).speed_preferences.set(tx::Ref::borrow(value));
  });
}

// ---- Pickled form -------------------------------------------------------------
// The state is the fields in the order of their sorted names, arrays as
// read-only views over the model's own buffers (which refuse to be pickled,
// so only shallow copies succeed), followed by the instance dict of a
// subclass that has one.

tx::Ref with_instance_dict(PyObject* self, std::vector<tx::Ref> fields) {
  PyObject* dict = nullptr;
  if (PyObject_GetOptionalAttr(self, tx::name<"__dict__">(), &dict) < 0) tx::rethrow_python();
  if (dict != nullptr) fields.push_back(tx::Ref::steal(dict));
  tx::Ref state = tx::Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(fields.size())));
  for (std::size_t i = 0; i < fields.size(); ++i) {
    PyTuple_SET_ITEM(state.get(), static_cast<Py_ssize_t>(i), fields[i].release());
  }
  return state;
}

void restore_instance_dict(PyObject* self, PyObject* state, Py_ssize_t n_fields) {
  if (PyTuple_GET_SIZE(state) <= n_fields) return;
  PyObject* dict = nullptr;
  if (PyObject_GetOptionalAttr(self, tx::name<"__dict__">(), &dict) < 0) tx::rethrow_python();
  if (dict == nullptr) return;
  tx::Ref owned = tx::Ref::steal(dict);
  tx::call_method(owned.get(), tx::name<"update">(), {PyTuple_GET_ITEM(state, n_fields)});
}

tx::Ref reduce_to(PyObject* self, tx::Ref restore, tx::Ref state) {
  return tx::Ref::steal(Py_BuildValue("(N(ON))", restore.release(), reinterpret_cast<PyObject*>(Py_TYPE(self)),
                                      state.release()));
}

tx::Ref py_float(double v) { return tx::Ref::steal(PyFloat_FromDouble(v)); }

double as_double(PyObject* o) {
  const double v = PyFloat_AsDouble(o);
  if (v == -1.0 && PyErr_Occurred()) tx::rethrow_python();
  return v;
}

PyObject* model_reduce(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    tx::no_arguments("__reduce__", nargs, kwnames);
    const ModelState& st = model_state(self);
    // A model left half-built by a refused construction refuses to predict;
    // its copy must not predict either, so it has no state to give.
    if (!st.complete) tx::raise(PyExc_AttributeError, kUnset);
    std::vector<tx::Ref> f(static_cast<std::size_t>(kModelFields));
    each_pickled([&](Py_ssize_t i, const auto& field, int end) {
      if constexpr (kIsArray<std::decay_t<decltype(field)>>) {
        f[i] = (st.*field.state).make_view();
      } else {
        f[i] = py_float(end == 0 ? st.*field.low : st.*field.high);
      }
    });
    f[pickled_position(kPreferencesName)] = st.speed_preferences.ref();
    return reduce_to(self, ns.get<"_restore_tuned_model">(), with_instance_dict(self, std::move(f)));
  });
}

void set_model_state(PyObject* self, PyObject* state) {
  tx::expect_type(state, &PyTuple_Type);
  if (state == Py_None || PyTuple_GET_SIZE(state) < kModelFields) {
    tx::raise_format(PyExc_ValueError, "a TunedModel state holds %zd fields", kModelFields);
  }
  ModelState& st = model_state(self);
  auto at = [&](Py_ssize_t i) { return PyTuple_GET_ITEM(state, i); };
  st.complete = false;
  each_pickled([&](Py_ssize_t i, const auto& field, int end) {
    if constexpr (kIsArray<std::decay_t<decltype(field)>>) {
      (st.*field.state).assign(at(i));
    } else {
      (end == 0 ? st.*field.low : st.*field.high) = as_double(at(i));
    }
  });
  PyObject* names = at(pickled_position(kPreferencesName));
  tx::expect_type(names, &PyList_Type);
  st.speed_preferences.set(tx::Ref::borrow(names));
  st.check(nullptr, -1);
  st.complete = true;
  restore_instance_dict(self, state, kModelFields);
}

PyObject* model_setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<1>("__setstate__", {"state"}, 1);
    std::array<PyObject*, 1> a;
    sig.bind(args, nargs, kwnames, a);
    set_model_state(self, a[0]);
    return tx::Ref::none();
  });
}

PyMethodDef model_methods[] = {
    {"predict_one", tx::as_cfunction(model_predict_one), kFastcall,
     "predict_one(corpus_size, cutoff, speed_preference='balanced')\n--\n\n"
     "Text depth, vector depth, result depth and expected recall for one hybrid query."},
    {"load", tx::as_cfunction(model_load), kFastcall | METH_CLASS,
     "load(path)\n--\n\nThe model stored in a .npz archive, as an instance of this class."},
    {"__reduce__", tx::as_cfunction(model_reduce), kFastcall, nullptr},
    {"__setstate__", tx::as_cfunction(model_setstate), kFastcall, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef model_getset[] = {
    {"speed_preferences", model_get_preferences, model_set_preferences,
     "Names of the speed preferences the model prices (the model's own list), or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot model_slots[] = {
    {Py_tp_init, reinterpret_cast<void*>(model_init)},
    {Py_tp_methods, model_methods},
    {Py_tp_getset, model_getset},
    {Py_tp_doc, const_cast<char*>("TunedModel(arrays)\n--\n\n"
                                  "A text retriever's tuned depth grid, built from a dict of model arrays.")},
    {0, nullptr},
};

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

OracleState& oracle_state(PyObject* self) { return tx::state_of<OracleState>(self); }

tx::Ref model_of(const OracleState& st) {
  if (st.model.is_none()) tx::raise(PyExc_RuntimeError, "this DepthOracle has no model: build it from a model file");
  return st.model.ref();
}

int oracle_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  return tx::guard_status([&] {
    static const auto sig = tx::signature<2>("DepthOracle", {"model_file", "use_cache"}, 1);
    std::array<PyObject*, 2> a;
    sig.bind_call(args, kwargs, a);
    const bool use_cache = a[1] == nullptr || tx::truth(a[1]);
    tx::Ref model = load_model(reinterpret_cast<PyObject*>(model_type), a[0]);
    OracleState& st = oracle_state(self);
    st.model.set(model);
    st.use_cache = use_cache;
    st.answered.set(tx::Ref::steal(PyDict_New()));
  });
}

tx::Ref ask_model(const tx::Ref& model, PyObject* corpus_size, PyObject* cutoff, PyObject* preference) {
  return tx::call_virtual(
      model.get(), model_type, tx::name<"predict_one">(), reinterpret_cast<void*>(model_predict_one),
      [&] { return predict_one_impl(model.get(), corpus_size, cutoff, preference); },
      {corpus_size, cutoff, preference});
}

tx::Ref host_int_of(PyObject* o) { return PyLong_CheckExact(o) ? tx::Ref::borrow(o) : tx::Ref::steal(PyNumber_Long(o)); }

tx::Ref predict_impl(PyObject* self, PyObject* corpus_size, PyObject* cutoff, PyObject* preference) {
  const OracleState& st = oracle_state(self);
  if (!st.use_cache) return ask_model(model_of(st), corpus_size, cutoff, preference);
  tx::Ref n = host_int_of(corpus_size);
  tx::Ref c = host_int_of(cutoff);
  if (tx::compare(n.get(), c.get(), Py_LT)) c = n;
  tx::Ref key = tx::Ref::steal(PyTuple_Pack(3, n.get(), c.get(), preference));
  tx::Ref answered = st.answered.ref();
  if (!PyDict_Check(answered.get())) tx::raise(PyExc_AttributeError, "'NoneType' object has no attribute 'get'");
  PyObject* hit = nullptr;
  if (PyDict_GetItemRef(answered.get(), key.get(), &hit) < 0) tx::rethrow_python();
  if (hit != nullptr && hit != Py_None) return tx::Ref::steal(hit);
  Py_XDECREF(hit);
  tx::Ref result = ask_model(model_of(st), n.get(), cutoff, preference);
  if (PyDict_SetItem(answered.get(), key.get(), result.get()) < 0) tx::rethrow_python();
  return result;
}

PyObject* oracle_predict(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<3>("predict", {"corpus_size", "cutoff", "speed_preference"}, 2);
    std::array<PyObject*, 3> a;
    sig.bind(args, nargs, kwnames, a);
    PyObject* preference = a[2] ? a[2] : tx::name<"balanced">();
    tx::require_exact(preference, &PyUnicode_Type, "speed_preference", true);
    return predict_impl(self, a[0], a[1], preference);
  });
}

PyObject* oracle_predict_all(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<2>("predict_all", {"corpus_size", "cutoff"}, 2);
    std::array<PyObject*, 2> a;
    sig.bind(args, nargs, kwnames, a);
    tx::Ref model = model_of(oracle_state(self));
    tx::Ref names = model_state(model.get()).speed_preferences.ref();
    if (!PyList_Check(names.get())) tx::raise(PyExc_TypeError, "'NoneType' object is not iterable");
    tx::Ref out = tx::Ref::steal(PyDict_New());
    // The live list: its length is read again before each step.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names.get()); ++i) {
      tx::Ref name = tx::Ref::borrow(PyList_GET_ITEM(names.get(), i));
      tx::expect_type(name.get(), &PyUnicode_Type);
      tx::Ref answer = tx::call_virtual(
          self, oracle_type, tx::name<"predict">(), reinterpret_cast<void*>(oracle_predict),
          [&] { return predict_impl(self, a[0], a[1], name.get()); }, {a[0], a[1], name.get()});
      if (PyDict_SetItem(out.get(), name.get(), answer.get()) < 0) tx::rethrow_python();
    }
    return out;
  });
}

PyObject* oracle_speed_preferences(PyObject* self, void*) {
  return tx::guard([&] {
    tx::Ref model = model_of(oracle_state(self));
    return tx::Ref::steal(PySequence_List(model_state(model.get()).speed_preferences.get()));
  });
}

PyObject* oracle_use_cache(PyObject* self, void*) { return Py_NewRef(oracle_state(self).use_cache ? Py_True : Py_False); }

constexpr Py_ssize_t kOracleFields = 3;

PyObject* oracle_reduce(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    tx::no_arguments("__reduce__", nargs, kwnames);
    const OracleState& st = oracle_state(self);
    std::vector<tx::Ref> f;
    f.push_back(st.answered.ref());
    f.push_back(st.model.ref());
    f.push_back(tx::py_bool(st.use_cache));
    return reduce_to(self, ns.get<"_restore_depth_oracle">(), with_instance_dict(self, std::move(f)));
  });
}

void set_oracle_state(PyObject* self, PyObject* state) {
  tx::expect_type(state, &PyTuple_Type);
  if (state == Py_None || PyTuple_GET_SIZE(state) < kOracleFields) {
    tx::raise(PyExc_ValueError, "a DepthOracle state holds 3 fields");
  }
  PyObject* answered = PyTuple_GET_ITEM(state, 0);
  PyObject* model = PyTuple_GET_ITEM(state, 1);
  tx::expect_type(answered, &PyDict_Type);
  if (model != Py_None && !PyObject_TypeCheck(model, model_type)) {
    tx::raise_format(PyExc_TypeError, "Cannot convert %s to %s", tx::type_name(model), model_type->tp_name);
  }
  const bool use_cache = tx::truth(PyTuple_GET_ITEM(state, 2));
  OracleState& st = oracle_state(self);
  st.answered.set(tx::Ref::borrow(answered));
  st.model.set(tx::Ref::borrow(model));
  st.use_cache = use_cache;
  restore_instance_dict(self, state, kOracleFields);
}

PyObject* oracle_setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<1>("__setstate__", {"state"}, 1);
    std::array<PyObject*, 1> a;
    sig.bind(args, nargs, kwnames, a);
    set_oracle_state(self, a[0]);
    return tx::Ref::none();
  });
}

PyMethodDef oracle_methods[] = {
    {"predict", tx::as_cfunction(oracle_predict), kFastcall,
     "predict(corpus_size, cutoff, speed_preference='balanced')\n--\n\n"
     "The model's prediction, remembered per (corpus size, clipped cutoff, speed preference)."},
    {"predict_all", tx::as_cfunction(oracle_predict_all), kFastcall,
     "predict_all(corpus_size, cutoff)\n--\n\nA dict of predict() answers, one per speed preference."},
    {"__reduce__", tx::as_cfunction(oracle_reduce), kFastcall, nullptr},
    {"__setstate__", tx::as_cfunction(oracle_setstate), kFastcall, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef oracle_getset[] = {
    {"speed_preferences", oracle_speed_preferences, nullptr, "A new list of the model's speed preferences.", nullptr},
    {"model", tx::field_getter<OracleState, &OracleState::model>, nullptr, "The TunedModel that answers.", nullptr},
    {"use_cache", oracle_use_cache, nullptr, "Whether answers are remembered.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot oracle_slots[] = {
    {Py_tp_init, reinterpret_cast<void*>(oracle_init)},
    {Py_tp_methods, oracle_methods},
    {Py_tp_getset, oracle_getset},
    {Py_tp_doc, const_cast<char*>("DepthOracle(model_file, use_cache=True)\n--\n\n"
                                  "A tuned model loaded from a file, with its answers remembered.")},
    {0, nullptr},
};

// ---- Module functions -------------------------------------------------------------

PyObject* default_tuner(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<1>("default_tuner", {"index_type"}, 1);
    std::array<PyObject*, 1> a;
    sig.bind(args, nargs, kwnames, a);
    PyObject* index_type = a[0];
    if (!PyUnicode_Check(index_type)) return tx::Ref::none();
    const bool identifier = PyUnicode_CheckExact(index_type)
                                ? PyUnicode_IsIdentifier(index_type) == 1
                                : tx::truth(tx::call_method(index_type, tx::name<"isidentifier">(), {}).get());
    if (!identifier) return tx::Ref::none();
    PyObject* known = nullptr;
    if (PyDict_GetItemRef(tuners_by_type, index_type, &known) < 0) tx::rethrow_python();
    if (known != nullptr) return tx::Ref::steal(known);

    tx::Ref resources = ns.get<"resources">();
    tx::Ref package = tx::call_method(resources.get(), tx::name<"files">(), {tx::py_str("tarnix_engine.tuning").get()});
    tx::Ref file_name = tx::Ref::steal(PyUnicode_Concat(index_type, tx::name<".npz">()));
    tx::Ref resource = tx::call_method(package.get(), tx::name<"joinpath">(), {tx::name<"models">(), file_name.get()});
    if (tx::truth(tx::call_method(resource.get(), tx::name<"is_file">(), {}).get())) {
      tx::Ref context = tx::call_method(resources.get(), tx::name<"as_file">(), {resource.get()});
      tx::with_context(context.get(), [&](PyObject* path) {
        tx::Ref oracle = tx::call(reinterpret_cast<PyObject*>(oracle_type), {path});
        if (PyDict_SetItem(tuners_by_type, index_type, oracle.get()) < 0) tx::rethrow_python();
        return tx::Ref::none();
      });
    } else if (PyDict_SetItem(tuners_by_type, index_type, Py_None) < 0) {
      tx::rethrow_python();
    }
    PyObject* stored = nullptr;
    if (PyDict_GetItemRef(tuners_by_type, index_type, &stored) < 0) tx::rethrow_python();
    return stored != nullptr ? tx::Ref::steal(stored) : tx::Ref::none();
  });
}

// _restore_<class>(cls, state): an instance of cls made without running its
// constructor, then given the state.
template <void (*SetState)(PyObject*, PyObject*)>
tx::Ref restore(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const char* function, PyTypeObject* base) {
  const auto sig = tx::signature<2>(function, {"cls", "state"}, 2);
  std::array<PyObject*, 2> a;
  sig.bind(args, nargs, kwnames, a);
  if (!PyType_Check(a[0]) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(a[0]), base)) {
    tx::raise_format(PyExc_TypeError, "%s() needs a subclass of %s, got %R", function, base->tp_name, a[0]);
  }
  tx::Ref empty = tx::Ref::steal(PyTuple_New(0));
  tx::Ref obj = tx::Ref::steal(base->tp_new(reinterpret_cast<PyTypeObject*>(a[0]), empty.get(), nullptr));
  SetState(obj.get(), a[1]);
  return obj;
}

PyObject* restore_tuned_model(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    return restore<set_model_state>(args, nargs, kwnames, "_restore_tuned_model", model_type);
  });
}

PyObject* restore_depth_oracle(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    return restore<set_oracle_state>(args, nargs, kwnames, "_restore_depth_oracle", oracle_type);
  });
}

PyMethodDef methods[] = {
    {"default_tuner", tx::as_cfunction(default_tuner), kFastcall,
     "default_tuner(index_type)\n--\n\n"
     "The process-wide DepthOracle for a text index type, or None when no model file ships for it."},
    {"_restore_tuned_model", tx::as_cfunction(restore_tuned_model), kFastcall, "Unpickles a TunedModel."},
    {"_restore_depth_oracle", tx::as_cfunction(restore_depth_oracle), kFastcall, "Unpickles a DepthOracle."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_depth_oracle",
                          "Depth advisor: tuned grid models and the advisors that remember their answers.", -1,
                          methods};

}  // namespace

PyMODINIT_FUNC PyInit__depth_oracle() {
  return tx::init_module(&module_def, [](PyObject* module) {
    ns.bind(module);
    view_type = tx::add_type<ViewState>(module, "tarnix_engine.tuning._depth_oracle._ArrayView", view_slots);
    model_type = tx::add_type<ModelState>(module, "tarnix_engine.tuning._depth_oracle.TunedModel", model_slots);
    oracle_type = tx::add_type<OracleState>(module, "tarnix_engine.tuning._depth_oracle.DepthOracle", oracle_slots);
    ns.import_module("resources", "importlib.resources");
    ns.import_from("pathlib", {"Path"});
    ns.import_module("np", "numpy");
    ns.import_from("tarnix_engine._types", {"PredictionResult"});
    tx::attach_numpy();
    if (tuners_by_type == nullptr) tuners_by_type = tx::Ref::steal(PyDict_New()).release();
  });
}
