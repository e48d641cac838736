// A shared/exclusive lock for one wrapper: many readers or one writer, with
// writers preferred so a stream of searches cannot starve an add. Re-entrant
// per thread: a thread that holds it in either mode may take it again in the
// same mode, and a writer may also read. A reader that asks to write would
// wait for itself forever, so `lock` reports that instead of blocking.
// No Python here: callers release the interpreter lock around the waits.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>

namespace tx {

class SharedExclusive {
 public:
  void lock_shared() {
    std::unique_lock<std::mutex> held(mutex_);
    const std::thread::id me = std::this_thread::get_id();
    if (writer_depth_ > 0 && writer_ == me) {
      ++writer_depth_;  // a read inside our own write
      return;
    }
    auto it = readers_.find(me);
    if (it != readers_.end()) {
      ++it->second;  // never wait behind a writer while we already read
      return;
    }
    ++readers_waiting_;
    changed_.wait(held, [&] { return writer_depth_ == 0 && writers_waiting_ == 0; });
    --readers_waiting_;
    readers_.emplace(me, 1);
  }

  void unlock_shared() {
    std::lock_guard<std::mutex> held(mutex_);
    const std::thread::id me = std::this_thread::get_id();
    if (writer_depth_ > 0 && writer_ == me) {
      release_write();
      return;
    }
    auto it = readers_.find(me);
    if (it == readers_.end()) return;
    if (--it->second == 0) {
      readers_.erase(it);
      if (readers_.empty()) changed_.notify_all();
    }
  }

  // False, without waiting, when this thread already holds the lock shared.
  bool lock() {
    std::unique_lock<std::mutex> held(mutex_);
    const std::thread::id me = std::this_thread::get_id();
    if (writer_depth_ > 0 && writer_ == me) {
      ++writer_depth_;
      return true;
    }
    if (readers_.count(me) != 0) return false;
    ++writers_waiting_;
    changed_.wait(held, [&] { return writer_depth_ == 0 && readers_.empty(); });
    --writers_waiting_;
    writer_ = me;
    writer_depth_ = 1;
    return true;
  }

  void unlock() {
    std::lock_guard<std::mutex> held(mutex_);
    if (writer_depth_ > 0 && writer_ == std::this_thread::get_id()) release_write();
  }

  // How many threads wait to read and to write: for tests that must know a
  // thread has reached its wait.
  std::pair<int, int> waiting() {
    std::lock_guard<std::mutex> held(mutex_);
    return {readers_waiting_, writers_waiting_};
  }

 private:
  void release_write() {
    if (--writer_depth_ == 0) {
      writer_ = std::thread::id();
      changed_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::unordered_map<std::thread::id, int> readers_;
  std::thread::id writer_;
  int writer_depth_ = 0;
  int writers_waiting_ = 0;
  int readers_waiting_ = 0;
};

}  // namespace tx
