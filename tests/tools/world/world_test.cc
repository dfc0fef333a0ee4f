// The simulated world: deterministic for a seed, its events reaching the
// stand-ins at their clock times, its beacons advertising the names its
// archive gives them, and its log putting each reading into the first tick
// after it. (The live run through the coordinator is tested with the SDK.)
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <map>

#include "platform/run_loop.h"
#include "platform/testing.h"
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
  bad.walk.endFloor = 7;
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
        if (batches++) {
          EXPECT_EQ(e.ms - lastBatch, 1000);
        }
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
    // An event goes out just after its time: one at this very instant has not yet.
    if (e.ms - w->walk().ticks.front().timeMs >= nowMs - firstMs) break;
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

// The fast scan matches what a beacon advertises against the names the
// archive gives the beacons: the two must be the same text.
TEST_F(WorldTest, BeaconsAdvertiseTheNamesTheArchiveGivesThem) {
  venuesim_test::TempDir dir;
  auto w = Make(1);
  std::string error;
  ASSERT_EQ(w->writeVenue(dir.file("map.mvz"), &error), 0) << error;
  const std::string xml = venuesim_test::ReadArchive(dir.file("map.mvz")).at("beacons.xml");
  std::map<std::string, std::string> nameOf;  // beacon key -> name
  for (const auto& f : w->venue().floors)
    for (const auto& b : f.beacons) {
      EXPECT_EQ(b.name.size(), 4u);
      EXPECT_NE(xml.find("name=\"" + b.name + "\""), std::string::npos) << b.name;
      nameOf[b.key()] = b.name;
    }
  size_t advertisements = 0;
  for (const auto& e : w->events()) {
    if (e.kind != world::PhoneEvent::kAdvertisement) continue;
    ++advertisements;
    const auto& data = e.advertisement.serviceData.at("FEAA");
    ASSERT_TRUE(nameOf.count(e.peripheral.identifier));
    EXPECT_EQ(std::string(data.begin(), data.begin() + 4), nameOf[e.peripheral.identifier]);
  }
  EXPECT_GT(advertisements, 0u);
}

// The tick drains the queues at its instant, before anything that arrives at
// that instant: the log puts a reading into the first tick strictly after it.
TEST(HeardWalkTest, EachReadingJoinsTheFirstTickAfterIt) {
  venuesim::Walk walk;
  for (int64_t t : {1000, 1100, 1200}) {
    venuesim::WalkTick tick;
    tick.timeMs = t;
    walk.ticks.push_back(tick);
  }
  struct Case {
    int64_t ms;
    int tick;  // -1: dropped
    int64_t offset;
  } cases[] = {
      {950, 0, 50},     // before the first tick
      {999, 0, 1},
      {1000, 1, 100},   // at a tick's instant: the next tick
      {1001, 1, 99},
      {1100, 2, 100},
      {1150, 2, 50},
      {1200, -1, 0},    // at the last tick: no tick after it
      {1250, -1, 0},
  };
  for (const Case& k : cases) {
    world::PhoneEvent e;
    e.ms = k.ms;
    e.kind = world::PhoneEvent::kGyroscope;
    const venuesim::Walk heard = world::HeardWalk(walk, {e});
    for (int i = 0; i < 3; ++i) {
      const auto& sensors = heard.ticks[size_t(i)].sensors;
      ASSERT_EQ(sensors.size(), i == k.tick ? 1u : 0u) << k.ms << " tick " << i;
      if (i == k.tick) {
        EXPECT_EQ(sensors[0].offsetMs, k.offset) << k.ms;
      }
    }
  }
}

}  // namespace
