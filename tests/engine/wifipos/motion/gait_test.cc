#include "venuesim/gait.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using namespace venuesim;

constexpr double kG = 9.80665;

double Norm(const MotionSample& s) { return std::sqrt(s.x * s.x + s.y * s.y + s.z * s.z); }

TEST(GaitTest, SameSeedSameSensorsOtherSeedOtherNoise) {
  GaitConfig c;
  c.seed = 42;
  const std::vector<WalkSegment> walk = {WalkSegment::Stand(1), WalkSegment::Walk(5, 1.2, 1.0)};
  const GaitRecording a = SimulateWalk(c, walk);
  const GaitRecording b = SimulateWalk(c, walk);
  ASSERT_EQ(a.acc.size(), b.acc.size());
  for (size_t i = 0; i < a.acc.size(); ++i) EXPECT_EQ(a.acc[i].z, b.acc[i].z);
  ASSERT_EQ(a.steps.size(), b.steps.size());
  c.seed = 43;
  const GaitRecording d = SimulateWalk(c, walk);
  EXPECT_NE(a.acc[10].z, d.acc[10].z);
}

TEST(GaitTest, RatesTimesAndStillReadings) {
  GaitConfig c;
  c.accRate = 100;
  c.magnRate = 50;
  c.gyroRate = 100;
  c.inclination = 60 * M_PI / 180;
  const GaitRecording r = SimulateWalk(c, {WalkSegment::Stand(10)});
  EXPECT_EQ(r.acc.size(), 1000u);
  EXPECT_EQ(r.gyro.size(), 1000u);
  EXPECT_EQ(r.magn.size(), 500u);
  EXPECT_TRUE(r.steps.empty());
  double g = 0, field = 0, dip = 0, rate = 0;
  for (size_t i = 0; i < r.acc.size(); ++i) {
    EXPECT_EQ(r.acc[i].type, 101);
    EXPECT_DOUBLE_EQ(r.acc[i].time * 1000.0, std::round(r.acc[i].time * 1000.0));
    if (i) EXPECT_GT(r.acc[i].time, r.acc[i - 1].time);
    g += Norm(r.acc[i]);
    rate += Norm(r.gyro[i]);
  }
  for (size_t i = 0; i < r.magn.size(); ++i) {
    const MotionSample& m = r.magn[i];
    const MotionSample& a = r.acc[2 * i];
    field += Norm(m);
    const double cosAngle = (m.x * a.x + m.y * a.y + m.z * a.z) / (Norm(m) * Norm(a));
    dip += std::acos(cosAngle) - M_PI / 2;  // below the horizon
  }
  EXPECT_NEAR(g / r.acc.size(), kG, 0.1);
  EXPECT_NEAR(field / r.magn.size(), c.fieldStrength, 2.0);
  EXPECT_NEAR(dip / r.magn.size(), c.inclination, 0.05);
  EXPECT_LT(rate / r.gyro.size(), 0.02);
  const std::vector<MotionSample> all = r.merged();
  EXPECT_EQ(all.size(), 2500u);
  for (size_t i = 1; i < all.size(); ++i) EXPECT_LE(all[i - 1].time, all[i].time);
}

TEST(GaitTest, StepsFollowPaceAndTurns) {
  for (double speed : {0.8, 1.3, 1.8}) {
    GaitConfig c;
    c.startHeading = 0.5;
    const GaitRecording r = SimulateWalk(c, {WalkSegment::Walk(30, speed, M_PI / 2)});
    const double f = StepFrequencyForSpeed(speed);
    EXPECT_NEAR(r.steps.size(), 30 * f, 3.0);
    double length = 0;
    for (const StepTruth& s : r.steps) length += s.length;
    EXPECT_NEAR(length / r.steps.size(), speed / f, 0.03);
    EXPECT_NEAR(r.steps.front().heading, 0.5, 0.01);
    EXPECT_NEAR(r.steps.back().heading, 0.5 + M_PI / 2, 0.02);
    // Walking shakes the phone by a few m/s2 once per step.
    double lo = 1e9, hi = -1e9;
    for (const MotionSample& s : r.acc) {
      lo = std::min(lo, Norm(s));
      hi = std::max(hi, Norm(s));
    }
    EXPECT_GT(hi - lo, 2.0);
    EXPECT_LT(hi - lo, 20.0);
  }
}

TEST(GaitTest, GyroscopeIntegratesToTheTurn) {
  GaitConfig c;
  c.phonePitch = 0.0;  // flat: the turn is about the device z axis
  c.gyroBias = 0.0;
  const double turn = -2.0;
  const GaitRecording r =
      SimulateWalk(c, {WalkSegment::Stand(1), WalkSegment::Turn(3, turn), WalkSegment::Stand(1)});
  double yaw = 0.0;
  for (const MotionSample& s : r.gyro) yaw += s.z / c.gyroRate;
  // A turn to the right is a negative rotation about the up axis.
  EXPECT_NEAR(yaw, -turn, 0.02);
  EXPECT_NEAR(r.headings.back().bodyHeading, turn, 1e-9);
  EXPECT_NEAR(r.headingAt(r.endTime - 0.5).deviceHeading, turn, 1e-9);

  const GaitRecording p = SimulateWalk(
      c, {WalkSegment::Stand(1), WalkSegment::RotatePhone(2, 0.8, 0.0, 0.0)});
  EXPECT_NEAR(p.headings.back().bodyHeading, 0.0, 1e-9);
  EXPECT_NEAR(p.headings.back().deviceHeading, 0.8, 1e-3);
}

}  // namespace
