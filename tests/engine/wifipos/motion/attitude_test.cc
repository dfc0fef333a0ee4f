#include "wifipos/motion/attitude.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "motion_test_util.h"

namespace {

using attitude::Vec3;
using motiontest::AngleDiff;

constexpr double kDeg = M_PI / 180.0;
constexpr double kG = 9.80665;

Quaternion Axis(double x, double y, double z, double angle) {
  return Quaternion(x * std::sin(angle / 2), y * std::sin(angle / 2), z * std::sin(angle / 2),
                    std::cos(angle / 2));
}

// A phone held by a walker facing `bearing` (clockwise from north), its top
// edge raised by `pitch` and the phone rolled about its long axis by `roll`.
Quaternion Held(double bearing, double pitch, double roll) {
  return Axis(0, 0, 1, -bearing) * Axis(1, 0, 0, pitch) * Axis(0, 1, 0, roll);
}

double Tilt(const Quaternion& q, const Quaternion& truth) {
  const Vec3 a = attitude::ToDevice(q, {0, 0, 1}), b = attitude::ToDevice(truth, {0, 0, 1});
  return std::acos(std::clamp(a.x * b.x + a.y * b.y + a.z * b.z, -1.0, 1.0));
}

struct Attitude {
  double bearing, pitch, roll;
};

// Near upright (pitch 75-105) only unrolled attitudes: rolling an upright
// phone about its long axis turns it away from the walking direction.
const Attitude kAttitudes[] = {{0, 0, 0},       {40, 30, 0},  {-120, 60, 20}, {170, 80, 0},
                               {90, 10, 45},    {-60, 100, 0}, {200, -20, 10}, {15, 88, 0}};

// The top edge's bearing is the walker's whatever the tilt and roll, the
// upright phone included. Gravity pulls a wrong tilt back and leaves the
// bearing; the field pulls a wrong bearing back and leaves the tilt.
TEST(AttitudeTest, BearingAndCorrections) {
  for (const Attitude& a : kAttitudes) {
    const double held = attitude::TopEdgeBearing(Held(a.bearing * kDeg, a.pitch * kDeg, a.roll * kDeg));
    EXPECT_NEAR(AngleDiff(held, a.bearing * kDeg), 0.0, 1e-9) << a.bearing << " " << a.pitch;
    if (std::fabs(a.pitch) > 70) continue;  // the top edge too steep to keep a bearing exactly
    const Quaternion truth = Held(a.bearing * kDeg, a.pitch * kDeg, a.roll * kDeg);
    const Vec3 gravity = attitude::ToDevice(truth, {0, 0, kG});
    const Vec3 field = attitude::ToDevice(truth, {0, 20, -40});

    // A tilt error is a turn about some horizontal axis.
    const double u = (a.bearing + 70) * kDeg;
    Quaternion tilted = Axis(std::cos(u), std::sin(u), 0, 14 * kDeg) * truth;
    for (int i = 0; i < 300; ++i) tilted = attitude::CorrectTilt(tilted, gravity, 0.05);
    EXPECT_LT(Tilt(tilted, truth), 1e-6) << a.bearing << " " << a.pitch;
    EXPECT_NEAR(AngleDiff(attitude::TopEdgeBearing(tilted), a.bearing * kDeg), 0.0, 1e-6);

    Quaternion turned = Held((a.bearing + 25) * kDeg, a.pitch * kDeg, a.roll * kDeg);
    for (int i = 0; i < 300; ++i) turned = attitude::CorrectHeading(turned, field, 0.05);
    EXPECT_NEAR(AngleDiff(attitude::TopEdgeBearing(turned), a.bearing * kDeg), 0.0, 1e-6);
    EXPECT_LT(Tilt(turned, truth), 1e-9);
  }
  // A jolt far from 1 g and a field along the vertical change nothing.
  const Quaternion q = Held(0.3, 0.5, 0.1);
  EXPECT_EQ(attitude::CorrectTilt(q, {0, 0, 2.5 * kG}, 0.5), q);
  EXPECT_EQ(attitude::CorrectHeading(q, attitude::ToDevice(q, {0, 0, -45}), 0.5), q);
}


// A fused orientation that went to zero or to a non-number restarts from the
// identity instead of spreading NaN through every later heading.
TEST(QuaternionTest, NormalizeGivesAUnitOrTheIdentity) {
  const double inf = std::numeric_limits<double>::infinity(), nan = std::nan("");
  const struct {
    Quaternion q;
    bool identity;
  } cases[] = {
      {{0, 0, 0, 0}, true},   {{0, inf, 0, 1}, true}, {{nan, 0, 0, 1}, true},
      {{1e-300, 0, 0, 0}, false}, {{3, 0, 4, 0}, false}, {{0.1, -0.2, 0.3, 2}, false},
  };
  for (const auto& c : cases) {
    Quaternion q = c.q;
    q.normalize();
    EXPECT_TRUE(q.isFinite());
    EXPECT_NEAR(q.norm(), 1.0, 1e-12);
    if (c.identity) {
      EXPECT_TRUE(q.isIdentity());
    }
  }
}

}  // namespace
