// Turns, floor changes and the lags after them, and which ticks a walk's
// figures count, on hand-made walks whose answers are known.
#include "eval/track_metrics.h"

#include <gtest/gtest.h>

#include <cmath>

#include "replay/replay_run.h"

namespace {

using world::ScoredTick;

// A walk through the corners at 1 m/s, one tick every 0.1 s, standing `pause`
// seconds at each inner corner; the output is exactly the truth.
std::vector<ScoredTick> Walk(const std::vector<std::pair<double, double>>& corners, double pause = 0,
                             int floorId = 1) {
  std::vector<ScoredTick> out;
  double t = 0;
  auto push = [&](double x, double y) {
    ScoredTick k;
    k.seconds = t;
    k.hasPosition = true;
    k.floorId = k.truthFloorId = floorId;
    k.x = k.truthX = x;
    k.y = k.truthY = y;
    out.push_back(k);
    t += 0.1;
  };
  for (size_t i = 1; i < corners.size(); ++i) {
    const auto [x0, y0] = corners[i - 1];
    const auto [x1, y1] = corners[i];
    const int steps = static_cast<int>(std::lround(std::hypot(x1 - x0, y1 - y0) * 10));
    for (int s = 0; s < steps; ++s) push(x0 + (x1 - x0) * s / steps, y0 + (y1 - y0) * s / steps);
    if (i + 1 < corners.size()) {
      for (int s = 0; s < std::lround(pause * 10); ++s) push(x1, y1);
    }
  }
  push(corners.back().first, corners.back().second);
  return out;
}

TEST(TrackMetrics, FindsTheTurnsOfTheTruePath) {
  const struct {
    const char* what;
    std::vector<std::pair<double, double>> corners;
    double pause;
    std::vector<double> turns;  // seconds
    double tolerance;
  } cases[] = {
      {"straight", {{0, 0}, {20, 0}}, 0, {}, 0},
      {"a right angle at 10 s", {{0, 0}, {10, 0}, {10, 10}}, 0, {10.0}, 0.15},
      {"a shallow bend is no turn", {{0, 0}, {10, 0}, {20, 5}}, 0, {}, 0},
      {"a U-turn", {{0, 0}, {10, 0}, {0, 0}}, 0, {10.0}, 0.15},
      {"standing at the corner: the middle of the stand", {{0, 0}, {10, 0}, {10, 10}}, 1.0, {10.5}, 0.15},
      {"two corners 6 s apart", {{0, 0}, {10, 0}, {10, 6}, {20, 6}}, 0, {10.0, 16.0}, 0.15},
      {"two corners 1 s apart count once", {{0, 0}, {10, 0}, {10, 1}, {0, 1}}, 0, {10.5}, 0.15},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::vector<double> turns = eval::FindTurns(Walk(c.corners, c.pause));
    ASSERT_EQ(turns.size(), c.turns.size());
    for (size_t i = 0; i < turns.size(); ++i) EXPECT_NEAR(turns[i], c.turns[i], c.tolerance);
  }
}

TEST(TrackMetrics, NoTurnAcrossAFloorChange) {
  // Up the stairs and back the way one came on the floor above: the path
  // folds in the plan, but the walker never turned on either floor.
  std::vector<ScoredTick> walk = Walk({{0, 0}, {10, 0}});
  std::vector<ScoredTick> above = Walk({{10, 0}, {0, 0}}, 0, 2);
  for (ScoredTick& k : above) k.seconds += walk.back().seconds + 0.1;
  walk.insert(walk.end(), above.begin(), above.end());
  EXPECT_TRUE(eval::FindTurns(walk).empty());
  ASSERT_EQ(eval::FindFloorChanges(walk).size(), 1u);
  EXPECT_NEAR(eval::FindFloorChanges(walk)[0], 10.1, 1e-9);
}

TEST(TrackMetrics, TurnLagIsTheDelayOfTheOutput) {
  const std::vector<ScoredTick> truth = Walk({{0, 0}, {12, 0}, {12, 12}});
  for (double delay : {0.0, 1.0, 2.5, 4.0}) {
    SCOPED_TRACE(delay);
    // The output shows where the walker was `delay` seconds ago.
    std::vector<ScoredTick> ticks = truth;
    const int shift = static_cast<int>(std::lround(delay * 10));
    for (size_t i = 0; i < ticks.size(); ++i) {
      const ScoredTick& then = truth[i >= static_cast<size_t>(shift) ? i - shift : 0];
      ticks[i].x = then.truthX;
      ticks[i].y = then.truthY;
    }
    const std::vector<double> lags = eval::TurnLags(ticks, eval::FindTurns(ticks));
    ASSERT_EQ(lags.size(), 1u);
    EXPECT_NEAR(lags[0], delay, 0.051);
  }
  // No output near the turn: no lag to give.
  std::vector<ScoredTick> blind = truth;
  for (ScoredTick& k : blind) k.hasPosition = false;
  EXPECT_TRUE(eval::TurnLags(blind, {12.0}).empty());
}

TEST(TrackMetrics, FloorLagWaitsUntilTheOutputStaysOnTheTrueFloor) {
  // The true floor changes at 5 s; the output's floor per second from then.
  const struct {
    const char* what;
    std::vector<int> outputFloor;  // from 5 s on, one entry per second
    double lag;
  } cases[] = {
      {"at once", {2, 2, 2, 2, 2, 2, 2, 2}, 0.0},
      {"after 3 s", {1, 1, 1, 2, 2, 2, 2, 2}, 3.0},
      {"a flicker does not count", {1, 2, 1, 1, 2, 2, 2, 2}, 4.0},
      {"never: until the end", {1, 1, 1, 1, 1, 1, 1, 1}, 7.9},
      {"no output counts as wrong", {-1, -1, 2, 2, 2, 2, 2, 2}, 2.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<ScoredTick> ticks;
    for (int i = 0; i < 130; ++i) {
      ScoredTick k;
      k.seconds = i / 10.0;
      k.truthFloorId = k.seconds < 5 ? 1 : 2;
      k.floorId = k.seconds < 5 ? 1 : c.outputFloor[static_cast<size_t>((i - 50) / 10)];
      k.hasPosition = k.floorId >= 0;
      ticks.push_back(k);
    }
    const std::vector<double> lags = eval::FloorLags(ticks, eval::FindFloorChanges(ticks));
    ASSERT_EQ(lags.size(), 1u);
    EXPECT_NEAR(lags[0], c.lag, 1e-9);
  }
}

TEST(TrackMetrics, SettlingTicksAreNotScored) {
  // 10 m off in the first 8 s and in the 3 s after the floor change at 20 s,
  // 1 m off elsewhere: only the 1 m ticks count, on the right floor or not.
  std::vector<ScoredTick> ticks;
  for (int i = 0; i < 400; ++i) {
    ScoredTick k;
    k.seconds = i / 10.0;
    k.truthFloorId = k.seconds < 20 ? 1 : 2;
    const bool settling = k.seconds < 8 || (k.seconds >= 20 && k.seconds < 23);
    k.hasPosition = true;
    k.floorId = settling ? 9 : k.truthFloorId;
    k.truthX = k.seconds;
    k.x = k.truthX + (settling ? 10 : 1);
    ticks.push_back(k);
  }
  const eval::TrackFigures f = eval::ScoreTrack(ticks, 8, 3);
  EXPECT_EQ(f.score.evaluated, 400 - 80 - 30);
  EXPECT_EQ(f.errors.size(), 290u);
  EXPECT_NEAR(f.score.median, 1.0, 1e-9);
  EXPECT_NEAR(f.score.p75, 1.0, 1e-9);
  EXPECT_EQ(f.score.onRightFloor, 290);
  EXPECT_EQ(f.floorLags.size(), 1u);
  EXPECT_NEAR(f.floorLags[0], 3.0, 1e-9);
}

// A walker at 1.2 m/s along x and an output that trails it, keeps up or
// runs ahead: against the truth 0.5 s before, a trailing output scores
// better than against the truth now, one that keeps up or leads worse.
TEST(TrackMetrics, EarlierTruthShowsAnOutputThatTrails) {
  struct Case {
    double delay;    // s the output trails the walker
    double now;      // median error at the same time
    double earlier;  // against the truth 0.5 s before
  } const kCases[] = {{0.5, 0.6, 0.0}, {1.0, 1.2, 0.6}, {0.0, 0.0, 0.6}, {-0.5, 0.6, 1.2}};
  for (const Case& c : kCases) {
    std::vector<ScoredTick> ticks;
    for (int i = 0; i < 300; ++i) {
      ScoredTick k;
      k.seconds = i / 10.0;
      k.truthFloorId = k.floorId = 1;
      k.hasPosition = true;
      k.truthX = 1.2 * k.seconds;
      k.x = 1.2 * (k.seconds - c.delay);
      ticks.push_back(k);
    }
    const eval::TrackFigures f = eval::ScoreTrack(ticks, 8, 3);
    ASSERT_FALSE(f.earlierErrors.empty());
    EXPECT_NEAR(replay::Quantile(f.errors, 0.5), c.now, 1e-6) << c.delay;
    EXPECT_NEAR(replay::Quantile(f.earlierErrors, 0.5), c.earlier, 1e-6) << c.delay;
  }
  EXPECT_TRUE(eval::AgainstEarlierTruth({}).empty());
}

}  // namespace
