#include "wifipos/motion/sensor_fusion.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "motion_test_util.h"

namespace {

using motiontest::AngleDiff;
using venuesim::GaitConfig;
using venuesim::GaitRecording;
using venuesim::SimulateWalk;
using venuesim::WalkSegment;

constexpr double kDeg = M_PI / 180.0;

SensorValue Sample(int type, double t, double x, double y, double z) {
  return motiontest::ToSensorValue({t, x, y, z, type});
}

double Heading(const SensorFusion& f) {
  double o[3];
  f.getFusedOrientation(o);
  return o[0];
}

// Flat phone, top edge towards magnetic north unless the field says otherwise.
std::vector<SensorValue> StillMessage(double t0, double gyroZ, double mx = 0.0, double my = 20.0) {
  std::vector<SensorValue> m;
  for (int i = 0; i < 10; ++i) {
    const double t = t0 + i * 0.01;
    m.push_back(Sample(101, t, 0.0, 0.0, 9.81));
    m.push_back(Sample(103, t, 0.0, 0.0, gyroZ));
    if (i % 2 == 0) m.push_back(Sample(102, t, mx, my, -40.0));
  }
  return m;
}

TEST(QuaternionTest, RotationMatricesOfHalfTurnsGiveFiniteQuaternions) {
  const double half[3][9] = {{1, 0, 0, 0, -1, 0, 0, 0, -1},
                             {-1, 0, 0, 0, 1, 0, 0, 0, -1},
                             {-1, 0, 0, 0, -1, 0, 0, 0, 1}};
  for (int axis = 0; axis < 3; ++axis) {
    const Quaternion q = Quaternion::fromRotationMatrix(half[axis]);
    EXPECT_NEAR(std::fabs(axis == 0 ? q.x : axis == 1 ? q.y : q.z), 1.0, 1e-12);
  }
}

TEST(SensorFusionTest, FlatPhoneFacingMagneticNorth) {
  SensorFusion f;
  f.calculateAccMagnQuaternion(Sample(101, 1, 0, 0, 9.81), Sample(102, 1, 0, 20, -40));
  EXPECT_NEAR(f.getAccMagnQuaternion().w, 1.0, 1e-12);
  const double azimuth = 0.5, declination = 0.1;
  f.setLocationParameters(azimuth, declination);
  for (int k = 0; k < 10; ++k) {
    std::vector<SensorValue> m = StillMessage(100.0 + 0.1 * k, 0.0);
    ASSERT_EQ(f.updateMeasurements(m), 0);
  }
  EXPECT_NEAR(AngleDiff(Heading(f), -(azimuth - declination)), 0.0, 1e-6);
  bool computed = false;
  EXPECT_FALSE(f.checkRotation(computed));
  EXPECT_TRUE(computed);
  for (int k = 0; k < 5; ++k) {  // a quick turn
    std::vector<SensorValue> m = StillMessage(101.0 + 0.1 * k, 1.0);
    f.updateMeasurements(m);
  }
  EXPECT_TRUE(f.checkRotation(computed));
  EXPECT_FALSE(SensorFusion().checkRotation(computed));
  EXPECT_FALSE(computed);  // no gyroscope
}

TEST(SensorFusionTest, EveryAttitudeGivesAFiniteHeading) {
  int checked = 0;
  for (double heading : {0.0, 90.0, 180.0, 270.0, 200.0})
    for (double pitch : {-180.0, -90.0, -60.0, 0.0, 45.0, 90.0})
      for (double roll : {-90.0, 0.0, 30.0, 90.0, 180.0}) {
        GaitConfig c;
        c.seed = 17;
        c.declination = 20.0 * kDeg;  // heading 200 faces magnetic south
        c.startHeading = heading * kDeg;
        c.phonePitch = pitch * kDeg;
        c.phoneRoll = roll * kDeg;
        const bool exact = heading == 200.0;
        if (exact) c.accNoise = c.accBias = c.magnNoise = c.magnBias = c.gyroNoise = c.gyroBias = 0;
        const GaitRecording rec = SimulateWalk(c, {WalkSegment::Stand(3)});
        motiontest::MotionLoop loop(c.floorAzimuth, c.declination);
        double last = 0.0;
        for (const motiontest::TrackPoint& p : loop.run(rec)) {
          ASSERT_TRUE(std::isfinite(p.heading)) << heading << " " << pitch << " " << roll;
          last = p.heading;
        }
        double o[3];
        loop.fusion.getFusedOrientation(o);
        EXPECT_TRUE(std::isfinite(o[1]) && std::isfinite(o[2]));
        // Where the top edge is not vertical and the phone not rolled, the
        // heading is the top edge's direction.
        if (roll == 0.0 && std::fabs(pitch) <= 60.0) {
          EXPECT_NEAR(AngleDiff(last, heading * kDeg), 0.0, 3.0 * kDeg)
              << heading << " " << pitch;
          ++checked;
        }
      }
  EXPECT_EQ(checked, 15);
}

struct TurnCase {
  double turn;
  bool inPlace;
};

TEST(SensorFusionTest, HeadingFollowsTurnsWithinTenDegrees) {
  for (const TurnCase tc : {TurnCase{90, false}, TurnCase{90, true}, TurnCase{180, false},
                            TurnCase{-180, true}, TurnCase{360, false}, TurnCase{-360, true},
                            TurnCase{-90, false}}) {
    GaitConfig c;
    c.seed = 11 + static_cast<uint64_t>(std::fabs(tc.turn));
    c.floorAzimuth = 0.4;
    c.declination = 0.1;
    c.startHeading = 0.3;
    std::vector<WalkSegment> segs = {WalkSegment::Stand(5), WalkSegment::Walk(8, 1.3)};
    if (tc.inPlace) {
      segs.push_back(WalkSegment::Stand(1));
      segs.push_back(WalkSegment::Turn(std::fabs(tc.turn) / 60.0, tc.turn * kDeg));
    } else {
      segs.push_back(WalkSegment::Walk(std::fabs(tc.turn) / 30.0, 1.3, tc.turn * kDeg));
    }
    segs.push_back(WalkSegment::Walk(8, 1.3));
    segs.push_back(WalkSegment::Stand(5));
    const GaitRecording rec = SimulateWalk(c, segs);
    motiontest::MotionLoop loop(c.floorAzimuth, c.declination);
    double worst = 0.0;
    bool turning = false, walking = false;
    for (const motiontest::TrackPoint& p : loop.run(rec)) {
      if (p.time < c.startTime + 2.0) continue;  // the input low pass settles
      worst = std::max(worst, std::fabs(AngleDiff(p.heading, rec.headingAt(p.time).deviceHeading)));
      turning = turning || p.motionState == 1 || p.motionState == 3;
      walking = walking || p.motionState == 2;
    }
    EXPECT_LT(worst, 10.0 * kDeg) << tc.turn << (tc.inPlace ? " in place" : " walking");
    EXPECT_TRUE(turning && walking);
    EXPECT_EQ(loop.resets, 1);
  }
}

TEST(SensorFusionTest, CorrectionStrengthByMotionState) {
  SensorFusion f;
  // A stop whose gyroscope claims a slow turn while the compass stays put.
  f.setAccCoef(1e15);
  f.setMagnCoef(1e15);
  for (int k = 0; k < 30; ++k) {
    std::vector<SensorValue> m = StillMessage(100.0 + 0.1 * k, 0.1);
    f.updateMeasurements(m);
  }
  EXPECT_NEAR(Heading(f), -0.1 * 2.9, 0.03);  // pure gyroscope
  bool computed = false;
  EXPECT_FALSE(f.checkRotation(computed));  // too slow to count as turning

  // Walking starts: the heading returns to the stop's averaged orientation.
  bool reset = false;
  f.setMotionState(2, true, reset);
  EXPECT_TRUE(reset);
  EXPECT_NEAR(Heading(f), 0.0, 1e-3);
  // A stop without any sample has nothing to re-seed from.
  f.setMotionState(0, true, reset);
  f.setMotionState(2, true, reset);
  EXPECT_FALSE(reset);
  EXPECT_NEAR(Heading(f), 0.0, 1e-3);

  // The compass now reads 30 degrees right. Moving: it is ignored.
  const double s30 = std::sin(30 * kDeg), c30 = std::cos(30 * kDeg);
  f.calculateAccMagnQuaternion(Sample(101, 104, 0, 0, 9.81),
                               Sample(102, 104, -20 * s30, 20 * c30, -40));
  f.setAccCoef(1e15);
  f.setMagnCoef(1e15);
  f.updateFusedQuaternion(0.1);
  EXPECT_NEAR(Heading(f), 0.0, 1e-9);
  // Standing with both time constants 1 s: one 0.1 s update moves about
  // 0.1 / 1.1 of the way to the compass.
  f.setAccCoef(1.0);
  f.setMagnCoef(1.0);
  f.updateFusedQuaternion(0.1);
  EXPECT_NEAR(Heading(f), 30 * kDeg * 0.1 / 1.1, 0.2 * kDeg);
}

// Orientations on either side of the yaw wrap-around have quaternions of
// opposite sign; the blend must still move towards the compass.
TEST(SensorFusionTest, CorrectionAcrossTheWrapAround) {
  const auto field = [](double t, double heading) {
    return Sample(102, t, -20 * std::sin(heading), 20 * std::cos(heading), -40);
  };
  SensorFusion f;
  for (int i = 0; i < 20; ++i) {
    SensorValue a = Sample(101, 100 + 0.01 * i, 0, 0, 9.81), m = field(100 + 0.01 * i, -179 * kDeg);
    f.updateMeasurement(a);
    f.updateMeasurement(m);
  }
  bool reset = false;
  f.setMotionState(2, true, reset);
  ASSERT_NEAR(Heading(f), -179 * kDeg, 1e-6);
  f.calculateAccMagnQuaternion(Sample(101, 101, 0, 0, 9.81), field(101, 179 * kDeg));
  f.setAccCoef(1.0);
  f.setMagnCoef(1.0);
  f.updateFusedQuaternion(0.1);
  EXPECT_NEAR(AngleDiff(Heading(f), -179 * kDeg), -2 * kDeg * 0.1 / 1.1, 0.05 * kDeg);
}

TEST(SensorFusionTest, SampleAcceptance) {
  SensorFusion f;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::pair<SensorValue, int> cases[] = {
      {Sample(101, 10.0, 0, 0, 9.8), 0},    {Sample(101, 10.0, 0, 0, 9.8), -1},  // duplicate
      {Sample(101, 10.0, 0, 0.1, 9.8), 0},  // same time, other values
      {Sample(101, 9.99, 0, 0, 9.8), -1},   {Sample(101, 0.0, 0, 0, 9.8), -1},
      {Sample(101, 11.0, 0, 0, 0), -1},     {Sample(103, 11.0, nan, 0, 0), -1},
      {Sample(102, 11.0, 0, 0, -HUGE_VAL), -1},
      {Sample(103, 11.0, 0, 0, 0), 0},  // a still gyroscope may read exact zeros
      {Sample(105, 11.0, 55, 37, 0), 0},    {Sample(999, 11.0, 1, 1, 1), 0}};
  for (const auto& [sample, expected] : cases) {
    SensorValue v = sample;
    EXPECT_EQ(f.updateMeasurement(v), expected) << v.getSensorString();
  }
  EXPECT_EQ(f.getAccSize(), 2u);
  EXPECT_EQ(f.getGravitySize(), 2u);
  EXPECT_EQ(f.getGyroSize(), 1u);
  EXPECT_EQ(f.getMagnSize(), 0u);
  Quaternion q(1, 2, 3, 4);
  SensorFusion::calculateRotationQuaternionFromGyro(q, Sample(103, 1, 5e-5, 5e-5, 0), 0.01);
  EXPECT_TRUE(q.isIdentity());
}

// Streams that are never fused (here the magnetometer is missing) keep only
// the newest seconds, whatever the auto-clear setting.
TEST(SensorFusionTest, BuffersStayBoundedWithoutFusion) {
  for (bool autoClear : {false, true}) {
    SensorFusion f;
    f.setAutoClearOldMeasurements(autoClear);
    for (int k = 0; k < 6000; ++k) {
      std::vector<SensorValue> m;
      for (int i = 0; i < 10; ++i) {
        const double t = 100.0 + k * 0.1 + i * 0.01;
        m.push_back(Sample(101, t, 0.1, 0.0, 9.8));
        m.push_back(Sample(103, t, 0.0, 0.0, 0.01));
      }
      f.updateMeasurements(m);
    }
    EXPECT_LE(f.getAccSize(), 1000u);
    EXPECT_LE(f.getGyroSize(), 1000u);
    EXPECT_EQ(f.getGravitySize(), f.getAccSize());
    EXPECT_TRUE(std::isfinite(Heading(f)));
  }
}

TEST(SensorFusionTest, MutatedMessagesNeverGiveAnUndefinedHeading) {
  GaitConfig c;
  c.seed = 5;
  const GaitRecording rec = SimulateWalk(
      c, {WalkSegment::Stand(3), WalkSegment::Walk(10, 1.3, M_PI), WalkSegment::Stand(2)});
  std::mt19937 rng(77);
  for (int round = 0; round < 12; ++round) {
    motiontest::MotionLoop loop(0.2, 0.05);
    loop.fusion.setAutoClearOldMeasurements(round % 3 != 0);
    for (std::vector<SensorValue>& m : motiontest::Messages(rec)) {
      motiontest::Mutate(m, rng);
      const motiontest::TrackPoint p = loop.step(m);
      ASSERT_TRUE(std::isfinite(p.heading)) << "round " << round;
      ASSERT_TRUE(loop.fusion.getFusedQuaternion().isFinite());
    }
    EXPECT_LE(loop.fusion.getAccSize(), SensorFusion::kMaxBufferedSamples);
  }
}

}  // namespace
