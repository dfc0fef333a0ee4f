// The whole SDK on the simulated world's walk: the coordinator's own timer ticks under the
// manual clock while the world feeds the radio and motion stand-ins.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>

#include "MCBeaconManager/mc_beacon_manager.h"
#include "MCLogManager/mc_log_manager.h"
#include "platform/bluetooth_central.h"
#include "platform/location_manager.h"
#include "platform/paths.h"
#include "replay/replay_run.h"
#include "sdk/coordinator_scene.h"
#include "world/score.h"
#include "world/world.h"

namespace {

namespace fs = std::filesystem;
namespace pt = platform::testing;
constexpr double kSettle = 8;

world::ScoredTick Scored(const MCDeviceInfo& info, const world::Truth& truth, double t0) {
  return {info.time - t0, info.sublocation >= 0, int(info.sublocation), info.x, info.y,
          truth.floorId, truth.x, truth.y};
}

TEST(LiveWalkTest, TheCoordinatorOnTheWorldsWalkMatchesTheReplayOfItsLog) {
  sdk_test::CoordinatorScene c;
  platform::location::reset();
  world::WorldSetup setup;
  setup.phone.fixSeconds = 5;
  std::string error;
  auto w = world::World::create(setup, &error);
  ASSERT_TRUE(w) << error;
  fs::create_directories(platform::Paths::documents() / "venue");
  ASSERT_EQ(w->writeVenue((platform::Paths::documents() / "venue" / "map.mvz").string(), &error), 0);
  c.sdk->loadArchive("venue", nullptr);
  platform::location::setAuthorizationStatus(platform::kAuthorizationStatusAuthorizedAlways);
  platform::bluetooth::setRadioState(platform::kCentralStatePoweredOn);
  pt::settle();
  std::map<int64_t, int> inside;  // zone id -> entries minus exits
  bool zonesBalanced = true;
  int zoneEvents = 0;
  const auto mainThread = std::this_thread::get_id();
  c.delegate->didEnterZoneWithId = [&](MainSDK&, int64_t id) {
    zonesBalanced &= ++inside[id] == 1 && std::this_thread::get_id() != mainThread;
    ++zoneEvents;
  };
  c.delegate->didExitZoneWithId = [&](MainSDK&, int64_t id) {
    zonesBalanced &= --inside[id] == 0 && std::this_thread::get_id() != mainThread;
    ++zoneEvents;
  };
  c.sdk->fastScanEnabled(true);
  const std::string recorded = c.sdk->startSaveLogToFile();
  c.sdk->startMarvisto();
  w->start();
  const double t0 = platform::Clock::nowSeconds();
  std::vector<world::ScoredTick> live;
  while (!w->finished()) {
    pt::advance(0.1);
    const auto info = c.sdk->deviceInfo();
    const auto truth = w->truthAt(platform::Clock::now());
    if (!truth || info->error) continue;
    live.push_back(Scored(*info, *truth, t0));
  }
  c.sdk->stopMarvisto();
  c.sdk->stopSaveLogToFile();
  EXPECT_TRUE(zonesBalanced);
  EXPECT_GE(zoneEvents, 2);

  // The engine's replay of the world's log of the same walk, scored alike.
  ASSERT_EQ(w->writeLog(c.home.path() / "walk.log", c.home.path() / "walk.csv", &error), 0);
  replay::ReplayOptions o;
  o.mapPath = (platform::Paths::documents() / "venue" / "map.mvz").string();
  o.logPath = (c.home.path() / "walk.log").string();
  o.truthPath = (c.home.path() / "walk.csv").string();
  o.progress = false;
  replay::ReplayReport report;
  ASSERT_EQ(replay::RunReplay(o, &report, &error), 0) << error;
  std::vector<world::ScoredTick> replayed;
  for (const auto& r : report.ticks) {
    replayed.push_back({r.timeMs / 1000.0 - report.ticks[0].timeMs / 1000.0, r.floorId >= 0,
                        r.floorId, r.x, r.y, r.truthFloorId, r.truthX, r.truthY});
  }
  const world::Score sdk = world::ScoreTicks(live, kSettle);
  const world::Score engine = world::ScoreTicks(replayed, kSettle);
  std::printf("%s%s", world::FormatScore("through the SDK", sdk, kSettle).c_str(),
              world::FormatScore("engine replay of the world's log", engine, kSettle).c_str());
  EXPECT_NEAR(sdk.median, engine.median, 1.0);
  EXPECT_NEAR(sdk.p75, engine.p75, 1.0);
  EXPECT_NEAR(sdk.rightFloor, engine.rightFloor, 0.05);

  // The SDK's own recording, fed back through the tick's log path, gives the live positions.
  const auto livePositions = c.server->take();
  c.replay(recorded);
  const auto replayedPositions = c.server->take();
  // Every recorded tick is replayed; the record the stop writes closes the log and is not.
  ASSERT_EQ(replayedPositions.size(), livePositions.size());
  double worst = 0;
  for (size_t i = 0; i < replayedPositions.size(); ++i) {
    ASSERT_EQ(replayedPositions[i][0], livePositions[i][0]) << i;
    worst = std::max({worst, std::abs(replayedPositions[i][1] - livePositions[i][1]),
                      std::abs(replayedPositions[i][2] - livePositions[i][2])});
  }
  std::printf("largest difference live / replayed through the tick: %g m\n", worst);
  EXPECT_LE(worst, 1e-3);
}

}  // namespace
