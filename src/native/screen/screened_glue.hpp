// Declarations shared by the glue files of tarnix_engine._screened_search.
#pragma once

#include <memory>
#include <string>

#include "screen/shared_exclusive.hpp"
#include "support/numpy.hpp"
#include "support/plain_class.hpp"
#include "support/support.hpp"

namespace tx::screened {

extern tx::Namespace ns;
extern tx::PlainClass screened_class;

// What a wrapper keeps beside its two members: the lock that keeps searches
// (shared) and writes (exclusive) apart, and whether the two sides can still
// be trusted to number their documents alike. Kept outside the instance,
// whose attributes are fixed, in a table keyed by the instance's store.
struct Sync {
  tx::SharedExclusive lock;
  bool misaligned = false;  // read and written with the interpreter lock held
  std::string why;
};

// The Sync of the instance's store, made on first use and dropped when the store dies.
std::shared_ptr<Sync> sync_of(PyObject* self);

// Holds the wrapper's lock for one call; the waits let other threads run.
class ReadHold {
 public:
  explicit ReadHold(std::shared_ptr<Sync> sync) : sync_(std::move(sync)) {
    tx::ReleaseGil nogil;
    sync_->lock.lock_shared();
  }
  ~ReadHold() { sync_->lock.unlock_shared(); }
  ReadHold(const ReadHold&) = delete;
  ReadHold& operator=(const ReadHold&) = delete;

 private:
  std::shared_ptr<Sync> sync_;
};

class WriteHold {
 public:
  explicit WriteHold(std::shared_ptr<Sync> sync) : sync_(std::move(sync)) {
    bool taken;
    {
      tx::ReleaseGil nogil;
      taken = sync_->lock.lock();
    }
    if (!taken) {
      tx::raise(PyExc_RuntimeError,
                "a ScreenedSearch cannot be changed from within a search of it in the same thread");
    }
  }
  ~WriteHold() { sync_->lock.unlock(); }
  Sync& sync() const noexcept { return *sync_; }
  WriteHold(const WriteHold&) = delete;
  WriteHold& operator=(const WriteHold&) = delete;

 private:
  std::shared_ptr<Sync> sync_;
};

// Marks the pair as no longer aligned; restricted searches and save refuse
// from now on. Touches no Python state, so it is safe while an error is set.
void mark_misaligned(Sync& sync, const std::string& why) noexcept;
// RuntimeError when the pair is marked misaligned.
void refuse_if_misaligned(PyObject* self, const char* what);
// Marks the pair when its halves no longer hold as many documents (or, where
// cheap to tell, the same last id), then refuses as refuse_if_misaligned.
// Called by whatever trusts the store's positions.
void check_aligned(PyObject* self, const char* what);

// The wrapper's two members, read as attributes.
inline tx::Ref inner_of(PyObject* self) { return tx::attr<"_inner">(self); }
inline tx::Ref store_of(PyObject* self) { return tx::attr<"_filter">(self); }

// hasattr(o, name): only an AttributeError means absent.
tx::Ref optional_attr(PyObject* o, PyObject* name);

// The inner index's `size` as an integer, or -1 when it has none.
Py_ssize_t inner_size(PyObject* inner);
// The store's `size` as an integer, kept between writes where the store keeps it.
Py_ssize_t store_count(PyObject* store);

[[noreturn]] void raise_type_lacks(PyObject* inner, const char* what);

// Entry points defined in the writes and folder files.
tx::Method add, update, update_metadata, grant, revoke, delete_, save, load;

}  // namespace tx::screened
