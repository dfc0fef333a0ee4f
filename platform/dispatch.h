// Dispatch queues. The main queue runs its blocks on the main run loop (so only while the
// main thread runs it); the global queues share one concurrent pool of worker threads that
// grows when all workers are busy; serial queues run one block at a time, in submission
// order, on a pool thread. Every function here is safe from any thread. Delays are read from
// `platform::Clock` (manual in tests).
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/mutex.h"

namespace platform {

class Queue;
using QueuePtr = std::shared_ptr<Queue>;
using Block = std::function<void()>;

class Queue : public std::enable_shared_from_this<Queue> {
 public:
  virtual ~Queue() = default;
  const std::string& label() const { return label_; }
  virtual bool isSerial() const = 0;

  // Runs `block` later on this queue.
  virtual void async(Block block) = 0;
  // Runs `block` on this queue and waits for it. Onto the main queue from the main thread,
  // or onto a serial queue from its own block, the block runs inline (no deadlock); from a
  // worker onto the main queue it waits until the main thread's loop runs it. A concurrent
  // queue runs it on the caller's thread (as a block of that queue).
  void sync(Block block);
  // Runs `block` on this queue once `seconds` of clock time have passed.
  void after(double seconds, Block block);
  // True while the calling thread runs a block of this queue (main queue: the main thread).
  virtual bool isCurrent() const;

 protected:
  explicit Queue(std::string label) : label_(std::move(label)) {}

 private:
  std::string label_;
};

namespace dispatch {

enum class Priority { High, Default, Low, Background };

QueuePtr mainQueue();
QueuePtr globalQueue(Priority priority = Priority::Default);  // all share one pool
QueuePtr serialQueue(std::string label);                      // a new serial queue
QueuePtr concurrentQueue(std::string label);                  // a labelled view of the pool
QueuePtr currentQueue();  // the queue whose block runs on this thread, else null

void async(const QueuePtr& queue, Block block);
void sync(const QueuePtr& queue, Block block);
void after(double seconds, const QueuePtr& queue, Block block);

// Runs `fn` exactly once per token, other callers waiting until it has run.
using OnceToken = std::once_flag;
template <class F>
void once(OnceToken& token, F&& fn) {
  std::call_once(token, std::forward<F>(fn));
}

}  // namespace dispatch

// A group of blocks to wait for or be notified about (any thread).
class Group : public std::enable_shared_from_this<Group> {
 public:
  static std::shared_ptr<Group> create();
  void enter();
  void leave();
  void async(const QueuePtr& queue, Block block);  // enter, run on queue, leave
  // Runs `block` on `queue` once the group is empty (at once if it is empty now).
  void notify(const QueuePtr& queue, Block block);
  // Waits for the group to empty, at most `seconds` of real time (< 0: for ever).
  bool wait(double seconds = -1);

 private:
  Mutex mutex_;
  CondVar cv_;
  long count_ GUARDED_BY(mutex_) = 0;
  std::vector<std::pair<QueuePtr, Block>> notify_ GUARDED_BY(mutex_);
};

// A repeating timer on a queue whose handler is never re-entered: the next firing is
// scheduled only after the handler returned, and firings missed meanwhile are coalesced
// into one. `leeway` is accepted as a permitted delay; firings happen at their due times.
// `resume` starts it (once), `cancel` stops it for good (from any thread, also from the
// handler); once `cancel` returns no new firing starts (one already under way on another
// thread may still run its handler). Dropping the last
// reference cancels it.
class DispatchTimer : public std::enable_shared_from_this<DispatchTimer> {
 public:
  static std::shared_ptr<DispatchTimer> create(QueuePtr queue, double interval, double leeway,
                                               Block handler);
  // First firing `startDelay` seconds from now (< 0: one interval from now).
  void resume(double startDelay = -1);
  void cancel();
  bool isCancelled() const;

  struct State;
  explicit DispatchTimer(std::shared_ptr<State> s) : state_(std::move(s)) {}
  ~DispatchTimer();

 private:
  std::shared_ptr<State> state_;
};

}  // namespace platform
