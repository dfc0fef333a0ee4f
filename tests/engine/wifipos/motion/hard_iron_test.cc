#include "wifipos/motion/hard_iron.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "motion_test_util.h"

namespace {

using attitude::HardIronEstimate;
using attitude::Vec3;

constexpr double kDeg = M_PI / 180.0;

// Device to world for a phone whose top edge points at `bearing` (clockwise
// from north), raised by `pitch` and rolled by `roll`.
Quaternion Attitude(double bearing, double pitch, double roll) {
  auto axis = [](double x, double y, double z, double a) {
    return Quaternion(x * std::sin(a / 2), y * std::sin(a / 2), z * std::sin(a / 2), std::cos(a / 2));
  };
  return axis(0, 0, 1, -bearing) * axis(1, 0, 0, pitch) * axis(0, 1, 0, roll);
}

// The offset is learnt from readings at several headings (noisy, with the
// gyroscope's attitude), never from one heading, and an offset no phone
// carries is refused. Only the part across the axis the device turned about
// matters for the heading, and only that part is checked.
TEST(HardIronTest, LearnsTheOffsetOnceTheWalkerHasTurned) {
  const Vec3 field{0.0, 24.0, -42.0};  // microtesla, north and down
  struct Case {
    const char* name;
    std::vector<double> headings;  // deg, equal time at each
    Vec3 bias;
    bool ready;
  };
  const Case cases[] = {
      {"one heading", {30}, {2.0, -1.5, 1.0}, false},
      {"a right-angle corner", {30, 120}, {2.0, -1.5, 1.0}, true},
      {"a back-and-forth corridor", {10, 190}, {-3.0, 0.5, 2.0}, true},
      {"four corners", {0, 90, 180, 270}, {1.0, 1.0, -4.0}, true},
      {"no offset", {45, 135}, {0.0, 0.0, 0.0}, true},
      {"a magnet beside the phone", {30, 120}, {30.0, 0.0, 10.0}, false},
  };
  std::mt19937 rng(7);
  std::normal_distribution<double> noise(0.0, 0.4);
  for (const Case& c : cases) {
    HardIronEstimate h;
    double t = 100.0;
    for (double heading : c.headings)
      for (int k = 0; k < 300; ++k, t += 0.02) {
        // The hand sways the phone a little while walking.
        const Quaternion q = Attitude(heading * kDeg + 0.02 * std::sin(k * 0.3), 0.5, 0.2);
        const Vec3 d = attitude::ToDevice(q, field);
        h.add(q, {d.x + c.bias.x + noise(rng), d.y + c.bias.y + noise(rng), d.z + c.bias.z + noise(rng)}, t);
      }
    ASSERT_EQ(h.ready(), c.ready) << c.name;
    if (!c.ready) continue;
    // Compare in the world frame's horizontal, where a bias turns the heading.
    const Quaternion q = Attitude(0.0, 0.5, 0.2);
    const Vec3 got = attitude::ToWorld(q, h.bias());
    const Vec3 want = attitude::ToWorld(q, c.bias);
    EXPECT_NEAR(got.x, want.x, 0.3) << c.name;
    EXPECT_NEAR(got.y, want.y, 0.3) << c.name;
  }
}

// Readings that are not numbers or far beyond any earth field, and attitudes
// that are not numbers, change nothing: a fit from good readings alone comes
// out the same with them mixed in.
TEST(HardIronTest, IgnoresUndefinedAndWildReadings) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const Vec3 field{0.0, 24.0, -42.0}, bias{2.0, -1.0, 0.5};
  HardIronEstimate clean, mixed;
  for (int k = 0; k < 1000; ++k) {
    const double t = 1.0 + k * 0.02;
    const Quaternion q = Attitude(k < 500 ? 0.0 : M_PI / 2, 0.5, 0.0);
    const Vec3 d = attitude::ToDevice(q, field);
    const Vec3 m{d.x + bias.x, d.y + bias.y, d.z + bias.z};
    clean.add(q, m, t);
    mixed.add(q, m, t);
    mixed.add(q, {nan, 1.0, 1.0}, t);
    mixed.add(q, {m.x, m.y * 1e200, m.z}, t);
    mixed.add(q, {HUGE_VAL, 0.0, 0.0}, t);
    mixed.add(Quaternion(nan, 0, 0, 1), m, t);
    mixed.add(q, m, nan);
  }
  ASSERT_TRUE(clean.ready());
  ASSERT_TRUE(mixed.ready());
  EXPECT_DOUBLE_EQ(mixed.bias().x, clean.bias().x);
  EXPECT_DOUBLE_EQ(mixed.bias().y, clean.bias().y);
  EXPECT_DOUBLE_EQ(mixed.bias().z, clean.bias().z);
}

// A phone with a strong offset of its own: after the first corners the
// heading on each leg comes within a degree or two of the truth, where the
// magnetometer alone would leave it several degrees off for the whole walk.
TEST(HardIronTest, HeadingComesRoundAfterTheFirstCorners) {
  int showed = 0;
  for (uint64_t seed : {61u, 62u, 63u}) {
    venuesim::GaitConfig g;
    g.seed = seed;
    g.startHeading = 0.3;
    g.floorAzimuth = 0.4;
    g.magnBias = 5.0;
    g.phonePitch = 0.7;
    using venuesim::WalkSegment;
    const venuesim::GaitRecording rec = venuesim::SimulateWalk(
        g, {WalkSegment::Stand(8), WalkSegment::Walk(10, 1.2), WalkSegment::Turn(1.5, M_PI / 2),
            WalkSegment::Walk(10, 1.2), WalkSegment::Turn(1.5, M_PI / 2), WalkSegment::Walk(15, 1.2)});
    motiontest::MotionLoop loop(EngineBehaviour::kit(), g.floorAzimuth, g.declination);
    double first = 0.0, last = 0.0;
    int nFirst = 0, nLast = 0;
    for (std::vector<SensorValue>& m : motiontest::Messages(rec)) {
      const motiontest::TrackPoint p = loop.step(m);
      const double e = motiontest::AngleDiff(p.heading, rec.headingAt(p.time).deviceHeading);
      const double since = p.time - g.startTime;
      if (since > 9 && since < 18) first += e, ++nFirst;
      if (since > 40 && since < 47) last += e, ++nLast;
    }
    first /= nFirst;
    last /= nLast;
    EXPECT_TRUE(loop.fusion.getHardIron().ready()) << seed;
    if (std::fabs(first) > 3.0 * kDeg) ++showed;
    EXPECT_LT(std::fabs(last), 2.0 * kDeg) << seed;
  }
  // The offsets drawn must show before the corners, or nothing was tried.
  EXPECT_GE(showed, 2);
}

}  // namespace
