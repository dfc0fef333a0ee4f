// The thread checks stop the process in the optimised builds the tests run (NDEBUG set): a
// map view fed from a worker thread, or a queue's work run off its queue, is caught at the
// call instead of racing the owner.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <functional>
#include <thread>

#include "mapview/mc_map_view_manager.h"
#include "platform/dispatch.h"
#include "platform/main_thread.h"
#include "platform/run_loop.h"

namespace {

void OnlyOnQueue(platform::Queue& queue) { PLATFORM_ON_QUEUE(queue); }

void LoadFloorOn(bool worker) {
  platform::RunLoop::setMainThread();
  MCMapViewManager manager;
  MCSublocation floor;
  if (!worker) return manager.loadSublocationImage(floor);
  std::thread([&] { manager.loadSublocationImage(floor); }).join();
}

void RunOnQueue(bool onQueue) {
  const platform::QueuePtr queue = platform::dispatch::serialQueue("checked");
  if (onQueue) queue->sync([&] { OnlyOnQueue(*queue); });
  else OnlyOnQueue(*queue);
}

TEST(ThreadCheckTest, CallsOffTheirThreadOrQueueStopTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  struct Case {
    const char* name;
    std::function<void()> call;
    const char* stop;  // what the process says as it stops; null: it carries on
  } cases[] = {
      {"map view on the main thread", [] { LoadFloorOn(false); }, nullptr},
      {"map view on a worker", [] { LoadFloorOn(true); }, "main thread only"},
      {"block on its queue", [] { RunOnQueue(true); }, nullptr},
      {"same call off the queue", [] { RunOnQueue(false); }, "not on queue"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    if (k.stop) {
      EXPECT_EXIT(k.call(), testing::KilledBySignal(SIGABRT), k.stop);
    } else {
      EXPECT_EXIT({ k.call(); std::exit(0); }, testing::ExitedWithCode(0), "");
    }
  }
}

}  // namespace
