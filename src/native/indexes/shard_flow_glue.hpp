// What the three glue files of tarnix_engine.indexes._shard_flow share: the
// instance state of _StreamingCore, the module namespace, the snapshot and
// the shard constructor. Search and the folder live in their own files.
#pragma once

#include "support/support.hpp"

namespace tx::shard_flow {

extern tx::Namespace ns;
extern PyTypeObject* streaming_type;

struct StreamingState {
  // The three lists and all_bytes are replaced whole at each commit and
  // never changed in place, so a snapshot of them stays valid.
  tx::Field shards, shard_sizes, cumulative_offsets;
  tx::Field boundaries, fit_values, all_bytes;
  tx::Field lock, text_cls, vector_cls, speed_preference;
  std::int32_t top_k = 100;
  double alpha_text = 0.1;
  double alpha_vector = 1.0;
  std::int32_t rrf_k = 2;
  std::int32_t n_candidates = 5000;
  bool pass_n_candidates = false;

  int traverse(visitproc v, void* arg) const {
    return tx::visit_fields(v, arg, shards, shard_sizes, cumulative_offsets, boundaries, fit_values, all_bytes, lock,
                            text_cls, vector_cls, speed_preference);
  }
  void clear() {
    shards.clear();
    shard_sizes.clear();
    cumulative_offsets.clear();
    boundaries.clear();
    fit_values.clear();
    all_bytes.clear();
    lock.clear();
    text_cls.clear();
    vector_cls.clear();
    speed_preference.clear();
  }
};

inline StreamingState& state(PyObject* self) { return tx::state_of<StreamingState>(self); }

// The six fields read together under the index's lock: the objects
// themselves, which later commits replace but never change.
struct Snapshot {
  tx::Ref shards, shard_sizes, cumulative_offsets, boundaries, fit_values, all_bytes;
};

Snapshot take_snapshot(PyObject* self);

// A new shard around two indexes, with the index's settings.
tx::Ref make_shard(PyObject* self, PyObject* text_index, PyObject* vector_index);

tx::Method search_method, save_method, load_method;

}  // namespace tx::shard_flow
