// Notifications, application values and the JSON reader.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/app.h"
#include "platform/json.h"
#include "platform/notification_center.h"
#include "platform/run_loop.h"
#include "platform/testing.h"

namespace platform {
namespace {

TEST(NotificationCenter, DeliversOnThePostersThreadOrOnTheObserversQueue) {
  RunLoop::setMainThread();
  auto center = std::make_shared<NotificationCenter>();
  auto serial = dispatch::serialQueue("test.observer");
  int sender = 0, otherSender = 0;
  std::atomic<int> direct{0}, queued{0}, anyName{0}, removed{0};
  std::thread::id directThread;
  center->addObserverForName("change", &sender, nullptr, [&](const Notification& n) {
    directThread = std::this_thread::get_id();
    EXPECT_EQ(std::any_cast<int>(n.userInfo.at("status")), 2);
    ++direct;
  });
  center->addObserverForName("change", nullptr, serial, [&](const Notification&) {
    EXPECT_TRUE(serial->isCurrent());
    ++queued;
  });
  center->addObserverForName("", nullptr, nullptr, [&](const Notification&) { ++anyName; });
  auto gone = center->addObserverForName("change", nullptr, serial, [&](const Notification&) { ++removed; });

  std::shared_ptr<const void> object(&sender, [](const void*) {});
  std::shared_ptr<const void> otherObject(&otherSender, [](const void*) {});
  serial->async([] { std::this_thread::sleep_for(std::chrono::milliseconds(5)); });  // holds the queue
  center->postNotificationName("change", object, {{"status", 2}});
  center->removeObserver(gone);  // already queued, yet never delivered
  center->postNotificationName("change", otherObject, {{"status", 3}});
  center->postNotificationName("other");
  testing::settle();
  EXPECT_EQ(direct.load(), 1);
  EXPECT_EQ(directThread, std::this_thread::get_id());
  EXPECT_EQ(queued.load(), 2);
  EXPECT_EQ(anyName.load(), 3);
  EXPECT_EQ(removed.load(), 0);
}

TEST(Application, StateChangesPostTheirNotificationsInOrder) {
  std::vector<std::string> seen;
  auto center = NotificationCenter::defaultCenter();
  auto token = center->addObserverForName("", nullptr, nullptr,
                                          [&](const Notification& n) { seen.push_back(n.name); });
  Application::setApplicationState(ApplicationState::Background);
  Application::setApplicationState(ApplicationState::Background);
  Application::setApplicationState(ApplicationState::Active);
  center->removeObserver(token);
  EXPECT_EQ(seen, (std::vector<std::string>{Application::willResignActiveNotification,
                                            Application::didEnterBackgroundNotification,
                                            Application::willEnterForegroundNotification,
                                            Application::didBecomeActiveNotification}));
}

TEST(Device, VendorIdentifierIsStablePerHomeAndValuesAreSettable) {
  Device::reset();
  std::string first;
  {
    testing::ScopedHome home;
    first = Device::identifierForVendor();
    EXPECT_EQ(first.size(), 36u);
    EXPECT_EQ(Device::identifierForVendor(), first);
    EXPECT_NE(first, [] {
      testing::ScopedHome other;
      return Device::identifierForVendor();
    }());
  }
  EXPECT_FLOAT_EQ(Device::batteryLevel(), -1);
  EXPECT_FALSE(Device::currentWifi());
  EXPECT_FALSE(Device::machine().empty());
  Device::setCurrentWifi(WifiInfo{"aa:bb:cc:dd:ee:ff", "lab", {0x6c, 0x61, 0x62}});
  Device::setBatteryLevel(0.5f);
  EXPECT_EQ(Device::currentWifi()->SSIDDATA.size(), 3u);
  EXPECT_FLOAT_EQ(Device::batteryLevel(), 0.5f);
  Device::reset();
}

TEST(Json, MissingAndNullReadAlikeAndWrongTypesNeverThrow) {
  auto v = *json::parse(R"({"n": 7, "d": 2.5, "s": "12", "t": "yes", "z": null, "o": {}, "a": [1],
                            "neg": -3.9, "huge": 1e300, "txt": "abc", "b": true})");
  struct Case {
    const char* key;
    int64_t integer;
    double number;
    bool flag;
    const char* text;
  } cases[] = {
      {"n", 7, 7, true, "7"},      {"d", 2, 2.5, true, "2.5"},   {"s", 12, 12, true, "12"},
      {"t", 0, 0, true, "yes"},    {"z", 0, 0, false, ""},       {"missing", 0, 0, false, ""},
      {"o", 0, 0, false, ""},      {"a", 0, 0, false, ""},       {"neg", -3, -3.9, true, "-3.9"},
      {"huge", 0, 1e300, true, "1e+300"}, {"txt", 0, 0, false, "abc"}, {"b", 1, 1, true, "true"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(json::integer(v, c.key), c.integer) << c.key;
    EXPECT_DOUBLE_EQ(json::number(v, c.key), c.number) << c.key;
    EXPECT_EQ(json::boolean(v, c.key), c.flag) << c.key;
    EXPECT_EQ(json::string(v, c.key), c.text) << c.key;
    EXPECT_EQ(json::has(v, c.key), std::string(c.key) != "z" && std::string(c.key) != "missing");
  }
  EXPECT_FALSE(json::parse("{\"a\":"));
  EXPECT_EQ(json::integer(*json::parse("[1,2]"), "a"), 0);
}

}  // namespace
}  // namespace platform
