#include "platform/dispatch.h"

#include <atomic>
#include <deque>
#include <map>
#include <thread>

#include "platform/mutex.h"
#include "platform/runtime_internal.h"

namespace platform {
namespace {

thread_local const Queue* tlsQueue = nullptr;

// Blocks queued or running on the pool and serial queues (the test helpers wait for zero).
std::atomic<long> outstanding{0};

struct CurrentQueue {
  const Queue* saved;
  explicit CurrentQueue(const Queue* q) : saved(tlsQueue) { tlsQueue = q; }
  ~CurrentQueue() { tlsQueue = saved; }
};

// The concurrent worker pool. It grows by one thread whenever work waits and no worker is
// idle, so blocks that wait for each other cannot starve it. Never destroyed: its threads
// may still be parked when the process exits.
class Pool {
 public:
  static Pool& shared() {
    static Pool* p = new Pool;
    return *p;
  }
  void submit(std::function<void()> task) {
    {
      MutexLock lk(mutex_);
      tasks_.push_back(std::move(task));
      if (idle_ < long(tasks_.size()) && threads_ < kMaxThreads) {
        ++threads_;
        std::thread([this] { work(); }).detach();
      }
    }
    // Outside the lock, so the woken worker does not at once block on it.
    cv_.notify_one();
  }

 private:
  static constexpr long kMaxThreads = 256;
  void work() {
    UniqueLock lk(mutex_);
    for (;;) {
      while (tasks_.empty()) {
        ++idle_;
        cv_.wait(lk);
        --idle_;
      }
      auto task = std::move(tasks_.front());
      tasks_.pop_front();
      lk.unlock();
      task();
      task = nullptr;
      lk.lock();
    }
  }
  Mutex mutex_;
  CondVar cv_;
  std::deque<std::function<void()>> tasks_ GUARDED_BY(mutex_);
  long threads_ GUARDED_BY(mutex_) = 0;
  long idle_ GUARDED_BY(mutex_) = 0;
};

class MainQueue final : public Queue {
 public:
  MainQueue() : Queue("main") {}
  bool isSerial() const override { return true; }
  void async(Block block) override { RunLoop::main()->perform(std::move(block)); }
  bool isCurrent() const override { return RunLoop::isMainThread(); }
};

class ConcurrentQueue final : public Queue {
 public:
  explicit ConcurrentQueue(std::string label) : Queue(std::move(label)) {}
  bool isSerial() const override { return false; }
  void async(Block block) override {
    ++outstanding;
    detail::bump();
    Pool::shared().submit([self = shared_from_this(), block = std::move(block)]() mutable {
      {
        CurrentQueue cq(self.get());
        block();
        block = nullptr;
      }
      detail::bump();
      --outstanding;
    });
  }
};

class SerialQueue final : public Queue {
 public:
  explicit SerialQueue(std::string label) : Queue(std::move(label)) {}
  bool isSerial() const override { return true; }
  void async(Block block) override {
    ++outstanding;
    detail::bump();
    MutexLock lk(mutex_);
    blocks_.push_back(std::move(block));
    if (draining_) return;
    draining_ = true;
    Pool::shared().submit([self = std::static_pointer_cast<SerialQueue>(shared_from_this())] {
      self->drain();
    });
  }

 private:
  void drain() {
    CurrentQueue cq(this);
    UniqueLock lk(mutex_);
    while (!blocks_.empty()) {
      Block b = std::move(blocks_.front());
      blocks_.pop_front();
      lk.unlock();
      b();
      b = nullptr;
      detail::bump();
      --outstanding;
      lk.lock();
    }
    draining_ = false;
  }
  Mutex mutex_;
  std::deque<Block> blocks_ GUARDED_BY(mutex_);
  bool draining_ GUARDED_BY(mutex_) = false;
};

// Delivers `after` blocks and dispatch-timer firings for queues other than the main queue
// (the main queue's go onto the main run loop as timers). One thread, started on first use.
class Scheduler {
 public:
  static Scheduler& shared() {
    static Scheduler* s = new Scheduler;
    return *s;
  }
  void add(QueuePtr queue, int64_t due, Block block) {
    MutexLock lk(mutex_);
    if (!started_) {
      started_ = true;
      std::thread([this] { work(); }).detach();
    }
    items_.emplace(std::make_pair(due, ++seq_), Item{std::move(queue), std::move(block)});
    cv_.notify_all();
  }
  void wake() {
    MutexLock lk(mutex_);
    cv_.notify_all();
  }
  bool idleNow() {
    MutexLock lk(mutex_);
    return delivering_ == 0 && (items_.empty() || items_.begin()->first.first > detail::nowNs());
  }
  std::optional<int64_t> nextDue() {
    MutexLock lk(mutex_);
    if (items_.empty()) return std::nullopt;
    return items_.begin()->first.first;
  }

 private:
  struct Item {
    QueuePtr queue;
    Block block;
  };
  void work() {
    UniqueLock lk(mutex_);
    for (;;) {
      if (items_.empty()) {
        detail::waitUntil(lk, cv_, detail::kNever);
        continue;
      }
      auto it = items_.begin();
      if (it->first.first > detail::nowNs()) {
        detail::waitUntil(lk, cv_, it->first.first);
        continue;
      }
      Item item = std::move(it->second);
      items_.erase(it);
      ++delivering_;
      lk.unlock();
      item.queue->async(std::move(item.block));
      item = Item{};
      lk.lock();
      detail::bump();
      --delivering_;
    }
  }
  Mutex mutex_;
  CondVar cv_;
  std::map<std::pair<int64_t, uint64_t>, Item> items_ GUARDED_BY(mutex_);
  uint64_t seq_ GUARDED_BY(mutex_) = 0;
  int delivering_ GUARDED_BY(mutex_) = 0;
  bool started_ GUARDED_BY(mutex_) = false;
};

}  // namespace

// ---- Queue ----

bool Queue::isCurrent() const { return tlsQueue == this; }

void Queue::sync(Block block) {
  if (isCurrent() && isSerial()) {
    block();
    return;
  }
  if (!isSerial()) {  // a concurrent queue imposes no order: run on the caller's thread
    CurrentQueue cq(this);
    block();
    return;
  }
  // The hand-back lives on the heap: the waiter may return the moment it sees `done`,
  // while the worker is still inside notify.
  struct Done {
    Mutex mutex;
    CondVar cv;
    bool done GUARDED_BY(mutex) = false;
  };
  auto d = std::make_shared<Done>();
  async([d, &block] {
    block();
    MutexLock lk(d->mutex);
    d->done = true;
    d->cv.notify_all();
  });
  UniqueLock lk(d->mutex);
  while (!d->done) d->cv.wait(lk);
}

void Queue::after(double seconds, Block block) {
  detail::scheduleAt(shared_from_this(), detail::nowNs() + detail::secondsToNs(seconds),
                     std::move(block));
}

namespace dispatch {

// The shared queues are never destroyed: pool threads may still use them at exit.
QueuePtr mainQueue() {
  static QueuePtr* q = new QueuePtr(std::make_shared<MainQueue>());
  return *q;
}

QueuePtr globalQueue(Priority priority) {
  static QueuePtr* queues = new QueuePtr[4]{
      std::make_shared<ConcurrentQueue>("com.marvisto.global.high"),
      std::make_shared<ConcurrentQueue>("com.marvisto.global.default"),
      std::make_shared<ConcurrentQueue>("com.marvisto.global.low"),
      std::make_shared<ConcurrentQueue>("com.marvisto.global.background")};
  return queues[int(priority)];
}

QueuePtr serialQueue(std::string label) { return std::make_shared<SerialQueue>(std::move(label)); }

QueuePtr concurrentQueue(std::string label) {
  return std::make_shared<ConcurrentQueue>(std::move(label));
}

QueuePtr currentQueue() {
  if (tlsQueue) return const_cast<Queue*>(tlsQueue)->shared_from_this();
  if (RunLoop::isMainThread()) return mainQueue();
  return nullptr;
}

void async(const QueuePtr& queue, Block block) { queue->async(std::move(block)); }
void sync(const QueuePtr& queue, Block block) { queue->sync(std::move(block)); }
void after(double seconds, const QueuePtr& queue, Block block) {
  queue->after(seconds, std::move(block));
}

}  // namespace dispatch

// ---- Group ----

std::shared_ptr<Group> Group::create() { return std::make_shared<Group>(); }

void Group::enter() {
  MutexLock lk(mutex_);
  ++count_;
}

void Group::leave() {
  std::vector<std::pair<QueuePtr, Block>> ready;
  {
    MutexLock lk(mutex_);
    if (count_ > 0) --count_;
    if (count_ != 0) return;
    ready.swap(notify_);
    cv_.notify_all();
  }
  for (auto& [q, b] : ready) q->async(std::move(b));
}

void Group::async(const QueuePtr& queue, Block block) {
  enter();
  queue->async([self = shared_from_this(), block = std::move(block)] {
    block();
    self->leave();
  });
}

void Group::notify(const QueuePtr& queue, Block block) {
  {
    MutexLock lk(mutex_);
    if (count_ != 0) {
      notify_.emplace_back(queue, std::move(block));
      return;
    }
  }
  queue->async(std::move(block));
}

bool Group::wait(double seconds) {
  UniqueLock lk(mutex_);
  if (seconds < 0) {
    while (count_ != 0) cv_.wait(lk);
    return true;
  }
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(seconds));
  while (count_ != 0)
    if (cv_.wait_until(lk, deadline) == std::cv_status::timeout) return count_ == 0;
  return true;
}

// ---- DispatchTimer ----

struct DispatchTimer::State : std::enable_shared_from_this<DispatchTimer::State> {
  Mutex mutex;
  QueuePtr queue;
  int64_t period = 0;
  std::shared_ptr<Block> handler GUARDED_BY(mutex);  // null once cancelled
  bool started GUARDED_BY(mutex) = false;
  int64_t due GUARDED_BY(mutex) = 0;

  void arm(int64_t at) REQUIRES(mutex) {
    due = at;
    detail::scheduleAt(queue, at, [self = shared_from_this()] { self->fire(); });
  }
  void fire() {
    std::shared_ptr<Block> h;
    {
      MutexLock lk(mutex);
      h = handler;
    }
    if (!h) return;
    (*h)();
    MutexLock lk(mutex);
    if (!handler) return;
    // The next firing is armed only now, so the handler never overlaps itself; firings
    // missed while it ran collapse into the next period boundary.
    int64_t now = detail::nowNs();
    int64_t next = due + period;
    if (next <= now) next += ((now - next) / period + 1) * period;
    arm(next);
  }
};

std::shared_ptr<DispatchTimer> DispatchTimer::create(QueuePtr queue, double interval, double,
                                                     Block handler) {
  auto s = std::make_shared<State>();
  MutexLock lk(s->mutex);  // not shared yet; taken for the analysis' sake
  s->queue = std::move(queue);
  s->period = std::max<int64_t>(detail::secondsToNs(interval), 1000);
  s->handler = std::make_shared<Block>(std::move(handler));
  return std::make_shared<DispatchTimer>(std::move(s));
}

void DispatchTimer::resume(double startDelay) {
  MutexLock lk(state_->mutex);
  if (state_->started || !state_->handler) return;
  state_->started = true;
  int64_t delay = startDelay < 0 ? state_->period : detail::secondsToNs(startDelay);
  state_->arm(detail::nowNs() + delay);
}

void DispatchTimer::cancel() {
  std::shared_ptr<Block> released;
  MutexLock lk(state_->mutex);
  released = std::move(state_->handler);
}

bool DispatchTimer::isCancelled() const {
  MutexLock lk(state_->mutex);
  return !state_->handler;
}

DispatchTimer::~DispatchTimer() { cancel(); }

namespace detail {

// The scheduler first: a delivery counts as outstanding before it stops counting as due.
bool dispatchIdle() { return Scheduler::shared().idleNow() && outstanding.load() == 0; }

std::optional<int64_t> schedulerNextDue() { return Scheduler::shared().nextDue(); }

void schedulerWake() { Scheduler::shared().wake(); }

void scheduleAt(const QueuePtr& queue, int64_t due, Block block) {
  if (queue == dispatch::mainQueue()) {
    scheduleTimerAt(*RunLoop::main(), due, std::move(block));
    return;
  }
  Scheduler::shared().add(queue, due, std::move(block));
}

}  // namespace detail
}  // namespace platform
