#include "platform/run_loop.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <exception>
#include <map>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/main_thread.h"
#include "platform/mutex.h"
#include "platform/runtime_internal.h"

namespace platform {

// Repeating timers are never faster than this, as on the phone.
constexpr int64_t kMinIntervalNs = 100000;

namespace {
// Waits in the main loop's place when it has nothing ready (set once, by URL loading).
std::atomic<detail::IdleWaiter*> mainIdleWaiter{nullptr};
}  // namespace

struct RunLoop::Impl {
  Mutex mutex;
  CondVar cv;
  std::deque<Block> posted GUARDED_BY(mutex);
  std::map<std::pair<int64_t, uint64_t>, std::shared_ptr<Timer>> timers GUARDED_BY(mutex);  // (due, seq)
  uint64_t seq GUARDED_BY(mutex) = 0;
  int depth GUARDED_BY(mutex) = 0;         // nested run invocations
  bool stopping GUARDED_BY(mutex) = false;
  bool waiting GUARDED_BY(mutex) = false;  // the owner is blocked waiting for work
  RunLoop* self = nullptr;
  std::atomic<bool> isMain{false};  // the main thread's loop
  // While an idle waiter stands in for `cv` (main loop only), wake-ups go to this eventfd.
  int wakeFd GUARDED_BY(mutex) = -1;
  bool fdWaiting GUARDED_BY(mutex) = false;
  // wakeFd's counter is not zero (written and read under the lock).
  bool fdSignalled GUARDED_BY(mutex) = false;

  ~Impl() {
    if (wakeFd >= 0) close(wakeFd);
  }

  // Wakes the owner wherever it waits; under the loop's lock.
  void wakeLocked() REQUIRES(mutex) {
    cv.notify_all();
    if (fdWaiting) signalFdLocked();
  }
  void signalFdLocked() REQUIRES(mutex) {
    if (fdSignalled) return;
    fdSignalled = true;
    uint64_t one = 1;
    if (write(wakeFd, &one, sizeof one) < 0) {
    }  // only EAGAIN at a counter near overflow: the waiter is woken anyway
  }

  // On the main thread, with nothing ready: lets the idle waiter wait in the loop's place (at
  // most `realNs` of real time, < 0: until woken). False when there is none or it had nothing
  // to wait on; then `*woken` tells whether a wake-up came meanwhile, else the caller waits on
  // `cv` as usual. `lk` is held again on return.
  // Here and in step(): the caller's lock comes in by reference and is let go around the
  // wait; the analysis cannot follow a lock it did not see taken.
  bool waitInPlace(UniqueLock& lk, int64_t realNs, bool* woken) REQUIRES(mutex) NO_THREAD_SAFETY_ANALYSIS {
    *woken = false;
    detail::IdleWaiter* waiter = mainIdleWaiter.load(std::memory_order_acquire);
    if (!waiter || !isMain.load(std::memory_order_relaxed)) return false;
    if (wakeFd < 0 && (wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) < 0) return false;
    fdWaiting = true;
    lk.unlock();
    bool waited = waiter->idleWait(*self, wakeFd, realNs);
    lk.lock();
    fdWaiting = false;
    *woken = fdSignalled;
    if (fdSignalled) {
      uint64_t count = 0;
      if (read(wakeFd, &count, sizeof count) < 0) {
      }  // written under this lock: there is a count to read
      fdSignalled = false;
    }
    return waited;
  }

  enum class Step { Ran, Stopped, Idle, Timeout };

  bool readyLocked(int64_t now) const REQUIRES(mutex) {
    return !posted.empty() || (!timers.empty() && timers.begin()->first.first <= now);
  }
  // The same, reading the clock only when a timer decides it.
  bool readyNowLocked() const REQUIRES(mutex) {
    return !posted.empty() || (!timers.empty() && timers.begin()->first.first <= detail::nowNs());
  }

  void insertLocked(const std::shared_ptr<Timer>& t, int64_t due) REQUIRES(mutex) {
    t->due_ = due;
    t->seq_ = ++seq;
    t->scheduled_ = true;
    timers.emplace(std::make_pair(due, t->seq_), t);
  }

  std::shared_ptr<Timer> scheduleAt(RunLoop& loop, int64_t due, Block block) {
    auto t = std::shared_ptr<Timer>(new Timer(0, false, std::move(block)));
    t->loop_ = loop.weak_from_this();
    MutexLock lk(mutex);
    insertLocked(t, due);
    wakeLocked();
    return t;
  }

  // One unit of work: the earliest due timer, else the oldest posted block; waits for work
  // until `deadline` when `wait` is set.
  Step step(UniqueLock& lk, bool wait, int64_t deadline) REQUIRES(mutex) NO_THREAD_SAFETY_ANALYSIS {
    for (;;) {
      if (stopping) {
        stopping = false;
        return Step::Stopped;
      }
      // The clock is read only where a timer or a deadline needs it: a loop that runs posted
      // blocks one after another has no use for the time.
      const bool timed = !timers.empty();
      int64_t now = timed ? detail::nowNs() : 0;
      if (timed && timers.begin()->first.first <= now) {
        auto it = timers.begin();
        std::shared_ptr<Timer> t = it->second;
        timers.erase(it);
        t->scheduled_ = false;
        std::shared_ptr<const Block> block;
        {
          MutexLock tl(t->mutex_);
          block = t->block_;
          if (!t->repeats_) t->block_.reset();  // a one-shot timer is spent once it fires
        }
        if (!block) continue;
        if (t->repeats_) {
          int64_t period = std::max(kMinIntervalNs, detail::secondsToNs(t->interval_));
          int64_t due = t->due_ + period;
          if (due <= now) due += ((now - due) / period + 1) * period;  // skip missed firings
          insertLocked(t, due);
        }
        lk.unlock();
        (*block)();
        block.reset();
        detail::bump();
        lk.lock();
        return Step::Ran;
      }
      if (!posted.empty()) {
        Block b = std::move(posted.front());
        posted.pop_front();
        lk.unlock();
        b();
        b = nullptr;
        detail::bump();
        lk.lock();
        return Step::Ran;
      }
      if (!wait) return Step::Idle;
      if (!timed) now = detail::nowNs();
      if (deadline != detail::kNever && now >= deadline) return Step::Timeout;
      int64_t until = deadline;
      if (!timers.empty()) until = std::min(until, timers.begin()->first.first);
      waiting = true;
      int64_t realNs = until == detail::kNever || Clock::isManual() ? -1 : std::max<int64_t>(0, until - now);
      bool woken = false;
      if (!waitInPlace(lk, realNs, &woken) && !woken) detail::waitUntil(lk, cv, until);
      waiting = false;
    }
  }

  // Counts one run call in `depth` for as long as it lasts, however it ends. A host's block
  // or predicate that throws leaves through here too: the loop must not go on looking run (a
  // later stop() would then end the next run at once), and a stop meant for the call that
  // ended must not carry over to the next, nor a wait the idle waiter left by a throw. The
  // exception itself goes on to the host.
  class RunScope {
   public:
    RunScope(Impl& impl, UniqueLock& lk) NO_THREAD_SAFETY_ANALYSIS
        : impl_(impl), lk_(lk), exceptions_(std::uncaught_exceptions()) {
      ++impl_.depth;
    }
    // The lock is let go around host code, so a throw may find it released.
    ~RunScope() NO_THREAD_SAFETY_ANALYSIS {
      if (!lk_.native().owns_lock()) lk_.lock();
      const bool unwinding = std::uncaught_exceptions() > exceptions_;
      if (--impl_.depth == 0 || unwinding) impl_.stopping = false;
      impl_.waiting = false;
      impl_.fdWaiting = false;
    }
    RunScope(const RunScope&) = delete;
    RunScope& operator=(const RunScope&) = delete;

   private:
    Impl& impl_;
    UniqueLock& lk_;
    const int exceptions_;
  };

  // Runs until stopped, `pred` holds or `deadline` passes; true when `pred` held.
  bool runLoop(const std::function<bool()>* pred, int64_t deadline, bool* stopped) {
    UniqueLock lk(mutex);
    RunScope scope(*this, lk);
    bool held = false;
    for (;;) {
      if (pred) {
        lk.unlock();
        held = (*pred)();
        lk.lock();
        if (held) break;
      }
      Step s = step(lk, true, deadline);
      if (s == Step::Stopped) {
        if (stopped) *stopped = true;
        break;
      }
      if (s == Step::Timeout) break;
    }
    return held;
  }
};

namespace {

struct Registry {
  Mutex mutex;
  std::vector<RunLoop::Impl*> loops GUARDED_BY(mutex);
  std::shared_ptr<RunLoop> main GUARDED_BY(mutex);
  // Written under `mutex` together with `main` (which it implies), read without it: whether
  // the caller is the main thread is asked at every hand-off.
  std::atomic<std::thread::id> mainThread{};
};

Registry& registry() {
  static Registry* r = new Registry;  // outlives every thread's loop
  return *r;
}

thread_local std::shared_ptr<RunLoop> tlsLoop;

}  // namespace

// ---- Timer ----

Timer::Timer(double interval, bool repeats, Block block)
    : interval_(interval), repeats_(repeats),
      block_(std::make_shared<const Block>(std::move(block))) {}

Timer::~Timer() = default;

std::shared_ptr<Timer> Timer::scheduledTimerWithTimeInterval(double interval, bool repeats,
                                                             Block block) {
  return RunLoop::current()->scheduleTimer(interval, repeats, std::move(block));
}

void Timer::invalidate() {
  std::shared_ptr<const Block> released;  // dropped outside every lock
  std::shared_ptr<RunLoop> loop;
  {
    MutexLock lk(mutex_);
    released = std::move(block_);
    loop = loop_.lock();
  }
  if (!loop) return;
  auto& impl = loop->impl();
  std::shared_ptr<Timer> self;  // the schedule's reference, dropped outside the loop lock
  MutexLock lk(impl.mutex);
  if (scheduled_) {
    auto it = impl.timers.find({due_, seq_});
    if (it != impl.timers.end()) {
      self = std::move(it->second);
      impl.timers.erase(it);
    }
    scheduled_ = false;
  }
}

bool Timer::isValid() const {
  MutexLock lk(mutex_);
  return block_ != nullptr;
}

// ---- RunLoop ----

RunLoop::RunLoop() : impl_(std::make_unique<Impl>()) {
  impl_->self = this;
  auto& r = registry();
  MutexLock lk(r.mutex);
  r.loops.push_back(impl_.get());
}

RunLoop::~RunLoop() {
  auto& r = registry();
  MutexLock lk(r.mutex);
  r.loops.erase(std::remove(r.loops.begin(), r.loops.end(), impl_.get()), r.loops.end());
}

void RunLoop::setMainThread() {
  auto& r = registry();
  std::shared_ptr<RunLoop> provisional;  // made by main() before any thread was marked
  std::shared_ptr<RunLoop> fresh(tlsLoop ? nullptr : new RunLoop);  // registers itself
  {
    MutexLock lk(r.mutex);
    bool unbound = r.main && r.mainThread.load() == std::thread::id();
    if (!tlsLoop) tlsLoop = unbound ? r.main : fresh;
    else if (unbound && r.main != tlsLoop) provisional = r.main;
    if (r.main) r.main->impl_->isMain = false;
    r.main = tlsLoop;
    r.main->impl_->isMain = true;
    r.mainThread.store(std::this_thread::get_id());
  }
  if (provisional) {
    std::deque<Block> posted;
    {
      MutexLock lk(provisional->impl_->mutex);
      posted.swap(provisional->impl_->posted);
    }
    for (auto& b : posted) tlsLoop->perform(std::move(b));
  }
}

bool RunLoop::isMainThread() {
  // A marked thread has its loop set as `main` first (setMainThread), so the mark says it all.
  return registry().mainThread.load() == std::this_thread::get_id();
}

void detail::threadCheckFailed(const char* what, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: %s\n", file, line, what);
  std::abort();
}

bool RunLoop::isMainThreadOrUnmarked() {
  const std::thread::id marked = registry().mainThread.load();
  return marked == std::thread::id() || marked == std::this_thread::get_id();
}

std::shared_ptr<RunLoop> RunLoop::current() {
  if (!tlsLoop) tlsLoop = std::shared_ptr<RunLoop>(new RunLoop);
  return tlsLoop;
}

std::shared_ptr<RunLoop> RunLoop::main() {
  auto& r = registry();
  {
    MutexLock lk(r.mutex);
    if (r.main) return r.main;
  }
  std::shared_ptr<RunLoop> fresh(new RunLoop);  // bound by setMainThread
  MutexLock lk(r.mutex);
  if (!r.main) r.main = fresh;
  return r.main;
}

void RunLoop::perform(Block block) {
  {
    MutexLock lk(impl_->mutex);
    impl_->posted.push_back(std::move(block));
    // The owner posting to itself is not asleep: an idle waiter it runs looks for posts
    // itself before it sleeps. The eventfd is written under the lock, so that its count and
    // `fdSignalled` agree.
    if (impl_->fdWaiting && tlsLoop.get() != this) impl_->signalFdLocked();
  }
  // Woken after the lock is released: a waiter woken under it would at once block on it
  // again, a second sleep and wake-up for every post.
  impl_->cv.notify_all();
  detail::bump();  // after the post is visible
}

void RunLoop::addTimer(const std::shared_ptr<Timer>& timer) {
  if (!timer) return;
  {
    MutexLock tl(timer->mutex_);
    if (!timer->block_ || !timer->loop_.expired()) return;  // invalid, or already on a loop
    timer->loop_ = weak_from_this();
  }
  int64_t due = detail::nowNs() + detail::secondsToNs(timer->interval_);
  MutexLock lk(impl_->mutex);
  impl_->insertLocked(timer, due);
  impl_->wakeLocked();
}

std::shared_ptr<Timer> RunLoop::scheduleTimer(double interval, bool repeats, Block block) {
  auto t = std::shared_ptr<Timer>(new Timer(interval, repeats, std::move(block)));
  addTimer(t);
  return t;
}

void RunLoop::run() { impl_->runLoop(nullptr, detail::kNever, nullptr); }

bool RunLoop::runFor(double seconds) {
  bool stopped = false;
  impl_->runLoop(nullptr, detail::nowNs() + detail::secondsToNs(seconds), &stopped);
  return stopped;
}

bool RunLoop::runUntil(const std::function<bool()>& pred, double seconds) {
  return impl_->runLoop(&pred, detail::nowNs() + detail::secondsToNs(seconds), nullptr);
}

size_t RunLoop::runPending() {
  UniqueLock lk(impl_->mutex);
  Impl::RunScope scope(*impl_, lk);
  size_t n = 0;
  while (impl_->step(lk, false, 0) == Impl::Step::Ran) ++n;
  return n;
}

void RunLoop::stop() {
  MutexLock lk(impl_->mutex);
  if (impl_->depth == 0) return;
  impl_->stopping = true;
  impl_->wakeLocked();
}

bool RunLoop::isRunning() const {
  MutexLock lk(impl_->mutex);
  return impl_->depth > 0;
}

namespace detail {

void clockStepped() {
  {
    auto& r = registry();
    MutexLock lk(r.mutex);
    for (auto* l : r.loops) {
      MutexLock ll(l->mutex);
      l->wakeLocked();
    }
  }
  schedulerWake();
}

std::shared_ptr<Timer> scheduleTimerAt(RunLoop& loop, int64_t due, Block block) {
  return loop.impl().scheduleAt(loop, due, std::move(block));
}

std::optional<int64_t> loopsNextDue() {
  std::optional<int64_t> next;
  auto& r = registry();
  MutexLock lk(r.mutex);
  for (auto* l : r.loops) {
    MutexLock ll(l->mutex);
    bool isMain = r.main && &r.main->impl() == l;
    if ((l->depth > 0 || isMain) && !l->timers.empty()) {
      int64_t due = l->timers.begin()->first.first;
      if (!next || due < *next) next = due;
    }
  }
  return next;
}

bool loopsIdle(const RunLoop* except) {
  auto& r = registry();
  MutexLock lk(r.mutex);
  int64_t now = nowNs();
  for (auto* l : r.loops) {
    if (except && &const_cast<RunLoop*>(except)->impl() == l) continue;
    MutexLock ll(l->mutex);
    if (l->depth == 0) continue;  // not running: nothing of it can fire
    if (!l->waiting || l->readyLocked(now)) return false;
  }
  return true;
}

bool loopReadyNow(RunLoop& loop) {
  MutexLock lk(loop.impl().mutex);
  return loop.impl().readyNowLocked();
}

void loopWaitForWork(RunLoop& loop, int64_t realNs) {
  auto& impl = loop.impl();
  UniqueLock lk(impl.mutex);
  if (impl.readyNowLocked()) return;
  bool woken = false;
  if (!impl.waitInPlace(lk, realNs, &woken) && !woken) impl.cv.wait_for(lk, std::chrono::nanoseconds(realNs));
}

void setMainIdleWaiter(IdleWaiter* waiter) { mainIdleWaiter.store(waiter, std::memory_order_release); }

}  // namespace detail
}  // namespace platform
