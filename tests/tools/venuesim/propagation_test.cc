#include <cmath>

#include <gtest/gtest.h>

#include "venue_test_util.h"
#include "venuesim/generator.h"
#include "venuesim/propagation.h"
#include "venuesim/rng.h"
#include "venuesim/shadowing.h"
#include "venuesim/survey.h"

using namespace venuesim;

namespace {

// A venue with one beacon in a known place, the survey's noise switched off.
Venue OneBeaconVenue(double shadowSigma, int floors = 1) {
  VenueSpec s = venuesim_test::SmallSpec();
  s.floors = floors;
  s.shadowSigma = shadowSigma;
  s.beaconAJitter = 0;
  s.beaconBJitter = 0;
  Venue v;
  std::string error;
  EXPECT_EQ(GenerateVenue(s, &v, &error), kOk) << error;
  for (VenueFloor& f : v.floors) {
    f.beacons.resize(1);
    f.beacons[0].x = 5.0;
    f.beacons[0].y = 5.0;
  }
  return v;
}

}  // namespace

TEST(VenuePropagationTest, LogDistanceLaw) {
  EXPECT_DOUBLE_EQ(LogDistanceRssi(-60, 2, 1.0), -60.0);
  EXPECT_DOUBLE_EQ(LogDistanceRssi(-60, 2, 10.0), -80.0);
  EXPECT_DOUBLE_EQ(LogDistanceRssi(-60, 3, 100.0), -120.0);
  // Closer than half a metre counts as half a metre: no blow-up at the beacon.
  EXPECT_DOUBLE_EQ(LogDistanceRssi(-60, 2, 0.0), LogDistanceRssi(-60, 2, 0.5));
  EXPECT_DOUBLE_EQ(LogDistanceRssi(-60, 2, 0.1), LogDistanceRssi(-60, 2, 0.5));
  // The engine's ln(d^2) slope predicts the same levels.
  for (double d : {0.7, 3.0, 25.0})
    EXPECT_NEAR(-60 - EngineSlope(2.5) * std::log(d * d), LogDistanceRssi(-60, 2.5, d), 1e-9);
}

TEST(VenuePropagationTest, WallCrossingsCountEachPieceOnce) {
  const std::vector<Wall> walls = {{{0, 5}, {10, 5}, 0.2, false}, {{5, 0}, {5, 4}, 0.2, false}};
  EXPECT_EQ(CountWallCrossings(walls, {1, 1}, {1, 9}), 1);
  EXPECT_EQ(CountWallCrossings(walls, {1, 1}, {9, 1}), 1);
  EXPECT_EQ(CountWallCrossings(walls, {1, 1}, {9, 6}), 2);
  EXPECT_EQ(CountWallCrossings(walls, {1, 1}, {4, 3}), 0);
  EXPECT_EQ(CountWallCrossings(walls, {11, 1}, {11, 9}), 0);  // beyond the wall's end
  EXPECT_EQ(CountWallCrossings(walls, {1, 6}, {9, 6}), 0);    // parallel
}

// Without shadowing, the level falls with distance inside a room and every
// wall or floor in between costs its loss.
TEST(VenuePropagationTest, MeanLevelFallsWithDistanceWallsAndFloors) {
  Venue v = OneBeaconVenue(0.0, 2);
  const PropagationModel model(v);
  ASSERT_EQ(model.beaconCount(), 2);
  const VenueBeacon& b = v.floors[0].beacons[0];
  double previous = 1e9;
  for (double dx = 0.0; dx < 0.9; dx += 0.1) {  // stays in the same room
    const double level = model.meanRssi(0, 0, b.x + dx, b.y);
    EXPECT_LE(level, previous);
    previous = level;
  }
  EXPECT_DOUBLE_EQ(model.meanRssi(0, 0, b.x + 0.3, b.y), LogDistanceRssi(b.A, b.B, 0.3));
  // Through the room's wall to the neighbouring room, same distance both ways.
  const Point from{b.x, b.y};
  for (const Point to : {Point{b.x + 8, b.y}, Point{b.x, b.y + 12}, Point{b.x + 20, b.y + 10}}) {
    const int walls = CountWallCrossings(v.floors[0].walls, from, to);
    const double d = std::hypot(to.x - b.x, to.y - b.y);
    EXPECT_NEAR(model.meanRssi(0, 0, to.x, to.y), LogDistanceRssi(b.A, b.B, d) - walls * v.setup.wallLoss, 1e-9);
    EXPECT_NEAR(model.meanRssi(0, 1, to.x, to.y),
                LogDistanceRssi(b.A, b.B, d) - CountWallCrossings(v.floors[1].walls, from, to) * v.setup.wallLoss -
                    v.setup.floorLoss,
                1e-9);
  }
  EXPECT_GT(CountWallCrossings(v.floors[0].walls, from, {b.x + 20, b.y + 10}), 0);
}

TEST(VenueShadowingTest, DeterministicSpreadAndCorrelation) {
  const ShadowingField a(DeriveSeed(7, {1}), 100, 100, 3.0, 4.0), b(DeriveSeed(7, {1}), 100, 100, 3.0, 4.0);
  const ShadowingField other(DeriveSeed(7, {2}), 100, 100, 3.0, 4.0);
  Rng rng(99);
  double sum = 0, sum2 = 0, near = 0, far = 0, cross = 0;
  const int n = 20000;
  for (int i = 0; i < n; ++i) {
    const double x = rng.uniform(0, 100), y = rng.uniform(0, 100);
    const double v = a.value(x, y);
    EXPECT_EQ(v, b.value(x, y));
    sum += v;
    sum2 += v * v;
    near += v * a.value(x + 0.3, y);
    far += v * a.value(std::fmod(x + 37.0, 100.0), y);
    cross += v * other.value(x, y);
  }
  const double mean = sum / n, sd = std::sqrt(sum2 / n - mean * mean);
  EXPECT_NEAR(sd, 4.0, 0.4);
  EXPECT_NEAR(mean, 0.0, 0.6);
  EXPECT_GT(near / n, 0.8 * 16.0);        // a few decimetres apart: nearly the same
  EXPECT_LT(std::fabs(far / n), 0.2 * 16.0);  // many cells apart: unrelated
  EXPECT_LT(std::fabs(cross / n), 0.2 * 16.0);
  EXPECT_EQ(ShadowingField(1, 10, 10, 3, 0.0).value(5, 5), 0.0);
  // Outside the floor and for non-finite input the field stays finite.
  EXPECT_TRUE(std::isfinite(a.value(-50, 500)));
  EXPECT_EQ(a.value(std::nan(""), 3), 0.0);
}

// The model's shadowing is the same at the same place for the survey and for
// a second model built later from the same venue.
TEST(VenueShadowingTest, ModelRebuiltFromVenueSeesSameShadowing) {
  Venue v = OneBeaconVenue(6.0);
  const PropagationModel m1(v), m2(v);
  double spread = 0;
  for (double x = 1; x < 29; x += 1.7) {
    EXPECT_EQ(m1.meanRssi(0, 0, x, 7.5), m2.meanRssi(0, 0, x, 7.5));
    spread += std::fabs(m1.meanRssi(0, 0, x, 7.5) - m1.meanRssiNoShadowing(0, 0, x, 7.5));
  }
  EXPECT_GT(spread, 0.0);
}

TEST(VenueSurveyTest, HistogramSamplesAroundTheMeanAndDropsWeakReadings) {
  Rng rng(1);
  auto strong = SampleHistogram(-70.2, 2.0, -100, 400, rng);
  int count = 0;
  double sum = 0;
  for (const auto& [level, n] : strong) {
    EXPECT_GT(level, 0);
    count += n;
    sum += static_cast<double>(level) * n;
  }
  EXPECT_EQ(count, 400);
  EXPECT_NEAR(-sum / count, -70.2, 0.4);
  EXPECT_TRUE(SampleHistogram(-130, 2.0, -100, 400, rng).empty());
  // At the sensitivity about half the readings are lost, none below it is kept.
  auto edge = SampleHistogram(-100, 2.0, -100, 1000, rng);
  int kept = 0;
  for (const auto& [level, n] : edge) {
    EXPECT_LE(level, 100);
    kept += n;
  }
  EXPECT_GT(kept, 350);
  EXPECT_LT(kept, 750);
  // Levels at or above 0 dBm still give a valid magnitude.
  auto loud = SampleHistogram(5.0, 0.0, -100, 3, rng);
  ASSERT_EQ(loud.size(), 1u);
  EXPECT_EQ(loud.begin()->first, 1);
}

TEST(VenueSurveyTest, EntriesFollowTheModelAndFloorsAreHeardWeaker) {
  VenueSpec s = venuesim_test::SmallSpec(21);
  s.surveySeconds = 50;  // 100 readings per entry
  Venue v;
  std::string error;
  ASSERT_EQ(GenerateVenue(s, &v, &error), kOk) << error;
  const PropagationModel model(v);
  int checked = 0, otherFloor = 0;
  for (size_t f = 0; f < v.floors.size(); ++f) {
    for (const SurveyPoint& p : v.floors[f].points) {
      EXPECT_EQ(p.durationMs, 50000);
      EXPECT_GT(p.magnet, 20.0);
      EXPECT_LT(p.magnet, 80.0);
      for (const SurveyEntry& e : p.entries) {
        int b = 0;
        while (b < model.beaconCount() && model.beacon(b).key() != e.key) ++b;
        ASSERT_LT(b, model.beaconCount());
        const double mean = model.meanRssi(b, static_cast<int>(f), p.x, p.y);
        if (mean < -90) continue;  // near the sensitivity the loss of weak readings biases the mean
        int n = 0;
        double sum = 0;
        for (const auto& [level, c] : e.histogram) {
          n += c;
          sum += static_cast<double>(level) * c;
        }
        EXPECT_EQ(n, 100);
        EXPECT_NEAR(-sum / n, mean, 1.0) << e.key;
        ++checked;
        otherFloor += model.beaconFloor(b) != static_cast<int>(f);
      }
    }
  }
  EXPECT_GT(checked, 100);
  EXPECT_GT(otherFloor, 0);
}
