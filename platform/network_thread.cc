#include "platform/url_connection.h"

#include "platform/url_connection_internal.h"

namespace platform {

thread_local bool tlsDriving = false;

using url_detail::deliverResponse;
using url_detail::errorCodeFor;

void NetworkThread::Impl::hostCodeBegins(URLConnection& c) {
  bool& counted = Access::counted(c);
  if (counted) return;
  counted = true;
  MutexLock lock(mutex);
  hostCode.fetch_add(1, std::memory_order_relaxed);
}

void NetworkThread::Impl::hostCodeEnds(URLConnection& c) {
  bool& counted = Access::counted(c);
  if (!counted) return;
  counted = false;
  MutexLock lock(mutex);
  hostCode.fetch_sub(1, std::memory_order_relaxed);
}

void NetworkThread::Impl::finished(CURL* easy, CURLcode code) {
  auto it = active.find(easy);
  if (it == active.end()) return;
  std::shared_ptr<URLConnection> c = std::move(it->second);
  active.erase(it);
  curl_multi_remove_handle(multi, easy);
  auto& t = Access::transfer(*c);
  auto& d = Access::delegate(*c);
  if (abandoning.load(std::memory_order_relaxed)) t.stopped = true;  // exit: no callbacks, no next hop
  if (!t.stopped && code == CURLE_OK && t.redirectTo) {
    URLRequest next = std::move(*t.redirectTo);
    if (Access::restart(*c, std::move(next))) {
      CURL* e = t.easy;
      active[e] = c;
      curl_multi_add_handle(multi, e);
      return;
    }
    releaseSlot(*c);
    return;
  }
  releaseSlot(*c);
  if (t.stopped) return hostCodeEnds(*c);
  if (code == CURLE_OK) {
    deliverResponse(*c);
    t.stopped = true;
    giveBack(std::exchange(t.easy, nullptr), t.plainGet, std::exchange(t.headers, nullptr));
    if (d.didFinishLoading) d.didFinishLoading();
    return hostCodeEnds(*c);
  }
  t.stopped = true;
  URLLoadError error{URLErrorDomain, errorCodeFor(code), t.errorBuffer[0] ? t.errorBuffer : curl_easy_strerror(code),
                     Access::request(*c).URL};
  if (t.refusal) {
    error = *t.refusal;
  } else if (t.bodyError) {
    error.domain = POSIXErrorDomain;
    error.code = t.bodyError->code;
    error.description = t.bodyError->message;
  } else if (t.trustRefused) {
    error.code = URLErrorServerCertificateUntrusted;
  }
  giveBack(std::exchange(t.easy, nullptr), t.plainGet, std::exchange(t.headers, nullptr));
  if (d.didFailWithError) d.didFailWithError(error);
  hostCodeEnds(*c);
}

void NetworkThread::Impl::releaseSlot(URLConnection& c) {
  auto& t = Access::transfer(c);
  if (!t.holdsSlot) return;
  t.holdsSlot = false;
  auto it = hosts.find(t.slot);
  if (it == hosts.end()) return;
  if (it->second.running > 0) --it->second.running;
  if (it->second.running == 0 && it->second.waiting.empty()) hosts.erase(it);
  else slotFreed = true;  // admitted by the loop: this may run inside a libcurl callback
}

// Admits waiting transfers where their host has room; true when one was started.
bool NetworkThread::Impl::admitWaiting() {
  if (!slotFreed || abandoning.load(std::memory_order_relaxed)) return false;
  slotFreed = false;
  bool started = false;
  for (auto it = hosts.begin(); it != hosts.end();) {
    auto& h = it->second;
    while (h.running < kTransfersPerHost && !h.waiting.empty()) {
      std::shared_ptr<URLConnection> c = std::move(h.waiting.front());
      h.waiting.pop_front();
      Access::transfer(*c).admitting = false;
      c->start();
      started = true;
    }
    if (h.running == 0 && h.waiting.empty()) it = hosts.erase(it);
    else ++it;
  }
  return started;
}

// False, with nothing taken, when the main thread would take tasks while host code waits.
bool NetworkThread::Impl::drainTasks(bool asMain) {
  // Nothing posted since the last look: no task to take, and no lock to take for it. A task
  // whose count is still to come is taken at a later look (its poster wakes a parked driver).
  const uint64_t now = posted.load(std::memory_order_seq_cst);
  if (now == drained) return true;
  drained = now;
  {
    MutexLock lock(mutex);
    if (asMain && hostCode.load(std::memory_order_relaxed) > 0) return false;
    if (tasks.empty()) return true;
    draining.swap(tasks);
  }
  // Tasks posted meanwhile go to `tasks`; no round runs inside a task. Once exit has begun,
  // the tasks left (which may run host code) are dropped, as later ones are.
  for (auto& task : draining) {
    if (abandoning.load(std::memory_order_relaxed)) break;
    task();
  }
  draining.clear();
  return true;
}

void NetworkThread::Impl::resumeDueUploads() {
  if (wakeups.empty()) return;  // mostly: no clock read then
  auto now = std::chrono::steady_clock::now();
  while (!wakeups.empty() && wakeups.begin()->first <= now) {
    auto c = wakeups.begin()->second.lock();
    wakeups.erase(wakeups.begin());
    if (!c) continue;
    auto& t = Access::transfer(*c);
    if (!t.pausedForPacing || t.stopped || !t.easy || !active.count(t.easy)) continue;
    t.pausedForPacing = false;
    curl_easy_pause(t.easy, CURLPAUSE_CONT);
  }
}

int NetworkThread::Impl::pollTimeoutMs() {
  if (wakeups.empty()) return 1000;
  auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(wakeups.begin()->first - std::chrono::steady_clock::now());
  return static_cast<int>(std::clamp<int64_t>(wait.count() + 1, 0, 1000));
}

// One round of the driver's work: tasks, paced uploads, libcurl's step, ended transfers and
// waiting ones admitted. The main thread stops short of anything that may run host code: a
// task posted as such, or a connection that a task of its own started.
NetworkThread::Impl::Round NetworkThread::Impl::round(bool asMain) {
  if (!drainTasks(asMain)) return Round::HostCode;
  if (asMain && hostCode.load(std::memory_order_relaxed) > 0) return Round::HostCode;
  resumeDueUploads();
  // A round that only ran tasks (the step after a reply ended, say) leaves libcurl alone
  // when no transfer is in its hands: it would have nothing to do.
  if (!active.empty()) {
    int running = 0;
    curl_multi_perform(multi, &running);
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi, &left))
      if (msg->msg == CURLMSG_DONE) finished(msg->easy_handle, msg->data.result);
    // What the callbacks just posted (an operation's step after its end, which hands its
    // reply on) runs in this round, in order, instead of after another look at the loop.
    if (!drainTasks(asMain)) return Round::HostCode;
  }
  return admitWaiting() ? Round::Again : Round::Done;
}

// Sleeps in curl_multi_poll unless a task came meanwhile; `extraFd` (if any) wakes it too.
// `parked` tells posters that a wake-up is needed: a busy driver looks for tasks before it
// sleeps and needs none. Whether `extraFd` became readable.
short NetworkThread::Impl::park(int extraFd, int timeoutMs) {
  parked.store(true, std::memory_order_seq_cst);
  short extra = 0;
  if (posted.load(std::memory_order_seq_cst) == drained) {
    curl_waitfd fds[2] = {{wakeFd, CURL_WAIT_POLLIN, 0}, {extraFd, CURL_WAIT_POLLIN, 0}};
    curl_waitfd* first = wakeFd < 0 ? fds + 1 : fds;
    unsigned count = (wakeFd < 0 ? 0u : 1u) + (extraFd < 0 ? 0u : 1u);
    // With a wake-up of our own, libcurl's (a socket pair it would poll as well) is not
    // needed: curl_multi_wait leaves it out.
    if (wakeFd < 0) curl_multi_poll(multi, count ? first : nullptr, count, timeoutMs, nullptr);
    else curl_multi_wait(multi, first, count, timeoutMs, nullptr);
    uint64_t n = 0;
    if (fds[0].revents && read(wakeFd, &n, sizeof n) < 0) {
    }  // non-blocking: nothing to read is fine
    extra = fds[1].revents;
  }
  parked.store(false, std::memory_order_relaxed);
  return extra;
}

// The network thread drives until nothing is left, or hands the role to the main thread
// waiting for it.
void NetworkThread::Impl::driveAsNetwork() {
  tlsDriving = true;
  for (;;) {
    if (round(false) == Round::Again) continue;
    {
      MutexLock lock(mutex);
      if (stopping) break;  // the role stays here for the clean-up
      bool work = hasTransfers() || !tasks.empty();
      if (!work || (mainWantsToDrive && hostCode.load(std::memory_order_relaxed) == 0)) {
        driver = Driver::None;
        workLeft = work;
        if (mainWantsToDrive) {
          uint64_t one = 1;
          if (write(handFd, &one, sizeof one) < 0) {
          }  // only EAGAIN at a counter near overflow: the main thread is woken anyway
        }
        break;
      }
    }
    park(-1, pollTimeoutMs());
  }
  tlsDriving = false;
}

void NetworkThread::Impl::run() {
  UniqueLock lock(mutex);
  auto lastDrove = std::chrono::steady_clock::now();
  uint64_t awaySince = 0;  // `mainLeft` when the main thread was first seen away, plus one
  bool handedOver = false;
  auto watch = std::chrono::milliseconds(kWatch);
  for (;;) {
    if (stopping) {
      // A main thread driving sees the stop and lets go; one that is away (it may be the
      // thread that exits) drives no more.
      if (driver != Driver::Main || !mainWaiting) break;
    } else {
      bool take = false;
      bool host = hostCode.load(std::memory_order_relaxed) > 0;
      if (driver == Driver::None) {
        // Just handed over: the main thread takes the role, unless it left meanwhile or host
        // code is to run.
        take = (workLeft || !tasks.empty()) && (!handedOver || host);
      } else if (driver == Driver::Main && !mainWaiting) {
        take = takeOver || host || awaySince == mainLeft + 1;
        if (!take && awaySince != mainLeft + 1) awaySince = mainLeft + 1;
        watch = kWatch;
      } else if (driver == Driver::Main) {
        awaySince = 0;
        watch = std::min<std::chrono::milliseconds>(watch * 2, kWatchSparsest);
      } else {
        watch = kWatch;
      }
      handedOver = false;
      if (take) {
        driver = Driver::Network;
        takeOver = false;
        awaySince = 0;
        lock.unlock();
        driveAsNetwork();
        lock.lock();
        lastDrove = std::chrono::steady_clock::now();
        handedOver = driver == Driver::None && workLeft;
        continue;
      }
    }
    if (driver == Driver::Main || handedOver || std::chrono::steady_clock::now() - lastDrove < kLinger || stopping) {
      sleep = Sleep::Watching;
      sleepCv.wait_for(lock, watch);
    } else {
      sleep = Sleep::Deep;
      sleepCv.wait(lock);
      lastDrove = std::chrono::steady_clock::now();
    }
    sleep = Sleep::Awake;
  }
  driver = Driver::Network;
  lock.unlock();
  endTransfers();
}

// At exit: transfers in flight end here without callbacks; dropping their callbacks too lets
// go of the operations those hold, which in turn hold the connections. Their handles stay in
// the multi handle, which is never cleaned up: taking one out shuts its TLS connection down,
// work that may take longer under load than exit waits, and that must not run once the TLS
// library's own exit-time clean-up has begun. A connection that outlives this (an operation
// still holds it) therefore no longer owns its handle.
void NetworkThread::Impl::endTransfers() {
  for (auto& [easy, c] : active) {
    Access::transfer(*c).easy = nullptr;
    Access::delegate(*c) = URLConnectionDelegate{};
  }
  for (auto& [key, host] : hosts)
    for (auto& c : host.waiting) Access::delegate(*c) = URLConnectionDelegate{};
  active.clear();
  hosts.clear();
  wakeups.clear();
  for (const Spare& spare : spareHandles) {
    curl_easy_cleanup(spare.easy);
    curl_slist_free_all(spare.headers);
  }
  spareHandles.clear();
  MutexLock lock(mutex);
  tasks.clear();
  stopped = true;
  stoppedCv.notify_all();
}

// The main thread's run loop has nothing ready: drive the transfers here while waiting, so
// that replies are read, parsed and answered on this thread without a hand-off.
bool NetworkThread::Impl::idleWait(RunLoop& loop, int loopFd, int64_t realNs) {
  using Clock = std::chrono::steady_clock;
  // A loop run from inside a connection callback: the drive below it holds the role.
  if (tlsDriving) return false;
  bool rouse = false;
  bool driving = false;
  {
    MutexLock lock(mutex);
    if (stopping) return false;
    if (hostCode.load(std::memory_order_relaxed) > 0) {
      // Host code is to run: the network thread drives, the loop waits as usual.
      if (driver == Driver::Main) handOverLocked();
      return false;
    }
    if (driver == Driver::None) {
      if (!workLeft && tasks.empty()) return false;  // nothing to drive: sleep as usual
      driver = Driver::Main;
      rouse = sleep == Sleep::Deep;  // it watches while the main thread drives (run, kWatch)
    } else if (driver == Driver::Network) {
      mainWantsToDrive = true;  // it lets go before it next sleeps
    }
    mainWaiting = true;
    // The role taken here needs no second look under the lock below.
    driving = driver == Driver::Main;
    if (driving) mainWantsToDrive = false;
  }
  if (rouse) sleepCv.notify_one();
  if (parked.load(std::memory_order_seq_cst)) wake();
  const auto deadline = realNs < 0 ? Clock::time_point::max() : Clock::now() + std::chrono::nanoseconds(realNs);
  // Milliseconds to the deadline, rounded up: 0 once it has passed.
  auto msLeft = [&] {
    if (deadline == Clock::time_point::max()) return 1000L;
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<long>(std::clamp<int64_t>(ms, 0, 1000));
  };
  for (;;) {
    if (!driving) {
      MutexLock lock(mutex);
      // With host code to run, the network thread keeps the role: wait as the loop does.
      if (stopping || hostCode.load(std::memory_order_relaxed) > 0) break;
      if (driver == Driver::None) driver = Driver::Main;
      driving = driver == Driver::Main;
      if (driving) mainWantsToDrive = false;
    }
    if (!driving) {
      // The network thread drives: wait until it lets go, a post comes or the time is up.
      pollfd fds[2] = {{loopFd, POLLIN, 0}, {handFd, POLLIN, 0}};
      long timeout = msLeft();
      if (timeout == 0) break;
      ::poll(fds, 2, static_cast<int>(timeout));
      uint64_t n = 0;
      if (fds[1].revents && read(handFd, &n, sizeof n) < 0) {
      }
      if (fds[0].revents) break;
      continue;
    }
    tlsDriving = true;
    Round step = round(true);
    tlsDriving = false;
    if (step == Round::Again) continue;
    if (step == Round::HostCode) {
      MutexLock lock(mutex);
      handOverLocked();
      break;
    }
    if (detail::loopReadyNow(loop)) break;
    {
      MutexLock lock(mutex);
      if (stopping || (!hasTransfers() && tasks.empty())) break;
      if (hostCode.load(std::memory_order_relaxed) > 0) {  // posted by a callback just run
        handOverLocked();
        break;
      }
    }
    long left = msLeft();
    if (left == 0) break;
    if (park(loopFd, static_cast<int>(std::min(static_cast<long>(pollTimeoutMs()), left)))) break;
  }
  MutexLock lock(mutex);
  mainWaiting = false;
  mainWantsToDrive = false;
  ++mainLeft;
  if (driver == Driver::Main && hostCode.load(std::memory_order_relaxed) > 0) {
    handOverLocked();
  } else if (driver == Driver::Main) {
    // Kept while transfers are in flight: the main thread is likely back at once.
    workLeft = hasTransfers() || !tasks.empty();
    if (!workLeft || stopping) driver = Driver::None;
  }
  if (stopping) sleepCv.notify_one();
  return true;
}

// The main thread lets go of the role at once, for host code the network thread must run;
// under `mutex`. Waking the network thread under the lock costs it one more wait for the lock,
// which is rare enough here.
void NetworkThread::Impl::handOverLocked() {
  driver = Driver::None;
  workLeft = true;
  sleepCv.notify_one();
}

// At exit, before static objects are destroyed and before the TLS library's clean-up: the
// loop ends (transfers in flight are dropped without callbacks) and later tasks are dropped.
// The object itself stays, so a worker thread still running after main returned may call
// perform() safely. The thread is waited for until it has ended, as the TLS library must not
// be torn down under a round of the loop; that round abandons its transfers at once (no TLS
// set-up or trust evaluation, no callbacks, no waiting transfer admitted: `abandoning`), so
// the wait is short. Only a loop stuck in a delegate callback for longer than kExitWait is
// left to the process's end. Exit called on the network thread itself (from a callback or a
// task it runs) waits for nothing: the round it came from never resumes, and the thread
// ends with the process.
void NetworkThread::Impl::stop() {
  UniqueLock lock(mutex);
  if (stopping) return;
  stopping = true;
  abandoning.store(true, std::memory_order_relaxed);
  if (std::this_thread::get_id() == thread.get_id()) return;
  // Exit called from a callback of the main thread's drive: that drive never resumes.
  if (tlsDriving && driver == Driver::Main) mainWaiting = false;
  wake();
  uint64_t one = 1;
  if (write(handFd, &one, sizeof one) < 0) {
  }
  sleepCv.notify_one();
  const auto deadline = std::chrono::steady_clock::now() + kExitWait;
  while (!stopped && stoppedCv.wait_until(lock, deadline) == std::cv_status::no_timeout) {
  }
  if (stopped) {
    lock.unlock();
    thread.join();
  } else {
    lock.unlock();
    thread.detach();
  }
}

NetworkThread::NetworkThread() : impl_(std::make_unique<Impl>()) {
  curl_global_init(CURL_GLOBAL_DEFAULT);
  impl_->multi = curl_multi_init();
  impl_->wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  impl_->handFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  // Transfers per host are limited before they reach libcurl (Impl::hosts).
  impl_->thread = std::thread([this] { impl_->run(); });
  if (impl_->handFd >= 0) detail::setMainIdleWaiter(impl_.get());
}

NetworkThread::~NetworkThread() = default;  // never runs: the shared thread is kept to the end

NetworkThread& NetworkThread::shared() {
  static NetworkThread* thread = [] {
    auto* t = new NetworkThread;
    // Exit handlers run in reverse order of registration: the TLS library registers its
    // clean-up when first initialised (at the latest here), so the stop registered after it
    // runs before it.
    OPENSSL_init_ssl(0, nullptr);
    std::atexit([] { NetworkThread::shared().impl().stop(); });
    return t;
  }();
  return *thread;
}

void NetworkThread::perform(std::function<void()> task, bool runsHostCode) {
  // The main thread drives what it posts when it next waits; a thread that never drives
  // must not leave its task to a main thread that is away. Host code goes to the network
  // thread whoever posts it.
  const bool toNetwork = runsHostCode || !RunLoop::isMainThread();
  bool wakeNetwork = false;
  {
    MutexLock lock(impl_->mutex);
    if (impl_->stopping) return;  // after exit began: the task would touch what is going
    if (runsHostCode) {
      impl_->hostCode.fetch_add(1, std::memory_order_relaxed);
      impl_->tasks.push_back([impl = impl_.get(), task = std::move(task)] {
        task();
        MutexLock lock(impl->mutex);
        impl->hostCode.fetch_sub(1, std::memory_order_relaxed);
      });
    } else {
      impl_->tasks.push_back(std::move(task));
    }
    using Driver = Impl::Driver;
    if (impl_->driver == Driver::None) {
      wakeNetwork = impl_->sleep == Impl::Sleep::Deep || (impl_->sleep == Impl::Sleep::Watching && toNetwork);
    } else if (impl_->driver == Driver::Main && !impl_->mainWaiting && toNetwork) {
      impl_->takeOver = true;
      wakeNetwork = true;
    }
  }
  if (wakeNetwork) impl_->sleepCv.notify_one();
  impl_->posted.fetch_add(1, std::memory_order_seq_cst);
  // The driver looks for tasks before it sleeps: only a sleeping one needs a wake-up.
  if (impl_->parked.load(std::memory_order_seq_cst)) impl_->wake();
}

bool NetworkThread::isCurrent() const { return tlsDriving; }

bool NetworkThread::isIdle() const { return isCurrent() && impl_->active.empty() && impl_->hosts.empty(); }

bool NetworkThread::drivesWhileWaiting() const { return tlsDriving && std::this_thread::get_id() != impl_->thread.get_id(); }

void NetworkThread::setThreadName(const char* name) { pthread_setname_np(impl_->thread.native_handle(), name); }


}  // namespace platform
