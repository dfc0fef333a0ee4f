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

TEST(QuaternionTest, RotationMatricesOfHalfTurnsGiveFiniteQuaternions) {
  const double half[3][9] = {{1, 0, 0, 0, -1, 0, 0, 0, -1},
                             {-1, 0, 0, 0, 1, 0, 0, 0, -1},
                             {-1, 0, 0, 0, -1, 0, 0, 0, 1}};
  for (int axis = 0; axis < 3; ++axis) {
    const Quaternion q = Quaternion::fromRotationMatrix(half[axis]);
    EXPECT_NEAR(std::fabs(axis == 0 ? q.x : axis == 1 ? q.y : q.z), 1.0, 1e-12);
  }
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
        motiontest::MotionLoop loop(EngineBehaviour::kit(), c.floorAzimuth, c.declination);
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
    motiontest::MotionLoop loop(EngineBehaviour::kit(), c.floorAzimuth, c.declination);
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

// Streams that are never fused (here the magnetometer is missing) keep only
// the newest seconds, whatever the auto-clear setting.
TEST(SensorFusionTest, BuffersStayBoundedWithoutFusion) {
  for (bool autoClear : {false, true}) {
    SensorFusion f(EngineBehaviour::kit());
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
    motiontest::MotionLoop loop(EngineBehaviour::kit(), 0.2, 0.05);
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

// A step detected late goes along the heading of its own time: during and
// after a corner turned while walking, the heading a moment ago is the one
// the phone had then, not the current one; too far back the oldest kept
// stands in, and with classic defaults the current heading always answers.
TEST(SensorFusionTest, HeadingOfAMomentAgoFollowsTheTurn) {
  GaitConfig g;
  g.seed = 44;
  g.startHeading = 0.4;
  g.floorAzimuth = 0.2;
  g.declination = 0.05;
  g.phonePitch = 0.6;
  g.phoneRoll = 0.2;
  const GaitRecording rec = SimulateWalk(
      g, {WalkSegment::Stand(6), WalkSegment::Walk(4, 1.2), WalkSegment::Walk(2, 1.2, M_PI / 2),
          WalkSegment::Walk(3, 1.2)});
  struct Case {
    double end;   // s after the start when the question is asked
    double back;  // s before then the heading is asked for
    bool classic;
    double tolerance;  // rad against the truth of that time
  };
  const Case cases[] = {
      // 5 degrees: the phone sways up to 1.5 degrees each way with every step.
      {11.0, 0.5, false, 5 * kDeg},  // mid-corner, heading half a second ago
      {12.2, 1.0, false, 5 * kDeg},  // after the corner, heading from inside it
      {12.2, 2.5, false, 5 * kDeg},  // before the corner
      {12.2, 10.0, false, -1.0},     // beyond what is kept: the oldest kept
      {12.2, 1.0, true, -1.0},       // classic: the current heading
  };
  for (const Case& c : cases) {
    motiontest::MotionLoop loop(c.classic ? EngineBehaviour::original() : EngineBehaviour::kit(), g.floorAzimuth,
                                g.declination);
    // Only the heading's behaviour differs between the cases: the kit's steps in both.
    loop.pedometer = Pedometer(EngineBehaviour::kit());
    double now = 0.0;
    for (std::vector<SensorValue>& m : motiontest::Messages(rec)) {
      if (m.back().getTimeInSeconds() > g.startTime + c.end) break;
      now = loop.step(m).time;
    }
    const double asked = now - c.back;
    const double got = loop.fusion.headingAt(asked);
    if (c.tolerance > 0.0) {
      // The fused heading carries the start's magnetic offset; the turn
      // between then and now does not.
      const double truth = AngleDiff(rec.headingAt(asked).deviceHeading, rec.headingAt(now).deviceHeading);
      EXPECT_NEAR(AngleDiff(AngleDiff(got, Heading(loop.fusion)), truth), 0.0, c.tolerance)
          << c.end << " " << c.back;
    } else if (c.classic) {
      EXPECT_DOUBLE_EQ(got, Heading(loop.fusion));
    } else {
      EXPECT_DOUBLE_EQ(got, loop.fusion.headingAt(now - 50.0));
      EXPECT_TRUE(std::isfinite(got));
    }
  }
}
