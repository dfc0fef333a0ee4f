#include "venuesim/walk.h"

#include <gtest/gtest.h>

#include <cmath>
#include <set>

#include "server/wscan.h"
#include "venue_test_util.h"
#include "venuesim/generator.h"

namespace {

using namespace venuesim;

struct Fixture {
  Venue venue;
  PropagationModel model;
};

const Fixture& SharedVenue() {
  static const Fixture* f = [] {
    auto* x = new Fixture;
    std::string error;
    if (GenerateVenue(venuesim_test::SmallSpec(5), &x->venue, &error) != kOk) ADD_FAILURE() << error;
    x->model = PropagationModel(x->venue);
    return x;
  }();
  return *f;
}

TEST(WalkTest, SameSeedSameFilesOtherSeedOtherRoute) {
  const Fixture& f = SharedVenue();
  WalkSpec setup;
  setup.seed = 3;
  Walk a, b, c;
  std::string error;
  ASSERT_EQ(GenerateWalk(f.venue, f.model, setup, &a, &error), kOk) << error;
  ASSERT_EQ(GenerateWalk(f.venue, f.model, setup, &b, &error), kOk) << error;
  EXPECT_EQ(WalkLogText(a), WalkLogText(b));
  EXPECT_EQ(WalkTruthCsv(a), WalkTruthCsv(b));
  bool differs = false;
  for (uint64_t seed = 4; seed < 10 && !differs; ++seed) {
    setup.seed = seed;
    ASSERT_EQ(GenerateWalk(f.venue, f.model, setup, &c, &error), kOk) << error;
    differs = WalkLogText(c) != WalkLogText(a);
  }
  EXPECT_TRUE(differs);
}

// The truth path: on walkable pixels of its floor, at walking pace, standing
// still first, one floor change from the start floor to the end floor.
TEST(WalkTest, TruthPathIsWalkableContinuousAndChangesFloorOnce) {
  const Fixture& f = SharedVenue();
  for (int change : {kByStairs, kByLift}) {
    for (uint64_t seed = 1; seed <= 6; ++seed) {
      SCOPED_TRACE("seed " + std::to_string(seed) + " change " + std::to_string(change));
      WalkSpec setup;
      setup.seed = seed;
      setup.floorChange = change;
      Walk w;
      std::string error;
      ASSERT_EQ(GenerateWalk(f.venue, f.model, setup, &w, &error), kOk) << error;
      ASSERT_GT(w.ticks.size(), 300u);
      int floorChanges = 0;
      double pathLength = 0;
      for (size_t i = 0; i < w.ticks.size(); ++i) {
        const TruthSample& t = w.ticks[i].truth;
        ASSERT_TRUE(f.venue.floors[t.floor].grid.walkable(t.x, t.y)) << "tick " << i << " " << t.x << "," << t.y;
        EXPECT_EQ(t.floorId, f.venue.floors[t.floor].id);
        EXPECT_GE(t.heading, -M_PI);
        EXPECT_LT(t.heading, M_PI);
        EXPECT_EQ(t.packet, static_cast<int>(i));
        if (i == 0) continue;
        const TruthSample& p = w.ticks[i - 1].truth;
        EXPECT_EQ(w.ticks[i].timeMs - w.ticks[i - 1].timeMs, 100);
        const double moved = std::hypot(t.x - p.x, t.y - p.y);
        EXPECT_LE(moved, setup.speed * 0.1 + 1e-6);
        pathLength += moved;
        if (t.floor != p.floor) ++floorChanges;
        if (i <= 100) EXPECT_EQ(moved, 0.0) << "standing still at the start";
      }
      EXPECT_EQ(w.ticks.front().truth.floor, 0);
      EXPECT_EQ(w.ticks.back().truth.floor, 1);
      EXPECT_EQ(floorChanges, 1);
      EXPECT_GT(pathLength, 15.0);
      EXPECT_GT(w.trueSteps, static_cast<int>(pathLength / 1.0));
      EXPECT_LT(w.trueSteps, static_cast<int>(pathLength / 0.4));
    }
  }
}

// Every record of the log parses back to what was simulated: packet number,
// time, the beacons heard with their levels and offsets. (The truth table is
// read back tick for tick by the replay tests.)
TEST(WalkTest, LogRecordsParseBackToTheTicks) {
  const Fixture& f = SharedVenue();
  WalkSpec setup;
  setup.seed = 2;
  Walk w;
  std::string error;
  ASSERT_EQ(GenerateWalk(f.venue, f.model, setup, &w, &error), kOk) << error;
  std::set<std::string> keys;
  for (const VenueFloor& fl : f.venue.floors) {
    for (const VenueBeacon& b : fl.beacons) keys.insert(b.key());
  }
  size_t heard = 0;
  size_t sensorCount[3] = {0, 0, 0};
  for (size_t i = 0; i < w.ticks.size(); ++i) {
    bool ok = false;
    const WScanMessage m = WScanMessage::parse(WalkMessageText(w, i), &ok);
    ASSERT_TRUE(ok) << "tick " << i;
    EXPECT_EQ(m.mode, 1);
    EXPECT_EQ(m.packetNumber, static_cast<int>(i));
    EXPECT_EQ(m.tmUnixTime * 1000 + m.tmMillisecond, w.ticks[i].timeMs);
    EXPECT_EQ(m.deviceId, setup.deviceId);
    ASSERT_EQ(m.entries.size(), w.ticks[i].readings.size());
    for (const WScanEntry& e : m.entries) {
      EXPECT_EQ(e.type, 2);
      EXPECT_TRUE(keys.count(e.bssid)) << e.bssid;
      EXPECT_LE(e.rssi, -1.0);
      EXPECT_GE(e.rssi, f.venue.setup.sensitivity);
      EXPECT_GE(e.offset, 0);
      EXPECT_LT(e.offset, 100);
    }
    ASSERT_EQ(m.sensorEntries.size(), w.ticks[i].sensors.size());
    for (size_t k = 0; k < m.sensorEntries.size(); ++k) {
      const SensorEntry& e = m.sensorEntries[k];
      EXPECT_EQ(e.type, w.ticks[i].sensors[k].type);
      EXPECT_EQ(e.offset, w.ticks[i].sensors[k].offsetMs);
      EXPECT_NEAR(e.values[0], w.ticks[i].sensors[k].values[0], 1e-5);
      ASSERT_TRUE(e.type >= 101 && e.type <= 103) << e.type;
      ++sensorCount[e.type - 101];
      if (e.type == 101) {
        const double g = std::sqrt(e.values[0] * e.values[0] + e.values[1] * e.values[1] + e.values[2] * e.values[2]);
        EXPECT_GT(g, 3.0);
        EXPECT_LT(g, 25.0);
      }
    }
    heard += m.entries.size();
  }
  // Beacons every 7 m at 2 packets a second: a few readings per tick.
  const double perTick = static_cast<double>(heard) / w.ticks.size();
  EXPECT_GT(perTick, 0.5);
  EXPECT_LT(perTick, 2.0 * keys.size());

  // 50 Hz accelerometer and gyroscope, 25 Hz magnetometer.
  const double n = static_cast<double>(w.ticks.size());
  EXPECT_NEAR(sensorCount[0] / n, 5.0, 0.1);
  EXPECT_NEAR(sensorCount[2] / n, 5.0, 0.1);
  EXPECT_NEAR(sensorCount[1] / n, 2.5, 0.1);
}

TEST(WalkTest, OtherVenuesAndBadSpecs) {
  std::string error;
  // One floor: the walk stays on it; an open hall (too shallow for rooms).
  for (int kind = 0; kind < 2; ++kind) {
    VenueSpec vs = venuesim_test::SmallSpec(8);
    vs.floors = kind == 0 ? 1 : 2;
    if (kind == 1) vs.height = 6.0;
    Venue v;
    ASSERT_EQ(GenerateVenue(vs, &v, &error), kOk) << error;
    PropagationModel model(v);
    WalkSpec setup;
    setup.endFloor = vs.floors - 1;
    Walk w;
    ASSERT_EQ(GenerateWalk(v, model, setup, &w, &error), kOk) << error;
    for (const WalkTick& t : w.ticks) ASSERT_TRUE(v.floors[t.truth.floor].grid.walkable(t.truth.x, t.truth.y));
    EXPECT_EQ(w.ticks.back().truth.floor, vs.floors - 1);
  }

  const Fixture& f = SharedVenue();
  WalkSpec bad[5];
  bad[0].endFloor = 2;
  bad[1].startFloor = -1;
  bad[2].speed = 0.0;
  bad[3].tickSeconds = std::nan("");
  bad[4].standSeconds = -1.0;
  for (const WalkSpec& setup : bad) {
    Walk w;
    error.clear();
    EXPECT_EQ(GenerateWalk(f.venue, f.model, setup, &w, &error), kBadSpec);
    EXPECT_FALSE(error.empty());
    EXPECT_TRUE(w.ticks.empty());
  }

  venuesim_test::TempDir dir;
  Walk w;
  ASSERT_EQ(GenerateWalk(f.venue, f.model, WalkSpec(), &w, &error), kOk);
  EXPECT_EQ(WriteWalkFiles(w, dir.file("w.log"), dir.file("w.csv"), &error), kOk);
  EXPECT_EQ(WriteWalkFiles(w, dir.file("missing/w.log"), dir.file("w.csv"), &error), kWriteError);
}

}  // namespace
