// The zone report's 30-second throttle keeps its time in memory and writes
// the store only when a report goes out.
#include <gtest/gtest.h>

#include "MCPushManager/mc_push_manager.h"
#include "Navigation/mc_navigation_manager.h"
#include "platform/run_loop.h"
#include "platform/testing.h"
#include "platform/user_defaults.h"
#include "sdk/sdk_scene.h"

namespace {

namespace pt = platform::testing;

class CountingPush : public MCPushManager {
 public:
  void loadPushesByXML(const std::string&, const std::string&, const std::string&) override {
    times.push_back(platform::Clock::nowSeconds());
  }
  std::vector<double> times;
};

TEST(ZoneReportTest, ThrottleKeepsItsTimeInMemoryAndStoresItWhenItReports) {
  const auto& s = sdk_test::SharedScene();
  std::vector<WScanMessage> messages;
  bool ok = true;
  for (size_t i = 0; i < s.walk.ticks.size(); ++i)
    messages.push_back(WScanMessage::parse(venuesim::WalkMessageText(s.walk, i), &ok));
  ASSERT_TRUE(ok);
  // What another part of the app does to the store 10 s into the run.
  struct Case {
    const char* name;
    std::function<void(platform::UserDefaults&)> meddle;
  } cases[] = {
      {"left alone", [](platform::UserDefaults&) {}},
      {"key removed", [](platform::UserDefaults& d) { d.removeObjectForKey("localTime"); }},
      {"key set long ago", [](platform::UserDefaults& d) { d.setObject(1000.0, "localTime"); }},
  };
  for (const Case& k : cases) {
    pt::ScopedHome home;
    platform::RunLoop::setMainThread();
    pt::useManualClock({1767268800, 0});
    auto push = std::make_shared<CountingPush>();
    MCNavigationManager manager(push);
    manager.createNavigationClient(s.map, "report", "SimPhone", nullptr);
    const double start = platform::Clock::nowSeconds();
    int successes = 0;
    for (int i = 0; i < 350; ++i) {  // 35 s of ticks
      if (i == 100) k.meddle(*platform::UserDefaults::standardUserDefaults());
      WScanMessage m = messages[size_t(i) % messages.size()];
      successes += manager.navigate(m) == 0;
      pt::advance(0.1);
    }
    ASSERT_GT(successes, 300) << k.name;
    // One report, the first tick strictly more than 30 s after the manager began.
    ASSERT_EQ(push->times.size(), 1u) << k.name;
    EXPECT_GT(push->times[0] - start, 30.0) << k.name;
    EXPECT_LT(push->times[0] - start, 30.25) << k.name;
    EXPECT_EQ(platform::UserDefaults::standardUserDefaults()->doubleForKey("localTime"), push->times[0])
        << k.name;
    manager.cleanClient();
    pt::useRealClock();
  }
}

}  // namespace
