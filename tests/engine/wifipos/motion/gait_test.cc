#include "venuesim/gait.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using namespace venuesim;

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
