// Test helpers for code built on the runtime. Call them from the main thread (the thread
// that called `RunLoop::setMainThread()`).
//
// Under the manual clock, `advance(d)` moves time forward to each due time of every run-loop
// timer, dispatch timer and `after` block in turn (in due-time order), and at each one pumps
// the main run loop and waits until the worker queues and other running loops are idle, so
// everything that became due has fired, deterministically, before it returns.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>

#include "platform/clock.h"

namespace platform::testing {

// Switch clocks between tests; cancel or invalidate what a test scheduled before it ends,
// or its blocks fire later under the other clock.
void useManualClock(WallTime start = {1767225600, 0}, int minutesWest = 0);
void useRealClock();

void advance(Clock::Duration d);
void advance(double seconds);
// Pumps the main run loop until it and the workers are idle at the current time.
void settle();
// Pumps the main run loop until `pred()` holds or `realSeconds` of real time passed.
bool pumpUntil(const std::function<bool()>& pred, double realSeconds = 10);
// Lets `wait` stand in for the main run loop's sleep when it has nothing ready, as URL
// loading does: it gets the loop's wake-up descriptor (not to be read) and a real-time cap in
// nanoseconds (< 0: none), and returns false to let the loop sleep as usual. Kept for the
// life of the process; set it once.
void setMainIdleWait(std::function<bool(int wakeFd, int64_t realNs)> wait);

// A fresh temporary app home for the life of the object (set as the home, removed after).
class ScopedHome {
 public:
  ScopedHome();
  ~ScopedHome();
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace platform::testing
