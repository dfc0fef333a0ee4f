// The mutex every layer above the engine uses, with its scoped locks and a condition
// variable, annotated so that clang checks the lock rules (platform/thread_annotations.h).
// `MutexLock` holds a lock for a scope; `UniqueLock` can also be released and taken again
// and is what `CondVar` waits with.
#pragma once

/// @cond

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/thread_annotations.h"

namespace platform {

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ACQUIRE() { m_.lock(); }
  void unlock() RELEASE() { m_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return m_.try_lock(); }
  // Tells the analysis that the caller holds this mutex where it cannot see it.
  void assertHeld() const ASSERT_CAPABILITY(this) {}

 private:
  friend class UniqueLock;
  std::mutex m_;
};

// For the one class whose calls re-enter while holding its lock. The analysis does not model
// re-entry: a function that takes the lock again must not say REQUIRES of it.
class CAPABILITY("mutex") RecursiveMutex {
 public:
  RecursiveMutex() = default;
  RecursiveMutex(const RecursiveMutex&) = delete;
  RecursiveMutex& operator=(const RecursiveMutex&) = delete;

  void lock() ACQUIRE() { m_.lock(); }
  void unlock() RELEASE() { m_.unlock(); }
  void assertHeld() const ASSERT_CAPABILITY(this) {}

 private:
  std::recursive_mutex m_;
};

template <class M>
class SCOPED_CAPABILITY ScopedLock {
 public:
  explicit ScopedLock(M& m) ACQUIRE(m) : m_(m) { m_.lock(); }
  ~ScopedLock() RELEASE() { m_.unlock(); }
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;

 private:
  M& m_;
};
using MutexLock = ScopedLock<Mutex>;
using RecursiveLock = ScopedLock<RecursiveMutex>;

class SCOPED_CAPABILITY UniqueLock {
 public:
  explicit UniqueLock(Mutex& m) ACQUIRE(m) : lock_(m.m_) {}
  ~UniqueLock() RELEASE() {}
  UniqueLock(const UniqueLock&) = delete;
  UniqueLock& operator=(const UniqueLock&) = delete;

  void lock() ACQUIRE() { lock_.lock(); }
  void unlock() RELEASE() { lock_.unlock(); }
  // For std::condition_variable and the runtime's own waits.
  std::unique_lock<std::mutex>& native() { return lock_; }

 private:
  std::unique_lock<std::mutex> lock_;
};

// Waits release and retake the lock inside; to the analysis the lock stays held throughout,
// so callers test their condition in a loop around `wait` rather than in a predicate.
class CondVar {
 public:
  void notify_one() noexcept { cv_.notify_one(); }
  void notify_all() noexcept { cv_.notify_all(); }
  void wait(UniqueLock& lock) { cv_.wait(lock.native()); }
  template <class Clock, class Duration>
  std::cv_status wait_until(UniqueLock& lock, const std::chrono::time_point<Clock, Duration>& t) {
    return cv_.wait_until(lock.native(), t);
  }
  template <class Rep, class Period>
  std::cv_status wait_for(UniqueLock& lock, const std::chrono::duration<Rep, Period>& d) {
    return cv_.wait_for(lock.native(), d);
  }
  std::condition_variable& native() { return cv_; }

 private:
  std::condition_variable cv_;
};

}  // namespace platform
/// @endcond
