// The simulated walker's motion as the accelerometer of a level phone sees it
// (top edge forward, screen up, no noise or bias): the body neither speeds up
// nor slows down over a stride, rises and falls once a step with the heel
// strike on top, sways once a stride, and steps at the pace of its speed.
#include "venuesim/gait.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

using namespace venuesim;

constexpr double kG = 9.80665;

struct Stats {
  double mean = 0, spread = 0;
  int n = 0;
};

// Mean and standard deviation of one axis over [from, to).
Stats Over(const std::vector<MotionSample>& acc, double from, double to, double MotionSample::*axis) {
  Stats s;
  double sq = 0;
  for (const MotionSample& m : acc) {
    if (m.time < from || m.time >= to) continue;
    s.mean += m.*axis;
    sq += m.*axis * m.*axis;
    ++s.n;
  }
  if (s.n == 0) return s;
  s.mean /= s.n;
  s.spread = std::sqrt(std::max(0.0, sq / s.n - s.mean * s.mean));
  return s;
}

GaitRecording LevelWalk(double speed, uint64_t seed) {
  GaitConfig c;
  c.seed = seed;
  c.phonePitch = 0;
  c.phoneYaw = 0;
  c.phoneRoll = 0;
  c.accNoise = c.accBias = c.gyroNoise = c.gyroBias = c.magnNoise = c.magnBias = 0;
  c.accRate = 1000;  // fine enough that a stride's mean is the motion's, not the sampling's
  return SimulateWalk(c, {WalkSegment::Stand(1.0), WalkSegment::Walk(20.0, speed), WalkSegment::Stand(1.0)});
}

TEST(GaitTest, StridesAverageOutAndStepsKeepThePaceOfTheSpeed) {
  for (double speed : {0.8, 1.4, 1.9}) {
    SCOPED_TRACE(speed);
    const GaitRecording r = LevelWalk(speed, 11);
    ASSERT_GE(r.steps.size(), 30u);

    // Pace: the step period and length of the speed, and the distance walked.
    const double f = StepFrequencyForSpeed(speed);
    const double period = (r.steps.back().time - r.steps.front().time) / (r.steps.size() - 1);
    EXPECT_NEAR(period, 1 / f, 0.03 / f);
    double walked = 0;
    for (const StepTruth& s : r.steps) walked += s.length;
    EXPECT_NEAR(walked / r.steps.size(), speed / f, 0.03 * speed / f);
    EXPECT_NEAR(walked, speed * 20.0, 1e-9);

    for (size_t i = 0; i + 2 < r.steps.size(); i += 2) {
      const double from = r.steps[i].time, mid = r.steps[i + 1].time, to = r.steps[i + 2].time;
      SCOPED_TRACE(testing::Message() << "stride at " << from);
      const Stats forward = Over(r.acc, from, to, &MotionSample::y);
      const Stats side = Over(r.acc, from, to, &MotionSample::x);
      const Stats up = Over(r.acc, from, to, &MotionSample::z);
      // Braking and push-off cancel; so do the sways to either foot; the
      // rise and fall leaves gravity.
      EXPECT_NEAR(forward.mean, 0.0, 0.03 * forward.spread + 0.01);
      EXPECT_NEAR(side.mean, 0.0, 0.1 * side.spread + 0.01);
      EXPECT_NEAR(up.mean, kG, 0.02 * up.spread + 0.01);
      // ...but each is there.
      EXPECT_GT(forward.spread, 0.15);
      EXPECT_GT(up.spread, 0.3);
      EXPECT_GT(up.spread, forward.spread);
      // Over one step the sway does not cancel: it leans to one foot.
      const Stats firstSide = Over(r.acc, from, mid, &MotionSample::x);
      const Stats secondSide = Over(r.acc, mid, to, &MotionSample::x);
      EXPECT_LT(firstSide.mean * secondSide.mean, 0.0);
      EXPECT_GT(std::fabs(firstSide.mean), 0.05);
    }

    // The vertical peak of every step comes with its heel strike.
    for (size_t i = 0; i + 1 < r.steps.size(); ++i) {
      const double from = r.steps[i].time, to = r.steps[i + 1].time;
      double best = -1e9, at = 0;
      for (const MotionSample& m : r.acc)
        if (m.time >= from && m.time < to && m.z > best) best = m.z, at = m.time;
      const double phase = (at - from) / (to - from);
      EXPECT_TRUE(phase < 0.1 || phase > 0.95) << "peak at phase " << phase << " of step " << i;
    }

    // Standing before and after: gravity alone.
    const Stats still = Over(r.acc, r.acc.front().time, r.steps.front().time - 1e-9, &MotionSample::z);
    EXPECT_NEAR(still.mean, kG, 1e-6);
    EXPECT_LT(still.spread, 1e-6);
  }
}

// A bout (stretches one after another at one speed) is walked in whole
// steps from its first moment, so the heel strikes account for every metre,
// short bouts between stops too. The rhythm runs on across a bout's joins: a
// waypoint 1 m on does not make the walker take two quick half steps. A
// change of speed (onto the stairs) starts a new bout.
TEST(GaitTest, EveryBoutIsWalkedInWholeSteps) {
  const struct {
    std::vector<double> stretches;  // seconds, walked one after another
    double speed;
    bool turnAfter;  // else the next bout follows at once at its own speed
  } bouts[] = {{{0.25}, 1.2, true},       {{0.7}, 1.3, true},          {{1.1}, 0.9, true},
               {{1.6}, 1.4, true},        {{7.3}, 1.1, true},          {{0.833, 1.083}, 1.2, true},
               {{0.4, 0.4, 0.4}, 1.2, false}, {{2.0}, 0.6, true}};
  std::vector<WalkSegment> plan = {WalkSegment::Stand(1.0)};
  for (const auto& b : bouts) {
    for (double d : b.stretches) plan.push_back(WalkSegment::Walk(d, b.speed));
    if (b.turnAfter) plan.push_back(WalkSegment::Turn(0.8, 1.5));
  }
  GaitConfig c;
  c.seed = 5;
  const GaitRecording r = SimulateWalk(c, plan);
  double start = c.startTime + 1.0;
  size_t k = 0;
  for (const auto& b : bouts) {
    double duration = 0;
    for (double d : b.stretches) duration += d;
    SCOPED_TRACE(duration);
    ASSERT_LT(k, r.steps.size());
    EXPECT_NEAR(r.steps[k].time, start, 1e-9);
    double walked = 0;
    int n = 0;
    for (; k < r.steps.size() && r.steps[k].time < start + duration - 1e-9; ++k, ++n) walked += r.steps[k].length;
    EXPECT_NEAR(walked, duration * b.speed, 1e-9);
    // At the pace of the speed, within half a step; a bout shorter than
    // that still takes one.
    const double pace = duration * StepFrequencyForSpeed(b.speed);
    EXPECT_GE(n, std::max(1.0, pace - 0.5));
    EXPECT_LE(n, std::max(1.0, pace + 0.5));
    start += duration + (b.turnAfter ? 0.8 : 0.0);
  }
  EXPECT_EQ(k, r.steps.size());
}

// Turns, on the spot and while walking, show on a level phone's gyroscope as
// rotation about the vertical axis: a right turn is clockwise seen from above.
TEST(GaitTest, TurnsShowAsRotationAboutTheVerticalAxis) {
  GaitConfig c;
  c.phonePitch = 0;
  c.accNoise = c.accBias = c.gyroNoise = c.gyroBias = c.magnNoise = c.magnBias = 0;
  const double quarter = M_PI / 2;
  const GaitRecording r = SimulateWalk(
      c, {WalkSegment::Stand(1), WalkSegment::Turn(2, quarter), WalkSegment::Walk(6, 1.2, -quarter / 2), WalkSegment::Stand(1)});
  double turned = 0, pitched = 0, rolled = 0;
  for (const MotionSample& g : r.gyro) {
    turned += g.z / c.gyroRate;
    pitched += g.x / c.gyroRate;
    rolled += g.y / c.gyroRate;
  }
  EXPECT_NEAR(turned, -quarter / 2, 0.02);
  // The sway rocks the phone back and forth a few degrees; it ends level.
  EXPECT_NEAR(pitched, 0.0, 0.02);
  EXPECT_NEAR(rolled, 0.0, 0.02);
  EXPECT_NEAR(r.headings.back().bodyHeading, quarter / 2, 1e-9);
  EXPECT_NEAR(r.headingAt(1000 + 3).bodyHeading, quarter, 1e-9);
  EXPECT_NEAR(r.headingAt(1000 + 2).bodyHeading, quarter / 2, 1e-9);  // halfway through the turn
}

TEST(GaitTest, SameSeedSameSamplesOtherSeedOtherSteps) {
  const GaitRecording a = LevelWalk(1.4, 5), b = LevelWalk(1.4, 5), c = LevelWalk(1.4, 6);
  ASSERT_EQ(a.acc.size(), b.acc.size());
  for (size_t i = 0; i < a.acc.size(); ++i) ASSERT_EQ(a.acc[i].z, b.acc[i].z);
  ASSERT_FALSE(a.steps.empty());
  ASSERT_FALSE(c.steps.empty());
  EXPECT_NE(a.steps[3].time, c.steps[3].time);
}

// A walker whose swing is set apart from its steps: the vertical
// acceleration's spread is the swing's (a cosine's amplitude over the square
// root of two, the heel strike's harmonic adding a little) whatever the step
// length, and the sway follows its scale.
TEST(GaitTest, SwingIsTheWalkersWhateverTheStepLength) {
  struct Case {
    double speed, swing;
  } const kCases[] = {{0.8, 1.0}, {1.8, 1.0}, {0.8, 3.0}, {1.8, 3.0}};
  for (const Case& k : kCases) {
    GaitConfig c;
    c.seed = 5;
    c.phonePitch = 0;
    c.accNoise = c.accBias = 0;
    c.swing = k.swing;
    const GaitRecording r =
        SimulateWalk(c, {WalkSegment::Stand(1.0), WalkSegment::Walk(20.0, k.speed), WalkSegment::Stand(1.0)});
    const Stats up = Over(r.acc, 3.0 + c.startTime, 19.0 + c.startTime, &MotionSample::z);
    const double expected = k.swing * std::sqrt((1.0 + 0.25 * 0.25) / 2.0);
    EXPECT_NEAR(up.spread, expected, 0.05 * expected) << k.speed << " " << k.swing;
  }
}

}  // namespace
