// The combined Bluetooth state driven by scripted radio and authorisation
// changes: which callbacks report, what they report, and that every report
// reaches the delegate on the main queue.
#include "MainSDK/mc_bluetooth_state_manager.h"

#include <gtest/gtest.h>

#include "platform/dispatch.h"
#include "platform/run_loop.h"
#include "platform/testing.h"

namespace {

struct Step {
  char what;  // 'r' radio state, 'a' authorisation status
  int64_t value;
  std::vector<int64_t> reports;  // expected, in order
};

void RunScript(int64_t radio, int32_t auth, const std::vector<int64_t>& initial,
               const std::vector<Step>& script) {
  platform::RunLoop::setMainThread();
  platform::bluetooth::setRadioState(radio);
  platform::location::setAuthorizationStatus(auth);
  auto manager = MCBluetoothStateManager::init();
  std::vector<int64_t> got;
  int offMain = 0;
  auto delegate = std::make_shared<MCBluetoothStateManagerDelegate>();
  delegate->bluetoothStateManager = [&](MCBluetoothStateManager& m, int64_t state) {
    offMain += !platform::RunLoop::isMainThread() || !platform::dispatch::mainQueue()->isCurrent();
    EXPECT_EQ(&m, manager.get());
    got.push_back(state);
  };
  manager->setDelegate(delegate);
  platform::testing::settle();
  EXPECT_EQ(got, initial);
  for (const Step& s : script) {
    got.clear();
    if (s.what == 'r') {
      platform::bluetooth::setRadioState(s.value);
    } else {
      platform::location::setAuthorizationStatus(static_cast<int32_t>(s.value));
    }
    platform::testing::settle();
    EXPECT_EQ(got, s.reports) << s.what << " " << s.value;
    if (!got.empty()) {
      EXPECT_EQ(manager->marvistoBluetoothState(), got.back());
    }
  }
  EXPECT_EQ(offMain, 0);
}

TEST(MCBluetoothStateManagerTest, RadioOnAtStart) {
  RunScript(5, 3, {7},  // no report from the radio: the first comes from authorisation
            {{'a', 3, {7}},  // the same status again still reports
             {'r', 4, {1}},
             {'a', 4, {}},   // ignored while the radio is off
             {'r', 5, {7}},  // the location part last seen while on
             {'r', 1, {}},   // resetting keeps the last value
             {'a', 2, {}},   // and is not powered on
             {'r', 5, {7}},
             {'a', 2, {4}},
             {'a', 9, {}},
             {'a', 0, {5}},
             {'a', 1, {6}},
             {'a', 4, {8}},
             {'r', 7, {}},
             {'r', 0, {0}},
             {'r', 2, {2}},
             {'r', 3, {3}},
             {'a', 3, {}},
             {'r', 5, {8}}});
}

TEST(MCBluetoothStateManagerTest, RadioOffAtStart) {
  RunScript(4, 0, {1},
            {{'r', 4, {1}},
             {'r', 5, {5}},  // no report of its own: the new location manager's first one
             {'a', 3, {7}}});
}

}  // namespace
