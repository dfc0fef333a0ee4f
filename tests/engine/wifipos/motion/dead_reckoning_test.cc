// Dead reckoning from the motion objects on generated walks of about 100 m
// with 90 degree corners: a phone held at several attitudes by walkers of
// several paces, cadences and gyroscope biases. The walks here are check
// walks (seeds 1-36); the model's constants come from other seeds (the
// magnetometer offset's from seeds 101-136, 201-236 and 301-336).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <iterator>
#include <vector>

#include "dead_reckoning_score.h"

namespace {

using motiontest::Carriage;
using motiontest::DeadReckoningScore;
using motiontest::Turns;
using motiontest::Walker;

constexpr double kDeg = M_PI / 180.0;

const Carriage kCarriages[] = {{0.5, 0.0}, {0.9, 0.0}, {0.3, 0.35}, {0.7, -0.3}};
const Walker kWalkers[] = {{1.2, 1.0, 0.001},    // typical adult, calibrated gyroscope
                           {1.4, 0.88, 0.008},   // long quick strides, biased gyroscope
                           {1.0, 1.12, 0.004}};  // short steps at a high cadence
const Turns kTurns[] = {Turns::Right, Turns::Left, Turns::Mixed};

struct Summary {
  double distance = 0.0, heading = 0.0, turn = 0.0, end = 0.0;  // worst
  double meanDistance = 0.0, meanEnd = 0.0, within3m = 0.0;
  void add(const DeadReckoningScore& s, int n) {
    distance = std::max(distance, s.distanceError);
    heading = std::max(heading, s.worstHeading);
    turn = std::max(turn, s.worstTurn);
    end = std::max(end, s.endError);
    meanDistance += s.distanceError / n;
    meanEnd += s.endError / n;
    within3m += (s.endError <= 3.0 ? 1.0 : 0.0) / n;
  }
  void print(const char* name) const {
    std::printf("[ dr       ] %-7s distance off %.2f%% (worst %.2f%%); heading on legs after turns "
                "worst %.1f deg, of a turn worst %.1f deg; end off %.2f m (worst %.2f m, %.0f%% "
                "within 3 m)\n",
                name, 100.0 * meanDistance, 100.0 * distance, heading / kDeg, turn / kDeg, meanEnd,
                end, 100.0 * within3m);
  }
};

// Every attitude, walker and turn direction, each on its own walk: the
// heading on every leg after a turn within 5 degrees and the end within 3 m
// besides what the length is off. The length comes from the swing alone:
// how long a walker's steps are for a swing is the radio's to teach (with
// the radio off no gain is learnt), so a walker's steps may all be off by
// one scale, within the learnt gain's reach. What the radio cannot teach is
// a scale that changes from walk to walk of one walker: with the scale of
// its walks taken out, as a learnt gain would, every walk's distance is
// within 4 %. The first heading comes
// from the magnetometer, which a residual hard-iron bias of the simulated
// phone turns by a few degrees; once the walker has turned, the bias is
// learnt and the heading comes round, which shows as up to a few degrees
// in a corner's measured turn. Each step goes along the heading of the time
// it began, not of the moment it was detected, which after a corner would
// send the leg's last step sideways. The original motion objects, scored
// alongside, miss all of this by far.
TEST(DeadReckoningTest, CheckWalksHoldLengthAndHeading) {
  Summary kit, classic;
  const int n = 36;
  uint64_t seed = 1;
  constexpr size_t kWalkerCount = std::size(kWalkers);
  std::vector<double> ratios[kWalkerCount];
  for (const Carriage& c : kCarriages)
    for (size_t wi = 0; wi < kWalkerCount; ++wi)
      for (const Turns t : kTurns) {
        const Walker& w = kWalkers[wi];
        const DeadReckoningScore s = motiontest::ScoreCornerWalk(seed, c, w, t, false);
        kit.add(s, n);
        classic.add(motiontest::ScoreCornerWalk(seed, c, w, t, true), n);
        const std::string where = "seed " + std::to_string(seed);
        EXPECT_GE(s.walked, 95.0) << where;
        EXPECT_GE(s.turns, 4) << where;
        EXPECT_LE(s.distanceError, 0.3) << where;
        EXPECT_LE(s.worstTurn, 4.0 * kDeg) << where;
        EXPECT_LE(s.worstHeading, 5.0 * kDeg) << where;
        EXPECT_LE(s.endError, 3.0 + s.distanceError * s.walked) << where;
        ratios[wi].push_back(s.counted / s.walked);
        ++seed;
      }
  for (size_t wi = 0; wi < kWalkerCount; ++wi) {
    double scale = 0.0;
    for (double r : ratios[wi]) scale += r / ratios[wi].size();
    std::printf("[ dr       ] walker %zu: steps %.3f of the true length\n", wi, scale);
    for (size_t k = 0; k < ratios[wi].size(); ++k)
      EXPECT_NEAR(ratios[wi][k] / scale, 1.0, 0.04) << "walker " << wi << ", walk " << k;
  }
  kit.print("kit");
  classic.print("classic");
  EXPECT_GT(classic.meanDistance, 0.1);
  EXPECT_GT(classic.turn, 15.0 * kDeg);
}

// A phone held still does not walk: no step in a minute, the heading stays,
// and a gyroscope bias is learnt (up to the noise of the stand).
TEST(DeadReckoningTest, StillPhoneNeitherWalksNorTurns) {
  for (const Carriage& c : kCarriages)
    for (double bias : {0.0, 0.004, 0.012}) {
      venuesim::GaitConfig g = motiontest::CornerWalkConfig(40, c, {1.2, 1.0, bias});
      const venuesim::GaitRecording rec = venuesim::SimulateWalk(g, {venuesim::WalkSegment::Stand(60)});
      motiontest::MotionLoop loop(EngineBehaviour::kit(), g.floorAzimuth, g.declination);
      loop.fusion.setProperties({1.0, 1.0, 1.0});
      double lo = 1e9, hi = -1e9;
      for (const motiontest::TrackPoint& p : loop.run(rec)) {
        if (p.time < g.startTime + 3.0) continue;  // the input low pass settles
        const double e = motiontest::AngleDiff(p.heading, rec.headingAt(p.time).deviceHeading);
        lo = std::min(lo, e);
        hi = std::max(hi, e);
      }
      double mean[3] = {0, 0, 0};
      for (const venuesim::MotionSample& s : rec.gyro) {
        mean[0] += s.x / rec.gyro.size();
        mean[1] += s.y / rec.gyro.size();
        mean[2] += s.z / rec.gyro.size();
      }
      const SensorValue& learnt = loop.fusion.getGyroBias();
      EXPECT_EQ(loop.pedometer.getTotalStepsNumber(), 0) << c.pitch << " " << bias;
      EXPECT_LT(hi - lo, 1.0 * kDeg) << c.pitch << " " << bias;
      EXPECT_NEAR(learnt.x, mean[0], 3e-4) << c.pitch << " " << bias;
      EXPECT_NEAR(learnt.y, mean[1], 3e-4) << c.pitch << " " << bias;
      EXPECT_NEAR(learnt.z, mean[2], 3e-4) << c.pitch << " " << bias;
    }
}

// Walking off after a corner counts as standing until the first step is
// detected; the swaying hand of that second teaches the gyroscope no bias.
TEST(DeadReckoningTest, WalkingOffTeachesNoBias) {
  for (const Carriage& c : kCarriages) {
    venuesim::GaitConfig g = motiontest::CornerWalkConfig(41, c, {1.2, 1.0, 0.0});
    g.gyroNoise = 0.0;
    const venuesim::GaitRecording rec =
        venuesim::SimulateWalk(g, motiontest::CornerWalk(41, 1.2, Turns::Mixed));
    motiontest::MotionLoop loop(EngineBehaviour::kit(), g.floorAzimuth, g.declination);
    loop.fusion.setProperties({1.0, 1.0, 1.0});
    double worst = 0.0;
    for (std::vector<SensorValue>& m : motiontest::Messages(rec)) {
      loop.step(m);
      const SensorValue& b = loop.fusion.getGyroBias();
      worst = std::max(worst, std::sqrt(b.x * b.x + b.y * b.y + b.z * b.z));
    }
    EXPECT_LT(worst, 1e-4) << c.pitch << " " << c.roll;
  }
}

uint64_t Mix(uint64_t h, double v) {
  uint64_t b;
  std::memcpy(&b, &v, sizeof b);
  return (h ^ b) * 0x100000001b3ULL;
}

// With classic defaults the motion objects give, bit for bit, what they gave
// as first written (the digests were taken from that code), and the gait's
// defaults still make the same samples.
TEST(DeadReckoningTest, ClassicDefaultsAndDefaultGaitAreUnchanged) {
  venuesim::GaitConfig c;
  c.seed = 21;
  c.phoneRoll = 0.2;
  using venuesim::WalkSegment;
  const venuesim::GaitRecording rec = venuesim::SimulateWalk(
      c, {WalkSegment::Stand(6), WalkSegment::Walk(10, 1.3), WalkSegment::Turn(1.5, 1.5),
          WalkSegment::Walk(8, 1.1, -1.2), WalkSegment::Stand(3)});
  uint64_t gait = 1469598103934665603ULL;
  for (const venuesim::MotionSample& m : rec.merged())
    gait = Mix(Mix(Mix(Mix(gait, m.time), m.x), m.y), m.z);
  EXPECT_EQ(gait, 0x044229891ca6c98fULL);

  motiontest::MotionLoop loop(EngineBehaviour::original(), 0.3, 0.05);
  loop.fusion.setProperties({1.0, 1.0, 1.0});
  uint64_t motion = 1469598103934665603ULL;
  for (std::vector<SensorValue>& m : motiontest::Messages(rec)) {
    const motiontest::TrackPoint p = loop.step(m);
    motion = Mix(Mix(motion, p.heading), p.motionState);
    const Quaternion& q = loop.fusion.getFusedQuaternion();
    motion = Mix(Mix(Mix(Mix(motion, q.x), q.y), q.z), q.w);
    for (; loop.pedometer.getNumOfSteps() > 0; loop.pedometer.clearFirstStep())
      motion = Mix(Mix(motion, loop.pedometer.getStepLength(0)), loop.pedometer.getStepTime(0));
  }
  EXPECT_EQ(motion, 0x9ddb89c5d26a7322ULL);
}

}  // namespace
