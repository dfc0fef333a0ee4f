#include "platform/clock.h"

#include <sys/time.h>

#include <ctime>

#include "platform/mutex.h"
#include "platform/runtime_internal.h"

namespace platform {
namespace {

struct ClockState {
  Mutex mutex;
  bool manual GUARDED_BY(mutex) = false;
  int64_t wallNs GUARDED_BY(mutex) = 0;     // manual wall time, nanoseconds since 1970
  int64_t steadyNs GUARDED_BY(mutex) = 0;   // manual steady time
  int minutesWest GUARDED_BY(mutex) = 0;
};

ClockState& state() {
  static ClockState* s = new ClockState;  // outlives every thread that may read it
  return *s;
}

int64_t realSteadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

CalendarFields fromTm(const std::tm& t) {
  return {t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min,
          t.tm_sec,         t.tm_wday,    t.tm_yday};
}

}  // namespace

WallTime Clock::now() {
  auto& s = state();
  {
    MutexLock lk(s.mutex);
    if (s.manual) return {s.wallNs / 1000000000, int32_t(s.wallNs % 1000000000 / 1000)};
  }
  timeval tv{};
  gettimeofday(&tv, nullptr);
  return {int64_t(tv.tv_sec), int32_t(tv.tv_usec)};
}

double Clock::nowSeconds() { return now().toSeconds(); }

int Clock::minutesWest() {
  auto& s = state();
  {
    MutexLock lk(s.mutex);
    if (s.manual) return s.minutesWest;
  }
  std::time_t t = std::time(nullptr);
  std::tm local{};
  localtime_r(&t, &local);
  return int(-local.tm_gmtoff / 60);
}

Clock::Duration Clock::steadyNow() { return Duration(detail::nowNs()); }

CalendarFields Clock::utcFields(int64_t seconds) {
  std::time_t t = std::time_t(seconds);
  std::tm tm{};
  gmtime_r(&t, &tm);
  return fromTm(tm);
}

CalendarFields Clock::localFields(int64_t seconds) {
  if (isManual()) return utcFields(seconds - int64_t(minutesWest()) * 60);
  std::time_t t = std::time_t(seconds);
  std::tm tm{};
  localtime_r(&t, &tm);
  return fromTm(tm);
}

void Clock::setManual(WallTime start, int minutesWest) {
  auto& s = state();
  MutexLock lk(s.mutex);
  if (!s.manual) s.steadyNs = realSteadyNs();
  s.manual = true;
  s.wallNs = start.seconds * 1000000000 + int64_t(start.microseconds) * 1000;
  s.minutesWest = minutesWest;
}

void Clock::setReal() {
  {
    auto& s = state();
    MutexLock lk(s.mutex);
    s.manual = false;
  }
  detail::clockStepped();  // waiters switch to real deadlines
}

bool Clock::isManual() {
  auto& s = state();
  MutexLock lk(s.mutex);
  return s.manual;
}

void Clock::setMinutesWest(int minutesWest) {
  auto& s = state();
  MutexLock lk(s.mutex);
  s.minutesWest = minutesWest;
}

void Clock::step(Duration d) {
  if (d.count() < 0) return;
  {
    auto& s = state();
    MutexLock lk(s.mutex);
    if (!s.manual) return;
    s.steadyNs += d.count();
    s.wallNs += d.count();
  }
  detail::clockStepped();
}

void Clock::stepTo(Duration steady) {
  int64_t delta;
  {
    auto& s = state();
    MutexLock lk(s.mutex);
    delta = steady.count() - s.steadyNs;
  }
  step(Duration(delta));
}

namespace detail {

int64_t nowNs() {
  auto& s = state();
  {
    MutexLock lk(s.mutex);
    if (s.manual) return s.steadyNs;
  }
  return realSteadyNs();
}

int64_t secondsToNs(double seconds) {
  if (!(seconds > 0)) return 0;
  if (seconds > 1e9) return int64_t(1e18);
  return int64_t(seconds * 1e9 + 0.5);
}

void waitUntil(UniqueLock& lock, CondVar& cv, int64_t deadline) {
  if (deadline == kNever || Clock::isManual()) {
    cv.wait(lock);
    return;
  }
  cv.wait_until(lock, std::chrono::steady_clock::time_point(std::chrono::nanoseconds(deadline)));
}

}  // namespace detail
}  // namespace platform
