// The ids an index holds, as every delete checks them.
#pragma once

#include "support/core.hpp"

namespace tx {

// The set of the `given` ids that `held` (any iterable of ids) does not
// hold; empty when every given id is held. Each index words its own refusal.
inline Ref ids_not_held(PyObject* given, PyObject* held) {
  Ref given_set = Ref::steal(PySet_New(given));
  Ref held_set = Ref::steal(PySet_New(held));
  return Ref::steal(PyNumber_Subtract(given_set.get(), held_set.get()));
}

}  // namespace tx
