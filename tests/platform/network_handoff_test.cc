// The drive, handed by the network thread to the main thread waiting in its run loop, stays
// with it: the network thread, having let go, does not take it straight back.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "platform/run_loop.h"
#include "platform/testing.h"
#include "platform/url_connection.h"

namespace platform {
namespace {

// Work of the kit's own that keeps the driver busy: a task of a millisecond that posts itself
// again, run by whichever thread drives. Each time, another thread posts while the main thread
// is away (the network thread takes the drive over), then the main thread waits in its loop:
// the network thread hands the drive over after the task it runs. A main thread kept from
// taking it (a loaded machine) has it handed over again after the next task, and that task
// begins a while after the last: the network thread looks again only after a pause. One that
// took the drive straight back began its next task at once.
TEST(NetworkHandOff, TheWaitingMainThreadKeepsTheDriveItWasHanded) {
  using Clock = std::chrono::steady_clock;
  RunLoop::setMainThread();
  static std::atomic<bool> stop{false}, ended{false}, waiting{false};
  static std::atomic<int> onMain{0}, elsewhere{0}, atOnce{0};  // while the main thread waits
  static Clock::time_point lastEnded;                            // on the network thread
  stop = ended = false;
  onMain = elsewhere = atOnce = 0;
  static std::function<void()> tick = [] {
    const bool main = RunLoop::isMainThread();
    if (waiting) {
      ++(main ? onMain : elsewhere);
      if (!main && Clock::now() - lastEnded < std::chrono::microseconds(300)) ++atOnce;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (!main) lastEnded = Clock::now();
    if (stop) ended = true;
    else NetworkThread::shared().perform(tick);
  };
  auto postElsewhere = [](std::function<void()> task) { std::thread([&] { NetworkThread::shared().perform(task); }).join(); };
  postElsewhere(tick);
  for (int i = 0; i < 20; ++i) {
    postElsewhere([] {});
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    waiting = true;
    RunLoop::main()->runFor(0.02);
    waiting = false;
  }
  // None was seen under load; taken straight back, a third to nine tenths began so.
  EXPECT_LE(atOnce * 10, onMain + elsewhere) << onMain << " tasks on the main thread, " << elsewhere << " on the network thread";
  stop = true;
  EXPECT_TRUE(testing::pumpUntil([] { return ended.load(); }, 10));
}

}  // namespace
}  // namespace platform
