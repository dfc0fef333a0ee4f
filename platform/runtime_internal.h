// Seams between the runtime's own files (clock, run loops, dispatch, test helpers); not for
// use outside platform/.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

#include "platform/dispatch.h"
#include "platform/mutex.h"
#include "platform/run_loop.h"

namespace platform::detail {

constexpr int64_t kNever = INT64_MAX;

// Bumped by every hand-over of work (a post, a submission, a block or timer finishing, a
// delivery), so that the test helpers can tell "idle everywhere at one moment" from a run of
// separate checks that work slipped between.
inline std::atomic<uint64_t> activity{0};
inline void bump() { activity.fetch_add(1, std::memory_order_seq_cst); }

int64_t nowNs();  // Clock::steadyNow() in nanoseconds
// Waits on `cv` until woken or until steady time `deadline` (real mode); in manual mode
// only a wake-up (a post or a clock step) ends the wait.
void waitUntil(UniqueLock& lock, CondVar& cv, int64_t deadline);
int64_t secondsToNs(double seconds);

// Called by the clock after every manual step: wakes every waiting loop and the scheduler.
void clockStepped();

// Run loops.
std::shared_ptr<Timer> scheduleTimerAt(RunLoop& loop, int64_t due, Block block);
std::optional<int64_t> loopsNextDue();       // earliest timer of every running loop
bool loopsIdle(const RunLoop* except);       // running loops (but `except`) have nothing ready
bool loopReadyNow(RunLoop& loop);            // a due timer or a posted block waits
void loopWaitForWork(RunLoop& loop, int64_t realNs);  // wait for a post (real time cap)

// Waits in the main run loop's place when the loop has nothing ready, so that the main
// thread does useful work instead of sleeping (URL loading drives its transfers there).
// `idleWait` runs on the main thread without the loop's lock. It returns soon after `wakeFd`
// became readable (a post from another thread, a timer, a stop or a clock step; it must not
// read it), after `realNs` of real time (< 0: no limit), or once `loopReadyNow(loop)` holds
// (the main thread posting to its own loop signals nothing). False, at once, when it has
// nothing to wait on: the loop then waits as usual.
class IdleWaiter {
 public:
  virtual bool idleWait(RunLoop& loop, int wakeFd, int64_t realNs) = 0;

 protected:
  ~IdleWaiter() = default;
};
// Set once, by the waiter's owner, which lives to the end of the process.
void setMainIdleWaiter(IdleWaiter* waiter);

// Dispatch.
bool dispatchIdle();  // no block queued or running, no `after` due but undelivered
std::optional<int64_t> schedulerNextDue();
void schedulerWake();
void scheduleAt(const QueuePtr& queue, int64_t due, Block block);

}  // namespace platform::detail
