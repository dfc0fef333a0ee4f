// The simulated world: deterministic for a seed, its events reaching the
// stand-ins at their clock times, and a live run through the sensing
// managers that equals the replay of the world's log and is scored like it.
#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <cmath>
#include <cstdio>

#include "live/live_run.h"
#include "platform/run_loop.h"
#include "platform/testing.h"
#include "replay/replay_run.h"
#include "tools/venuesim/venue_test_util.h"
#include "world/world.h"

namespace {

namespace pt = platform::testing;

class WorldTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::RunLoop::setMainThread();
    pt::useManualClock();
    platform::location::reset();
  }
  void TearDown() override {
    pt::settle();
    platform::location::reset();
    platform::bluetooth::setRadioState(platform::kCentralStateUnknown);
    pt::settle();
    pt::useRealClock();
  }
};

std::shared_ptr<world::World> Make(uint64_t seed, int radio = world::kBothRadioPaths) {
  world::WorldSetup s;
  s.venue.seed = s.walk.seed = seed;
  s.phone.radio = radio;
  s.phone.fixSeconds = 5;
  std::string error;
  auto w = world::World::create(s, &error);
  EXPECT_TRUE(w) << error;
  return w;
}

// A digest of everything an event carries.
std::string Digest(const std::vector<world::PhoneEvent>& events) {
  std::string d;
  for (const auto& e : events) {
    char line[160];
    std::snprintf(line, sizeof line, "%lld %d %zu %lld %a %a %a %a|", (long long)e.ms, e.kind,
                  e.beacons.size(), (long long)e.rssi, e.v[0], e.v[1], e.v[2], e.fix.latitude);
    d += line;
    for (const auto& b : e.beacons) d += std::to_string(b.minor) + ":" + std::to_string(b.rssi) + ",";
  }
  return d;
}

TEST_F(WorldTest, SameSeedSameEventsOtherSeedOthers) {
  EXPECT_EQ(Digest(Make(3)->events()), Digest(Make(3)->events()));
  EXPECT_NE(Digest(Make(3)->events()), Digest(Make(4)->events()));
  std::string error;
  world::WorldSetup bad;
  bad.speed = 0;
  EXPECT_FALSE(world::World::create(bad, &error));
  EXPECT_FALSE(error.empty());
}

TEST_F(WorldTest, EventsFollowThePhonesRules) {
  auto w = Make(2);
  const auto& walk = w->walk();
  size_t packets = 0, motion = 0, batches = 0, fixes = 0, advertisements = 0;
  for (const auto& t : walk.ticks) packets += t.readings.size(), motion += t.sensors.size();
  int64_t lastBatch = 0;
  for (const auto& e : w->events()) {
    switch (e.kind) {
      case world::PhoneEvent::kRangingBatch:
        if (batches++) EXPECT_EQ(e.ms - lastBatch, 1000);
        lastBatch = e.ms;
        for (const auto& b : e.beacons) {
          EXPECT_LE(b.rssi, 0);
          EXPECT_EQ(b.rssi == 0, b.accuracy < 0);
          EXPECT_EQ(b.rssi == 0, b.proximity == platform::kProximityUnknown);
        }
        break;
      case world::PhoneEvent::kAdvertisement: {
        ++advertisements;
        const auto& data = e.advertisement.serviceData.at("FEAA");
        ASSERT_EQ(data.size(), 7u);
        EXPECT_TRUE(std::isdigit(data[0]) && std::isdigit(data[3]));
        break;
      }
      case world::PhoneEvent::kFix:
        ++fixes;
        break;
      default:
        --motion;
    }
  }
  EXPECT_EQ(advertisements, packets);
  EXPECT_EQ(motion, 0u);
  EXPECT_EQ(batches, size_t(std::floor(w->durationSeconds())) + 1);
  EXPECT_EQ(fixes, size_t(std::floor(w->durationSeconds() / 5)) + 1);
}

TEST_F(WorldTest, EventsReachTheStandInsAtTheirTimesUntilStopped) {
  auto w = Make(2);
  platform::location::setAuthorizationStatus(platform::kAuthorizationStatusAuthorizedAlways);
  std::atomic<int> acc{0};
  int batches = 0;
  auto motion = platform::MotionManager::create();
  motion->setAccelerometerUpdateInterval(0);
  motion->startAccelerometerUpdatesToQueue(platform::dispatch::serialQueue("acc"),
                                           [&](const platform::AccelerometerData*, const platform::Error*) { ++acc; });
  platform::LocationManagerDelegate d;
  d.didRangeBeacons = [&](platform::LocationManager&, const std::vector<platform::Beacon>&,
                          const platform::BeaconRegion&) { ++batches; };
  auto location = platform::LocationManager::create(d);
  location->startRangingBeaconsInRegion(*platform::BeaconRegion::initWithProximityUUID(w->venue().uuid, "v"));
  w->start();
  pt::advance(3.5);
  const int64_t nowMs = platform::Clock::now().seconds * 1000 + platform::Clock::now().microseconds / 1000;
  const int64_t firstMs = w->firstTickTime().seconds * 1000 + w->firstTickTime().microseconds / 1000;
  int due = 0, dueBatches = 0;
  for (const auto& e : w->events()) {
    if (e.ms - w->walk().ticks.front().timeMs > nowMs - firstMs) break;
    due += e.kind == world::PhoneEvent::kAccelerometer;
    dueBatches += e.kind == world::PhoneEvent::kRangingBatch;
  }
  EXPECT_EQ(acc, due);
  EXPECT_EQ(batches, dueBatches);
  auto truth = w->truthAt(platform::Clock::now());
  ASSERT_TRUE(truth);
  EXPECT_EQ(truth->floorId, w->walk().ticks.front().truth.floorId);
  w->stop();
  pt::advance(2.0);
  EXPECT_EQ(acc, due);
  EXPECT_FALSE(w->finished());
}

TEST_F(WorldTest, LiveRunEqualsTheReplayOfItsLogAndReachesTheVenuesAccuracy) {
  venuesim_test::TempDir dir;
  auto w = Make(1);
  std::string error;
  ASSERT_EQ(w->writeVenue(dir.file("map.mvz"), &error), 0) << error;
  auto run = world::LiveRun::create(w, dir.file("map.mvz"), true, false, &error);
  ASSERT_TRUE(run) << error;
  run->start();
  pt::advance(w->durationSeconds() + 1);
  run->stop();
  ASSERT_TRUE(w->finished());
  ASSERT_EQ(w->writeLog(dir.file("walk.log"), dir.file("walk.truth.csv"), &error), 0) << error;

  replay::ReplayOptions o;
  o.mapPath = dir.file("map.mvz");
  o.logPath = dir.file("walk.log");
  o.truthPath = dir.file("walk.truth.csv");
  o.progress = false;
  replay::ReplayReport report;
  ASSERT_EQ(replay::RunReplay(o, &report, &error), 0) << error;
  const auto ticks = run->ticks();
  ASSERT_EQ(ticks.size(), report.ticks.size());
  std::vector<world::ScoredTick> live, replayed;
  for (size_t i = 0; i < ticks.size(); ++i) {
    const auto& r = report.ticks[i];
    ASSERT_EQ(ticks[i].scored.floorId, r.floorId) << i;
    ASSERT_EQ(std::bit_cast<uint64_t>(ticks[i].scored.x), std::bit_cast<uint64_t>(r.x)) << i;
    ASSERT_EQ(std::bit_cast<uint64_t>(ticks[i].scored.y), std::bit_cast<uint64_t>(r.y)) << i;
    live.push_back(ticks[i].scored);
    replayed.push_back({ticks[i].scored.seconds, r.floorId >= 0, r.floorId, r.x, r.y,
                        r.truthFloorId, r.truthX, r.truthY});
  }
  const world::Score s = world::ScoreTicks(replayed, 8);
  std::printf("%s%s", world::FormatScore("replay of the world's log", s, 8).c_str(),
              replay::FormatReplayReport(report).c_str());
  EXPECT_LE(s.median, 1.5);
  EXPECT_LE(s.p75, 2.0);
  EXPECT_GE(s.rightFloor, 0.98);
}

}  // namespace
