// Run loops, queues and timers: ordering, the manual clock, the thread each block runs on.
#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/run_loop.h"
#include "platform/testing.h"

namespace platform {
namespace {

namespace pt = platform::testing;

class Runtime : public ::testing::Test {
 protected:
  void SetUp() override {
    RunLoop::setMainThread();
    pt::useManualClock();
    start_ = Clock::steadyNow();
  }
  void TearDown() override {
    pt::settle();
    pt::useRealClock();
  }
  // Milliseconds of manual time since the test began.
  int64_t ms() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::steadyNow() - start_)
        .count();
  }
  void log(const std::string& what) {
    std::lock_guard lk(mutex_);
    events_.push_back(what + "@" + std::to_string(ms()));
  }
  std::vector<std::string> events() {
    std::lock_guard lk(mutex_);
    return events_;
  }
  Clock::Duration start_;
  std::mutex mutex_;
  std::vector<std::string> events_;
};

TEST_F(Runtime, BlocksRunInPostingOrderOnTheirQueue) {
  auto serial = dispatch::serialQueue("test.serial");
  std::atomic<int> active{0};
  std::vector<int> mainOrder, serialOrder;
  bool overlap = false;
  for (int i = 0; i < 200; ++i) {
    dispatch::mainQueue()->async([&, i] {
      EXPECT_TRUE(RunLoop::isMainThread());
      mainOrder.push_back(i);
    });
    serial->async([&, i] {
      if (active.fetch_add(1) != 0) overlap = true;
      EXPECT_TRUE(serial->isCurrent());
      EXPECT_FALSE(RunLoop::isMainThread());
      serialOrder.push_back(i);
      std::this_thread::yield();
      active.fetch_sub(1);
    });
  }
  pt::settle();
  std::vector<int> want(200);
  for (int i = 0; i < 200; ++i) want[i] = i;
  EXPECT_EQ(mainOrder, want);
  EXPECT_EQ(serialOrder, want);
  EXPECT_FALSE(overlap);
}

TEST_F(Runtime, TimersFireAtTheirDueTimesInOrder) {
  auto serial = dispatch::serialQueue("test.timers");
  auto loop = RunLoop::main();
  auto repeating = loop->scheduleTimer(0.3, true, [&] { log("rep"); });
  auto oneShot = loop->scheduleTimer(0.5, false, [&] { log("once"); });
  auto dropped = loop->scheduleTimer(0.2, false, [&] { log("never"); });
  dropped->invalidate();
  dispatch::after(0.45, dispatch::mainQueue(), [&] { log("after-main"); });
  dispatch::after(0.25, serial, [&] {
    EXPECT_TRUE(serial->isCurrent());
    log("after-serial");
  });
  auto dt = DispatchTimer::create(serial, 0.4, 0.01, [&] { log("dtimer"); });
  dt->resume();
  std::shared_ptr<Timer> stopper;
  stopper = loop->scheduleTimer(1.0, false, [&] { repeating->invalidate(); });
  for (int i = 0; i < 13; ++i) pt::advance(0.1);
  dt->cancel();
  pt::advance(1.0);
  EXPECT_EQ(events(), (std::vector<std::string>{"after-serial@250", "rep@300", "dtimer@400",
                                                "after-main@450", "once@500", "rep@600",
                                                "dtimer@800", "rep@900", "dtimer@1200"}));
  EXPECT_FALSE(oneShot->isValid());
  EXPECT_FALSE(repeating->isValid());
}

TEST_F(Runtime, LongJumpsFireEveryDueTimeInOrder) {
  auto serial = dispatch::serialQueue("test.jump");
  int ticks = 0;
  std::vector<int64_t> slow;
  auto tick = RunLoop::main()->scheduleTimer(0.1, true, [&] { ++ticks; });
  auto dt = DispatchTimer::create(serial, 60, 0, [&] { slow.push_back(ms()); });
  dt->resume();
  pt::advance(300.0);
  EXPECT_EQ(ticks, 3000);
  EXPECT_EQ(slow, (std::vector<int64_t>{60000, 120000, 180000, 240000, 300000}));
  tick->invalidate();
}

TEST_F(Runtime, SyncOntoMainRunsInlineOnMainAndWaitsFromAWorker) {
  bool inlineRan = false;
  dispatch::mainQueue()->sync([&] { inlineRan = RunLoop::isMainThread(); });
  EXPECT_TRUE(inlineRan);

  std::atomic<bool> done{false};
  std::thread::id ranOn;
  dispatch::globalQueue()->async([&] {
    dispatch::mainQueue()->sync([&] { ranOn = std::this_thread::get_id(); });
    done = true;
  });
  ASSERT_TRUE(pt::pumpUntil([&] { return done.load(); }));
  EXPECT_EQ(ranOn, std::this_thread::get_id());
}

TEST_F(Runtime, DispatchTimerIsNeverReenteredAndCoalescesMissedFirings) {
  std::mutex gate;
  std::atomic<int> active{0}, runs{0};
  std::atomic<bool> overlap{false};
  std::unique_lock hold(gate);
  auto dt = DispatchTimer::create(dispatch::globalQueue(), 0.1, 0, [&] {
    if (active.fetch_add(1) != 0) overlap = true;
    std::lock_guard wait(gate);  // the first run blocks here, far longer than its period
    ++runs;
    active.fetch_sub(1);
  });
  dt->resume();
  Clock::step(std::chrono::milliseconds(100));
  while (active.load() == 0) std::this_thread::yield();
  for (int i = 0; i < 5; ++i) Clock::step(std::chrono::milliseconds(100));
  hold.unlock();
  pt::settle();
  EXPECT_EQ(runs.load(), 1);
  pt::advance(0.1);  // the missed firings collapse into the next period boundary
  EXPECT_EQ(runs.load(), 2);
  EXPECT_FALSE(overlap.load());
  dt->cancel();
}

TEST_F(Runtime, OnceRunsOnceUnderContention) {
  dispatch::OnceToken token;
  std::atomic<int> calls{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i)
    threads.emplace_back([&] { dispatch::once(token, [&] { ++calls; }); });
  for (auto& t : threads) t.join();
  EXPECT_EQ(calls.load(), 1);
}

TEST_F(Runtime, WorkerLoopFiresTimersOnlyWhileItRunsAndStopsOnRequest) {
  std::shared_ptr<RunLoop> loop;
  std::atomic<int> fired{0};
  std::atomic<bool> ready{false}, running{false};
  std::thread::id timerThread, workerThread;
  std::thread worker([&] {
    workerThread = std::this_thread::get_id();
    loop = RunLoop::current();
    auto t = Timer::scheduledTimerWithTimeInterval(0.5, true, [&] {
      timerThread = std::this_thread::get_id();
      ++fired;
    });
    ready = true;
    while (!running.load()) std::this_thread::yield();
    loop->run();
    t->invalidate();
  });
  while (!ready.load()) std::this_thread::yield();
  Clock::step(std::chrono::seconds(1));  // due, but the loop is not running yet
  EXPECT_EQ(fired.load(), 0);
  running = true;
  while (!loop->isRunning()) std::this_thread::yield();
  pt::settle();
  EXPECT_EQ(fired.load(), 1);  // the missed firings are skipped
  pt::advance(1.0);
  EXPECT_EQ(fired.load(), 3);
  loop->stop();
  worker.join();
  EXPECT_EQ(timerThread, workerThread);
}

// A host's block or predicate that throws ends the run call under way, and the exception
// reaches the host. The loop must then count as not running: a stop() made afterwards, or one
// the block made before it threw, must not end the next run before its work.
TEST_F(Runtime, AThrowFromHostCodeEndsOnlyTheRunCallItCameFrom) {
  auto loop = RunLoop::main();
  struct Thrown {};
  using Throwing = std::function<void()>;
  struct Case {
    const char* name;
    std::function<void(const Throwing&)> runWith;
  } cases[] = {
      {"run, posted block", [&](const Throwing& b) { loop->perform(b); loop->run(); }},
      {"runFor, timer", [&](const Throwing& b) { auto t = loop->scheduleTimer(0, false, b); loop->runFor(1); }},
      {"runUntil, predicate", [&](const Throwing& b) { loop->runUntil([&] { b(); return false; }, 1); }},
      {"runPending, posted block", [&](const Throwing& b) { loop->perform(b); loop->runPending(); }},
      {"runPending inside a block of run", [&](const Throwing& b) {
         loop->perform([&] { loop->perform(b); loop->runPending(); });
         loop->run();
       }},
  };
  for (const auto& c : cases) {
    for (bool stopsFirst : {false, true}) {
      const std::string row = std::string(c.name) + (stopsFirst ? ", stopped before the throw" : "");
      EXPECT_THROW(c.runWith([&] {
        if (stopsFirst) loop->stop();
        throw Thrown{};
      }),
                   Thrown)
          << row;
      EXPECT_FALSE(loop->isRunning()) << row;
      loop->stop();  // not running: ignored
      bool fired = false;
      auto t = loop->scheduleTimer(0, false, [&] {
        fired = true;
        loop->stop();
      });
      EXPECT_TRUE(loop->runFor(0.5)) << row;
      EXPECT_TRUE(fired) << row << ": the next run ended before its due timer";
      t->invalidate();
    }
  }
}

TEST(Clock, ManualTimeMovesWallAndSteadyTogether) {
  Clock::setManual({1767225600, 250000}, 120);
  auto steady = Clock::steadyNow();
  Clock::step(std::chrono::microseconds(1500000));
  Clock::step(std::chrono::seconds(-5));  // never backwards
  EXPECT_EQ(Clock::now(), (WallTime{1767225601, 750000}));
  EXPECT_EQ(Clock::steadyNow() - steady, std::chrono::microseconds(1500000));
  EXPECT_EQ(Clock::minutesWest(), 120);
  struct Case {
    CalendarFields got;
    int year, month, day, hour, weekday;
  } cases[] = {
      {Clock::utcFields(Clock::now().seconds), 2026, 1, 1, 0, 4},
      {Clock::localFields(Clock::now().seconds), 2025, 12, 31, 22, 3},
      {Clock::utcFields(951782400), 2000, 2, 29, 0, 2},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.got.year, c.year);
    EXPECT_EQ(c.got.month, c.month);
    EXPECT_EQ(c.got.day, c.day);
    EXPECT_EQ(c.got.hour, c.hour);
    EXPECT_EQ(c.got.weekday, c.weekday);
  }
  Clock::setReal();
  EXPECT_NEAR(Clock::nowSeconds(), double(std::time(nullptr)), 2);
  // The real clock's local fields are the system's, three hours west here.
  const char* tz = std::getenv("TZ");
  const std::string before = tz ? tz : "";
  setenv("TZ", "UTC+3", 1);
  tzset();
  EXPECT_EQ(Clock::minutesWest(), 180);
  const CalendarFields local = Clock::localFields(951782400);
  EXPECT_EQ(local.day, 28);
  EXPECT_EQ(local.hour, 21);
  if (tz) {
    setenv("TZ", before.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

TEST(RealClock, RunUntilAndGroupsWorkInRealTime) {
  RunLoop::setMainThread();
  auto group = Group::create();
  std::atomic<int> done{0};
  for (int i = 0; i < 4; ++i) group->async(dispatch::globalQueue(), [&] { ++done; });
  bool notified = false;
  group->notify(dispatch::mainQueue(), [&] { notified = true; });
  EXPECT_TRUE(group->wait(10));
  EXPECT_TRUE(RunLoop::main()->runUntil([&] { return notified; }, 10));
  EXPECT_EQ(done.load(), 4);
  bool fired = false;
  dispatch::after(0.01, dispatch::mainQueue(), [&] { fired = true; });
  EXPECT_TRUE(RunLoop::main()->runUntil([&] { return fired; }, 10));
}

}  // namespace
}  // namespace platform
