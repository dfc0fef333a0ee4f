#include "wifipos/motion/smoothing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace {

TEST(SmoothingTest, NoUndefinedValueComesOut) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  Smoothing s;
  s.addData(0, 1.0, 1.0);
  s.addData(0, nan, 1.1);
  s.addData(0, HUGE_VAL, 1.2);
  s.addData(0, 2.0, nan);
  s.addData(0, 3.0, 2.0);
  EXPECT_TRUE(std::isfinite(s.getValue(0, 2.0)));
  EXPECT_TRUE(std::isfinite(s.getValue(0, nan)));
  // Equal times that are not neighbours leave a quadratic undetermined.
  SmoothingInfo c;
  c.setOrder(2);
  for (const auto& [v, t] : {std::pair{1.0, 5.0}, {2.0, 6.0}, {3.0, 5.0}}) c.addData(v, t);
  EXPECT_EQ(c.getLeastSquaresCoeff(), -1);
  EXPECT_TRUE(std::isfinite(c.getValue(6.0)));
  EXPECT_NEAR(c.getLeastSquaresSolution(6.0), 2.0, 1e-12);  // the mean
}

TEST(SmoothingTest, FitStaysAccurateLateInALongSession) {
  SmoothingInfo c;
  const double t0 = 20000.0;
  for (int k = 0; k < 20; ++k) c.addData(2.0 * (t0 + 0.1 * k) + 1.0, t0 + 0.1 * k);
  EXPECT_NEAR(c.getLeastSquaresSolution(t0 + 1.9), 2.0 * (t0 + 1.2) + 1.0, 1e-4);
}

// A walker at 1.2 m/s whose fixes arrive at uneven spacings: how far the
// output trails the walker once it has settled, in seconds of walking.
double SettledLagSeconds(double lag, double tau, const std::vector<double>& spacings) {
  Smoothing s;
  s.setLagAndTimeConstant(lag, tau);
  const double speed = 1.2;
  double t = 10.0;
  double worst = 0.0;
  for (int k = 0; k < 60; ++k) {
    t += spacings[static_cast<size_t>(k) % spacings.size()];
    s.addData(0, speed * t, t);
    const double out = s.getValue(0, t);
    if (k > 20) worst = std::max(worst, (speed * t - out) / speed);
  }
  return worst;
}

TEST(SmoothingTest, BlendByElapsedTimeKeepsUpWithTheWalkerWhateverTheCallSpacing) {
  const struct {
    const char* name;
    std::vector<double> spacings;
  } cases[] = {
      {"every tick", {0.1}},
      {"every window move", {0.9}},
      {"uneven", {0.1, 0.9, 0.3, 1.4, 0.5}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // Read at the query time and blended over 0.4 s: the lag stays below
    // the time constant however the calls are spaced.
    EXPECT_LT(SettledLagSeconds(0.0, 0.4, c.spacings), 0.45);
  }
  // The per-call blend 0.7 s in the past trails by seconds once calls come
  // once per window move.
  EXPECT_GT(SettledLagSeconds(0.7, 0.0, {0.9}), 3.0);
}

TEST(SmoothingTest, ElapsedTimeBlendFollowsItsTimeConstant) {
  // A constant fit (order 0) isolates the blend: half-way after tau ln 2.
  SmoothingInfo c;
  c.setOrder(0);
  c.setLag(0.0);
  c.setTimeConstant(2.0);
  c.addData(0.0, 1.0);
  EXPECT_EQ(c.getValue(1.0), 0.0);
  c.addData(10.0, 1.5);  // the mean of the two samples, 5.0, is the fit
  EXPECT_NEAR(c.getValue(1.0 + 2.0 * std::log(2.0)), 2.5, 1e-12);
  // Asking again at the same time adds nothing.
  EXPECT_NEAR(c.getValue(1.0 + 2.0 * std::log(2.0)), 2.5, 1e-12);
}

}  // namespace
