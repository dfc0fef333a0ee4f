/// @file
/// Run loops and their timers. Each thread may own one run loop (`current()`); the main run
/// loop belongs to the thread that called `setMainThread()` and carries the main queue.
/// Posted blocks and timers run only on the loop's own thread and only while it runs (`run`,
/// `runFor`, `runUntil`, `runPending`). `perform`, `stop`, `addTimer` and timer invalidation
/// are safe from any thread. Deadlines are read from `platform::Clock` (manual in tests).
/// Lock order inside the runtime: the registry of loops, then a loop's lock, then a timer's;
/// no lock is held while a block or a timer's block runs.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/mutex.h"

namespace platform {

class RunLoop;

/// A one-shot or repeating timer on one run loop. A repeating timer skips firings missed
/// while its loop was busy or not running (next due time = the first period boundary after
/// now; periods below 0.1 ms count as 0.1 ms). `invalidate` may be called from any thread,
/// also from the timer's own block; once it returns no new firing starts (from another thread,
/// one already under way may still run) and the block is released after its last run.
class Timer : public std::enable_shared_from_this<Timer> {
 public:
  using Block = std::function<void()>;  ///< What a timer runs when it fires.
  /// A timer on the current thread's run loop, first firing `interval` seconds from now.
  static std::shared_ptr<Timer> scheduledTimerWithTimeInterval(double interval, bool repeats,
                                                               Block block);
  /// Stops the timer for good; safe from any thread and from its own block.
  void invalidate();
  bool isValid() const;                              ///< False once invalidated.
  double timeInterval() const { return interval_; }  ///< The period, in seconds.
  bool repeats() const { return repeats_; }          ///< Whether it fires more than once.
  ~Timer();

 private:
  friend class RunLoop;
  Timer(double interval, bool repeats, Block block);
  double interval_;
  bool repeats_;
  mutable Mutex mutex_;
  std::shared_ptr<const Block> block_ GUARDED_BY(mutex_);  ///< null once invalid
  /// Guarded by the loop's lock: where the timer sits in its loop's schedule.
  std::weak_ptr<RunLoop> loop_;
  int64_t due_ = 0;
  uint64_t seq_ = 0;
  bool scheduled_ = false;
};

/// One thread's loop of timers and posted blocks; the main one carries the main queue, on
/// which the facade delivers its main-queue callbacks. A host pumps it with `run`,
/// `runFor`, `runUntil` or `runPending` from its main thread.
class RunLoop : public std::enable_shared_from_this<RunLoop> {
 public:
  using Block = std::function<void()>;  ///< A block posted to the loop.

  /// Marks the calling thread as the main thread (call once, early, from the host's thread).
  static void setMainThread();
  static bool isMainThread();  ///< Whether the calling thread is the marked main thread.
  /// True on the main thread, and on any thread while none has been marked: what a
  /// main-thread-only call checks.
  static bool isMainThreadOrUnmarked();
  static std::shared_ptr<RunLoop> current();  ///< The calling thread's loop, created on first use.
  static std::shared_ptr<RunLoop> main();     ///< The main thread's loop.

  /// Runs `block` on this loop's thread, in posting order, the next time the loop runs.
  void perform(Block block);
  /// Schedules `timer` on this loop; its first firing is `interval` seconds from now.
  void addTimer(const std::shared_ptr<Timer>& timer);
  /// A new timer on this loop, first firing `interval` seconds from now.
  std::shared_ptr<Timer> scheduleTimer(double interval, bool repeats, Block block);

  /// Runs the loop until `stop()`. The run calls (`run`, `runFor`, `runUntil`,
  /// `runPending`) are for the owning thread only. Each returns when `stop()` is called
  /// from a block of this loop or from another thread while it runs; `stop()` is ignored
  /// while it does not run. Due timers fire in due-time order before posted blocks of the
  /// same iteration. An exception from a block or predicate ends the run call it came from
  /// and goes on to its caller; a stop pending for that call is dropped with it.
  void run();
  /// Time-outs are clock time: under the manual clock only a step moves them.
  /// Runs until `seconds` of clock time passed or stopped; true when stopped.
  bool runFor(double seconds);
  /// Runs until `pred()` holds (true), or `seconds` of clock time passed or stopped (false).
  bool runUntil(const std::function<bool()>& pred, double seconds);
  /// Runs what is ready now (due timers, posted blocks) without waiting; the count run.
  size_t runPending();
  /// Ends the current run call; safe from any thread, ignored while the loop does not run.
  void stop();

  bool isRunning() const;  ///< Whether a run call is under way.
  ~RunLoop();

  /// @cond internal
  // Internal to the runtime (dispatch and the test helpers).
  struct Impl;
  Impl& impl() { return *impl_; }
  /// @endcond

 private:
  RunLoop();
  std::unique_ptr<Impl> impl_;
};

}  // namespace platform
