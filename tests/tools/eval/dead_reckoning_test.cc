// Dead-reckoning figures on outputs whose faults are known: too long steps,
// a turn short by some degrees, an end off by some metres.
#include "eval/dead_reckoning.h"

#include <gtest/gtest.h>

#include <cmath>
#include <tuple>

namespace {

constexpr int64_t kFirstMs = 1767268800000;

// A square walk of 20 m sides at 1 m/s; legs start at 0, 20, 40, 60 s.
std::vector<eval::TrueLeg> Square() {
  return {{0, 20, 0, 0, 20, 0}, {20, 40, 20, 0, 20, 20}, {40, 60, 20, 20, 0, 20}, {60, 80, 0, 20, 0, 0}};
}

// The output along the square, every 0.1 s: its legs `stretch` times as long,
// and every turn `turnShort` degrees short of the true right angle.
std::vector<replay::ReplayTick> Output(double stretch, double turnShort) {
  std::vector<replay::ReplayTick> ticks;
  double x = 0, y = 0, heading = 0;  // degrees from +x
  for (int leg = 0; leg < 4; ++leg) {
    for (int i = 0; i < 200; ++i) {
      replay::ReplayTick t;
      t.timeMs = kFirstMs + (leg * 200 + i) * 100;
      t.floorId = 1;
      t.x = x;
      t.y = y;
      t.azimuth = (90 - heading) * M_PI / 180;  // from +y towards +x
      ticks.push_back(t);
      x += 0.1 * stretch * std::cos(heading * M_PI / 180);
      y += 0.1 * stretch * std::sin(heading * M_PI / 180);
    }
    heading += 90 - turnShort;
  }
  replay::ReplayTick last;
  last.timeMs = kFirstMs + 800 * 100;
  last.floorId = 1;
  last.x = x;
  last.y = y;
  last.hasTruth = true;
  last.truthFloorId = 1;
  ticks.push_back(last);
  return ticks;
}

TEST(DeadReckoning, FiguresOfKnownFaults) {
  const struct {
    const char* what;
    double stretch, turnShort;
    double distancePercent, turnError, headingError;
  } cases[] = {
      {"faithful", 1.0, 0, 0.0, 0.0, 0.0},
      {"steps 17% long", 1.17, 0, 17.0, 0.0, 0.0},
      {"steps 10% short", 0.9, 0, -10.0, 0.0, 0.0},
      // The heading errors add up: 30, 60 and 90 degrees after the turns.
      {"turns 30 degrees short", 1.0, 30, 0.0, 30.0, 60.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const eval::DeadReckoningFigures f = eval::MeasureDeadReckoning(Square(), Output(c.stretch, c.turnShort), kFirstMs);
    EXPECT_EQ(f.walks, 1);
    EXPECT_NEAR(f.walked, 80.0, 1e-9);
    EXPECT_NEAR(f.meanWalked(), 80.0, 1e-9);
    EXPECT_NEAR(f.distanceErrorPercent(), c.distancePercent, 0.2);
    ASSERT_EQ(f.turnErrors.size(), 3u);
    EXPECT_NEAR(f.meanTurnError(), c.turnError, 0.5);
    ASSERT_EQ(f.headingErrors.size(), 3u);
    EXPECT_NEAR(f.meanHeadingError(), c.headingError, 0.5);
    ASSERT_EQ(f.endErrors.size(), 1u);
  }
  // A square closes whatever its size: too long steps still end at the
  // start, where the walker ends; turns short of a right angle do not.
  EXPECT_NEAR(eval::MeasureDeadReckoning(Square(), Output(1.0, 0), kFirstMs).meanEndError(), 0.0, 1e-6);
  EXPECT_NEAR(eval::MeasureDeadReckoning(Square(), Output(1.1, 0), kFirstMs).meanEndError(), 0.0, 1e-6);
  EXPECT_GT(eval::MeasureDeadReckoning(Square(), Output(1.0, 10), kFirstMs).meanEndError(), 3.0);
}

TEST(DeadReckoning, TurnErrorAcrossTheBackwardDirection) {
  // There and back: the walker turns 180 degrees, the output 170 or 190; a
  // turn error of 10 degrees either way, not 350.
  const std::vector<eval::TrueLeg> legs = {{0, 20, 0, 0, 20, 0}, {20, 40, 20, 0, 0, 0}};
  for (double turn : {170.0, 190.0, -170.0}) {
    SCOPED_TRACE(turn);
    std::vector<replay::ReplayTick> ticks;
    for (int i = 0; i <= 400; ++i) {
      replay::ReplayTick t;
      t.timeMs = kFirstMs + i * 100;
      t.floorId = 1;
      const double back = std::max(0, i - 200) * 0.1;
      t.x = std::min(i, 200) * 0.1 + back * std::cos(turn * M_PI / 180);
      t.y = back * std::sin(turn * M_PI / 180);
      ticks.push_back(t);
    }
    const eval::DeadReckoningFigures f = eval::MeasureDeadReckoning(legs, ticks, kFirstMs);
    ASSERT_EQ(f.turnErrors.size(), 1u);
    EXPECT_NEAR(f.turnErrors[0], 10.0, 1e-6);
  }
}

TEST(DeadReckoning, AnOutputHalfASecondLateWalksTheWholeLeg) {
  // Two legs of 10 m at 1 m/s with a 2 s stop between them; the output
  // follows the walker half a second late, as steps are detected.
  const std::vector<eval::TrueLeg> legs = {{0, 10, 0, 0, 10, 0}, {12, 22, 10, 0, 10, 10}};
  auto truthAt = [](double t) -> std::pair<double, double> {
    if (t < 10) return {std::max(t, 0.0), 0.0};
    if (t < 12) return {10.0, 0.0};
    return {10.0, std::min(t - 12, 10.0)};
  };
  std::vector<replay::ReplayTick> ticks;
  for (int i = 0; i <= 240; ++i) {
    replay::ReplayTick t;
    t.timeMs = kFirstMs + i * 100;
    t.floorId = 1;
    std::tie(t.x, t.y) = truthAt(i * 0.1 - 0.5);
    ticks.push_back(t);
  }
  const eval::DeadReckoningFigures f = eval::MeasureDeadReckoning(legs, ticks, kFirstMs);
  EXPECT_NEAR(f.distanceErrorPercent(), 0.0, 0.1);
  ASSERT_EQ(f.turnErrors.size(), 1u);
  EXPECT_NEAR(f.turnErrors[0], 0.0, 1e-6);
}

TEST(DeadReckoning, PoolsWalksAndSkipsLegsWithoutOutput) {
  eval::DeadReckoningFigures pooled;
  pooled.add(eval::MeasureDeadReckoning(Square(), Output(1.2, 0), kFirstMs));
  pooled.add(eval::MeasureDeadReckoning(Square(), Output(1.0, 0), kFirstMs));
  EXPECT_EQ(pooled.walks, 2);
  EXPECT_NEAR(pooled.distanceErrorPercent(), 10.0, 0.2);
  EXPECT_EQ(pooled.turnErrors.size(), 6u);
  EXPECT_EQ(pooled.headingErrors.size(), 6u);

  // No output at all: nothing measured, the walk's length still known.
  std::vector<replay::ReplayTick> none = Output(1.0, 0);
  for (replay::ReplayTick& t : none) t.floorId = -1;
  const eval::DeadReckoningFigures f = eval::MeasureDeadReckoning(Square(), none, kFirstMs);
  EXPECT_EQ(f.walked, 0.0);
  EXPECT_TRUE(f.turnErrors.empty());
  EXPECT_TRUE(f.headingErrors.empty());
  EXPECT_LT(f.meanHeadingError(), 0.0);
  EXPECT_TRUE(f.endErrors.empty());
  EXPECT_NEAR(f.meanWalked(), 80.0, 1e-9);
  EXPECT_LT(f.meanTurnError(), 0.0);
}

}  // namespace
