// The facade's public calls from the host's thread while the tick, a download
// flow and the message queue run on theirs (real clock: the threads must
// truly overlap; meant for the ThreadSanitizer build).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "platform/run_loop.h"
#include "sdk/facade/facade_scene.h"

namespace {

namespace pt = platform::testing;

TEST(FacadeThreadsTest, HostCallsBesideTheTickTheDownloadAndTheQueue) {
  facade_test::FacadeScene s(true, false);
  const contentserver::Location v1 = facade_test::VenueLocation(1);
  s.server->addLocation(v1);
  const std::string name = "#" + std::to_string(v1.id);
  s.install(name, facade_test::VenueArchive("1"));
  s.makeCore(s.managers);
  std::optional<platform::Error> error;
  s.core->loadArchiveByName(name, &error);
  ASSERT_FALSE(error);
  s.core->startMarvisto();
  s.core->startSendingPostRequests();
  // A newer archive on the server: the flow downloads it and reloads while the
  // tick runs and the host keeps calling.
  s.server->addLocation(facade_test::VenueLocation(2));
  std::atomic<int> ended{0};
  std::atomic<bool> mainOnly{true};
  const auto mainThread = std::this_thread::get_id();
  auto onMain = [&] { mainOnly = mainOnly && std::this_thread::get_id() == mainThread; };
  s.core->downloadLocationByName(
      name, false, [&](int64_t) { onMain(); },
      [&](const nlohmann::json& r) {
        onMain();
        if (r.value("type", "") == "remote") ++ended;
      },
      [&](const platform::Error&) {
        onMain();
        ++ended;
      });
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  int round = 0;
  while ((ended == 0 || round < 300) && std::chrono::steady_clock::now() < end) {
    ++round;
    (void)s.core->deviceInfo();
    (void)s.core->location();
    (void)s.core->bluetoothState();
    s.core->setUserHash(round % 2 ? "a" : "b");
    (void)s.core->userHash();
    s.core->addTatget(*MCLocationPoint::pointWithLocation(v1.id, 1, MCNumber(10.0f), MCNumber(5.0f)));
    if (round % 7 == 0) s.core->cancelTargets();
    s.core->_addCheckPointToLogFile("round " + std::to_string(round));
    if (round % 50 == 1) (void)s.core->_startSaveLogToFile();
    if (round % 50 == 25) s.core->_stopSaveLogToFile();
    if (round % 40 == 0) s.core->startSendingPostRequests();
    if (round % 90 == 0) s.core->stopSendingPostRequests();
    (void)s.core->getGraphTags();
    pt::pumpUntil([] { return false; }, 0.005);
  }
  EXPECT_EQ(ended.load(), 1);
  EXPECT_TRUE(mainOnly);
  s.core->_stopSaveLogToFile();
  s.core->stopMarvisto();
  s.core->stopSendingPostRequests();
}

}  // namespace
