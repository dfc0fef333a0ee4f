// Test helpers for code built on the runtime. Call them from the main thread (the thread
// that called `RunLoop::setMainThread()`). `advance` and `settle` are the simulator's
// (platform/simulator.h), which steps the manual clock for tests and the simulated world alike.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>

#include "platform/clock.h"
#include "platform/simulator.h"

namespace platform::testing {

// Switch clocks between tests; cancel or invalidate what a test scheduled before it ends,
// or its blocks fire later under the other clock.
void useManualClock(WallTime start = {1767225600, 0}, int minutesWest = 0);
void useRealClock();

using simulator::advance;
using simulator::settle;
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
