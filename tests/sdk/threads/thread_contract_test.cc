// Calls whose header names the thread or queue they belong to stop the process, in every
// build but Release, when a host or a platform service makes them elsewhere: the facade's
// set-up calls, the Bluetooth state's and the push actions' main-thread work, and the fast
// scan's advertisements, which belong to the central's own queue.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <functional>
#include <memory>
#include <thread>

#include "MCBeaconManager/mc_beacon_manager.h"
#include "MCPushManager/mc_push_manager.h"
#include "MainSDK/marvisto_core.h"
#include "MainSDK/mc_bluetooth_state_manager.h"
#include "platform/dispatch.h"
#include "platform/run_loop.h"
#include "platform/testing.h"
#include "sdk/coordinator_scene.h"

namespace {

constexpr const char* kServer = "http://127.0.0.1:1";  // nothing listens: no traffic leaves

void OnWorker(const std::function<void()>& call) { std::thread(call).join(); }

std::shared_ptr<MarvistoCore> Facade() {
  return MarvistoCore::initWithUserHash("hash", kServer, sdk_test::FreshManagers());
}

// A facade made on the main thread; `call` then runs on a worker (or here).
void WithFacade(bool worker, const std::function<void(MarvistoCore&)>& call) {
  auto core = Facade();
  if (worker) OnWorker([&] { call(*core); });
  else call(*core);
}

void Advertise(bool onItsQueue) {
  auto beacons = MCBeaconManager::init();
  const auto call = [&] { beacons->centralManager(platform::Peripheral{}, {}, -60); };
  if (onItsQueue) platform::dispatch::sync(beacons->centralManager()->queue(), call);
  else call();
}

TEST(ThreadContractTest, CallsOffTheirThreadOrQueueStopTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  platform::testing::ScopedHome home;
  platform::RunLoop::setMainThread();
  struct Case {
    const char* name;
    std::function<void()> call;
    const char* stop;  // what the process says as it stops; null: it carries on
  } cases[] = {
      {"facade made on the main thread", [] { Facade(); }, nullptr},
      {"facade made on a worker", [] { OnWorker([] { Facade(); }); }, "main thread only"},
      {"server set on the main thread", [] { WithFacade(false, [](MarvistoCore& c) { c.setServer(kServer + std::string("/b")); }); },
       nullptr},
      {"server set from a worker", [] { WithFacade(true, [](MarvistoCore& c) { c.setServer(kServer + std::string("/b")); }); },
       "main thread only"},
      {"download started from a worker",
       [] { WithFacade(true, [](MarvistoCore& c) { c.downloadLocationById(1, false, {}, {}, {}); }); },
       "main thread only"},
      {"Bluetooth state taken on a worker",
       [] {
         auto state = MCBluetoothStateManager::init();
         OnWorker([&] { state->centralManagerDidUpdateState(*state->centralManager()); });
       },
       "main thread only"},
      {"ranging matched to push actions on a worker",
       [] {
         auto push = std::make_shared<MCPushManager>();
         OnWorker([&] { push->checkBeacons({}); });
       },
       "main thread only"},
      {"advertisement on the central's queue", [] { Advertise(true); }, nullptr},
      {"advertisement off it", [] { Advertise(false); }, "not on queue"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    if (k.stop) {
      EXPECT_EXIT(k.call(), testing::KilledBySignal(SIGABRT), k.stop);
    } else {
      EXPECT_EXIT({ k.call(); std::_Exit(0); }, testing::ExitedWithCode(0), "");
    }
  }
}

}  // namespace
