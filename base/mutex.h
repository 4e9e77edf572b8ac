// Mutex, MutexLock and CondVar: std::mutex and std::condition_variable with lock contracts that
// clang checks (base/thread_annotations.h). Every lock of the server is a Mutex, so that a field
// tagged GUARDED_BY cannot be touched without its lock, even by accident. The server and the
// client library share them, in a namespace of their own: the client library is installed, and
// its users may have a Mutex of their own.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "base/thread_annotations.h"

namespace token_base {

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  // Hold a Mutex through a MutexLock; these are for it and for CondVar.
  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }

 private:
  friend class CondVar;
  std::mutex mutex_;
};

// Holds `mutex` from construction to the end of the scope.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex* mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_->lock(); }
  ~MutexLock() RELEASE() { mutex_->unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex* const mutex_;
};

// A condition variable whose waits name the Mutex they release, so that the analysis sees the
// caller holding it before and after.
class CondVar {
 public:
  CondVar() = default;
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  // Releases `mutex` until notified, then takes it again. A wait may also end without a notify,
  // and another thread may act first: re-test the awaited condition after each wait.
  void wait(Mutex* mutex) REQUIRES(mutex) {
    std::unique_lock<std::mutex> held(mutex->mutex_, std::adopt_lock);
    cond_.wait(held);
    held.release();  // still locked: the caller's MutexLock unlocks it
  }
  // As wait, but returns by `deadline` at the latest: false when the deadline has passed.
  template <typename Clock, typename Duration>
  bool wait_until(Mutex* mutex, const std::chrono::time_point<Clock, Duration>& deadline)
      REQUIRES(mutex) {
    std::unique_lock<std::mutex> held(mutex->mutex_, std::adopt_lock);
    bool notified = cond_.wait_until(held, deadline) == std::cv_status::no_timeout;
    held.release();
    return notified;
  }
  void notify_one() { cond_.notify_one(); }
  void notify_all() { cond_.notify_all(); }

 private:
  std::condition_variable cond_;
};

}  // namespace token_base
