// Reachability from a scripted interface list, polled on the main run loop under the
// manual clock; the status text and the flags-to-status rules.
#include <mutex>

#include "networking/client/client_support.h"
#include "networking/reachability_manager.h"
#include "platform/notification_center.h"

TEST(Reachability, FlagsAndTexts) {
  using namespace platform;
  struct Case { uint32_t flags; int64_t status; } cases[] = {
      {ReachabilityFlagReachable | ReachabilityFlagConnectionRequired | ReachabilityFlagConnectionOnDemand | ReachabilityFlagInterventionRequired, 0},
      {ReachabilityFlagReachable | ReachabilityFlagConnectionRequired | ReachabilityFlagConnectionOnTraffic, 2},
      {ReachabilityFlagReachable | ReachabilityFlagIsWWAN, 1},
      {ReachabilityFlagReachable, 2},
      {ReachabilityFlagIsWWAN, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(MCNetworkReachabilityStatusForFlags(c.flags), c.status) << c.flags;
  const char* texts[] = {"Unknown", "Not Reachable", "Reachable via WWAN", "Reachable via WiFi", "Unknown"};
  for (int64_t s = -1; s <= 3; ++s) EXPECT_EQ(MCStringFromNetworkReachabilityStatus(s), texts[s + 1]);
  auto shared = MCNetworkReachabilityManager::sharedManager();
  EXPECT_EQ(shared->networkReachabilityStatus(), -1);
  EXPECT_FALSE(shared->isReachable());
  EXPECT_EQ(shared->localizedNetworkReachabilityStatusString(), "Unknown");
}

TEST(Reachability, ChangesArriveOnTheMainRunLoop) {
  platform::testing::useManualClock();
  std::mutex mutex;
  std::vector<platform::NetworkInterface> interfaces = {{"lo", true, true, true, true}, {"wlan0", true, true, false, true}};
  auto source = [&] {
    std::lock_guard<std::mutex> lock(mutex);
    return interfaces;
  };
  auto setInterfaces = [&](std::vector<platform::NetworkInterface> list) {
    std::lock_guard<std::mutex> lock(mutex);
    interfaces = std::move(list);
  };
  for (bool hostName : {false, true}) {
    auto reachability = hostName ? platform::Reachability::withName("example.org", source)
                                 : platform::Reachability::withAddress("0.0.0.0", source);
    auto manager = MCNetworkReachabilityManager::initWithReachability(reachability);
    std::vector<int64_t> seen, notified;
    bool onMain = true;
    manager->setReachabilityStatusChangeBlock([&](int64_t s) {
      seen.push_back(s);
      onMain &= platform::RunLoop::isMainThread();
    });
    auto token = platform::NotificationCenter::defaultCenter()->addObserverForName(
        MCNetworkingReachabilityDidChangeNotification, nullptr, nullptr, [&](const platform::Notification& n) {
          notified.push_back(std::any_cast<int64_t>(n.userInfo.at(MCNetworkingReachabilityNotificationStatusItem)));
        });
    setInterfaces({{"lo", true, true, true, true}, {"wlan0", true, true, false, true}});
    manager->startMonitoring();
    platform::testing::settle();
    // An address is read at once; a host name waits for the first change report.
    EXPECT_EQ(manager->networkReachabilityStatus(), hostName ? -1 : 2);
    platform::testing::advance(1.0);
    EXPECT_EQ(manager->networkReachabilityStatus(), 2);
    setInterfaces({{"lo", true, true, true, true}, {"wwan0", true, true, false, true}});
    platform::testing::advance(1.0);
    EXPECT_TRUE(manager->isReachableViaWWAN());
    setInterfaces({{"lo", true, true, true, true}});
    platform::testing::advance(1.0);
    EXPECT_EQ(manager->networkReachabilityStatus(), 0);
    manager->stopMonitoring();
    setInterfaces({{"wlan0", true, true, false, true}});
    platform::testing::advance(1.0);
    EXPECT_EQ(manager->networkReachabilityStatus(), 0);
    EXPECT_EQ(seen.back(), 0);
    EXPECT_EQ(notified.back(), 0);
    EXPECT_TRUE(onMain);
    platform::NotificationCenter::defaultCenter()->removeObserver(token);
  }
  platform::testing::useRealClock();
}
