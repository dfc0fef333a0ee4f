// The tick on its timer while the host calls in from other threads, readings arrive
// on theirs and the archive is read from two threads: meant for ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "MCArchiveManager/mc_archive_manager.h"
#include "MCBeaconManager/mc_beacon_manager.h"
#include "Sensors/mc_sensor_manager.h"
#include "platform/dispatch.h"
#include "sdk/coordinator_scene.h"

// Opening zip archives calls mktime, whose time-zone state glibc guards with an internal
// lock that ThreadSanitizer does not see; two archives opened at once look like a race.
extern "C" const char* __tsan_default_suppressions() { return "race:tzset_internal\n"; }

namespace {

using sdk_test::CoordinatorScene;
using sdk_test::SharedScene;

TEST(CoordinatorThreadsTest, TickHostCallsReadingsAndReloadsDoNotRace) {
  CoordinatorScene c;
  c.install("venue", SharedScene().map);
  c.sdk->loadArchive("venue", nullptr);
  c.sdk->startMarvisto();
  std::atomic<bool> hostDone{false}, stop{false};
  std::thread host([&] {
    for (int i = 0; i < 40; ++i) {
      const auto loc = c.sdk->locationSnapshot();
      if (!loc->sublocations.empty()) {
        const auto& f = loc->sublocations.back();
        c.sdk->addTatget(*MCLocationPoint::pointWithLocation(loc->id, f->id, 5.0, 5.0));
      }
      c.sdk->setGraphTag(i % 2 ? "" : "default");
      (void)c.sdk->getGraphTags();
      (void)c.sdk->deviceInfo()->paths.size();
      if (i % 10 == 9) c.sdk->loadArchive("venue", nullptr);
      if (i % 7 == 6) c.sdk->cancelTargets();
      if (i % 5 == 0) c.sdk->startSaveLogToFile();
      if (i % 5 == 2) c.sdk->stopSaveLogToFile();
      if (i == 30) c.sdk->stopMarvisto();
    }
    hostDone = true;
  });
  std::thread sensors([&] {
    // About one sample per 10 ms of a tick, as the motion queues deliver them.
    for (int i = 0; i < 400 && !stop; ++i) {
      c.sdk->managers().sensorManager->addSensorEntry(101, 0.1, 0.2, 9.8, 0);
      std::this_thread::yield();
    }
  });
  std::thread archive([&] {
    for (int i = 0; i < 50 && !stop; ++i) {
      (void)c.sdk->managers().archiveManager->dataFromFile("version.txt", nullptr);
    }
  });
  int ticks = 0;
  while (!hostDone || ticks < 20) {
    platform::testing::advance(0.1);
    ++ticks;
    (void)c.sdk->managers().archiveManager->dataFromFile("beacons.xml", nullptr);
  }
  stop = true;
  host.join();
  sensors.join();
  archive.join();
  EXPECT_GE(c.sdk->packetNumber(), 20);
}

// The fast scan matches advertisements on the central's queue while the host
// reloads the location (new floor lists) and places beacons (appended to a
// floor's list): it reads the beacons the coordinator last handed it, never the
// lists being changed, and hears a placed beacon from its placement on.
TEST(CoordinatorThreadsTest, FastScanReadsItsOwnBeaconsWhileReloadsAndPlacementsChangeTheFloors) {
  CoordinatorScene c;
  c.install("venue", SharedScene().map);
  c.sdk->loadArchive("venue", nullptr);
  const auto beacons = c.sdk->managers().beaconManager;
  beacons->setFastScanEnabled(true);
  const std::string uuid = "E2C56DB5-DFFB-48D2-B060-D0F5A71096E0";
  const auto advertise = [&](const std::string& name) {
    platform::AdvertisementData a;
    a.serviceData["FEAA"] = std::vector<uint8_t>(name.begin(), name.end());
    a.serviceData["FEAA"].resize(7, 0);
    // Advertisements arrive on the central's own queue.
    platform::dispatch::sync(beacons->centralManager()->queue(),
                             [&] { beacons->centralManager(platform::Peripheral{}, a, -60); });
  };
  const auto place = [&](int minor, const std::string& name) {
    MCBeacon spot;
    spot.sublocation = SharedScene().venue.floors[0].id;
    spot.name = name;
    c.sdk->startMeasureNearestBeacon(spot);
    char key[64];
    std::snprintf(key, sizeof key, "(%05d,%05d,%s)", 77, minor, uuid.c_str());
    c.sdk->beaconFounded(std::string(key), std::nullopt);
  };
  std::atomic<bool> hostDone{false}, radioDone{false};
  std::thread host([&] {
    for (int i = 0; i < 30; ++i) {
      if (i % 10 == 9) {
        c.sdk->loadArchive("venue", nullptr);
      } else {
        place(i, "P" + std::to_string(100 + i));
      }
    }
    hostDone = true;
  });
  std::thread radio([&] {
    for (int i = 0; i < 3000 && !hostDone; ++i) advertise("P1" + std::to_string(10 + i % 20));
    radioDone = true;
  });
  EXPECT_TRUE(platform::testing::pumpUntil([&] { return hostDone && radioDone; }, 120));
  host.join();
  radio.join();
  beacons->clearScanEntries();
  place(999, "Q999");
  advertise("Q999");
  advertise("Q998");
  EXPECT_EQ(beacons->queuedCount(), 1u);
}

}  // namespace
