#include "venuesim/gait.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using namespace venuesim;

double Norm(const MotionSample& s) { return std::sqrt(s.x * s.x + s.y * s.y + s.z * s.z); }

TEST(GaitTest, StillPhoneSeesGravityAndTheDippingField) {
  GaitConfig c;
  c.inclination = 60 * M_PI / 180;
  const GaitRecording r = SimulateWalk(c, {WalkSegment::Stand(10)});
  ASSERT_EQ(r.acc.size(), 1000u);
  ASSERT_EQ(r.magn.size(), 500u);
  EXPECT_TRUE(r.steps.empty());
  double g = 0, field = 0, dip = 0;
  for (const MotionSample& a : r.acc) g += Norm(a) / r.acc.size();
  for (size_t i = 0; i < r.magn.size(); ++i) {
    const MotionSample& m = r.magn[i];
    const MotionSample& a = r.acc[2 * i];
    field += Norm(m) / r.magn.size();
    dip += (std::acos((m.x * a.x + m.y * a.y + m.z * a.z) / (Norm(m) * Norm(a))) - M_PI / 2) /
           r.magn.size();
  }
  EXPECT_NEAR(g, 9.80665, 0.1);
  EXPECT_NEAR(field, c.fieldStrength, 2.0);
  EXPECT_NEAR(dip, c.inclination, 0.05);
  EXPECT_EQ(SimulateWalk(c, {WalkSegment::Stand(10)}).magn[7].x, r.magn[7].x);  // seeded
}

TEST(GaitTest, GyroscopeIntegratesToTheTurn) {
  GaitConfig c;
  c.phonePitch = 0.0;  // flat: the turn is about the device z axis
  c.gyroBias = 0.0;
  const GaitRecording r = SimulateWalk(c, {WalkSegment::Turn(3, -2.0), WalkSegment::Stand(1)});
  double yaw = 0.0;
  for (const MotionSample& s : r.gyro) yaw += s.z / c.gyroRate;
  EXPECT_NEAR(yaw, 2.0, 0.02);  // a turn to the left is positive about the up axis
  EXPECT_NEAR(r.headingAt(r.endTime - 0.5).deviceHeading, -2.0, 1e-9);
  const GaitRecording p = SimulateWalk(c, {WalkSegment::RotatePhone(2, 0.8, 0.0, 0.0)});
  EXPECT_NEAR(p.headings.back().bodyHeading, 0.0, 1e-9);
  EXPECT_NEAR(p.headings.back().deviceHeading, 0.8, 1e-3);
}

}  // namespace
