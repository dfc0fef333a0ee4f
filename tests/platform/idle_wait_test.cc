// The main run loop may let an idle waiter stand in for its own sleep (URL loading drives its
// transfers there). Every way of waking the loop from another thread must end that wait: a
// post, a timer, a stop, a manual clock step; a waiter that declines leaves the loop to sleep
// as before.
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/clock.h"
#include "platform/run_loop.h"
#include "platform/testing.h"

namespace platform {
namespace {

// Sleeps on the loop's wake-up alone, long enough that a missed wake-up shows.
struct PollingWaiter {
  std::atomic<bool> armed{false};
  std::atomic<int> waits{0};
};

PollingWaiter& waiter() {
  static auto* w = [] {
    auto* made = new PollingWaiter;  // the process keeps it, as URL loading keeps its own
    testing::setMainIdleWait([made](int wakeFd, int64_t realNs) {
      if (!made->armed) return false;
      ++made->waits;
      pollfd p{wakeFd, POLLIN, 0};
      ::poll(&p, 1, realNs < 0 ? 8000 : static_cast<int>(realNs / 1000000) + 1);
      return true;
    });
    return made;
  }();
  return *w;
}

TEST(IdleWait, EveryWakeUpFromAnotherThreadEndsTheWait) {
  RunLoop::setMainThread();
  auto main = RunLoop::main();
  enum class Wake { Post, Timer, Stop, ClockStep };
  struct Case { const char* name; Wake wake; bool manual; bool armed; } cases[] = {
      {"post", Wake::Post, false, true},
      {"timer due at once", Wake::Timer, false, true},
      {"stop", Wake::Stop, false, true},
      {"manual clock step past the run's end", Wake::ClockStep, true, true},
      {"post, waiter declines", Wake::Post, false, false},
  };
  for (const auto& c : cases) {
    if (c.manual) Clock::setManual({1767225600, 0});
    waiter().armed = c.armed;
    int waitsBefore = waiter().waits;
    std::atomic<bool> fired{false};
    std::thread other([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      switch (c.wake) {
        case Wake::Post: main->perform([&] { fired = true; }); break;
        case Wake::Timer: main->scheduleTimer(0, false, [&] { fired = true; }); break;
        case Wake::Stop: main->stop(); fired = true; break;
        case Wake::ClockStep: Clock::step(std::chrono::seconds(2)); fired = true; break;
      }
    });
    auto began = std::chrono::steady_clock::now();
    if (c.wake == Wake::Stop || c.wake == Wake::ClockStep) main->runFor(1.0);
    else main->runUntil([&] { return fired.load(); }, 6.0);
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - began;
    other.join();
    EXPECT_TRUE(fired) << c.name;
    // A missed wake-up would hold the loop until the waiter's own time-out (seconds).
    EXPECT_LT(took.count(), 0.9) << c.name;
    if (c.armed) {
      EXPECT_GT(waiter().waits, waitsBefore) << c.name;
    }
    else EXPECT_EQ(waiter().waits, waitsBefore) << c.name;
    waiter().armed = false;
    if (c.manual) Clock::setReal();
  }
}

}  // namespace
}  // namespace platform
