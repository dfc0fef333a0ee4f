#include "wifipos/motion/smoothing.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

TEST(SmoothingTest, FirstSampleThenBlendOfLaggedLine) {
  Smoothing s;
  s.addData(0, 1.0, 0.0);
  EXPECT_DOUBLE_EQ(s.getValue(0, 0.0), 1.0);
  s.addData(0, 2.0, 1.0);
  // Line 1 + t evaluated 0.7 s back, blended 0.2 into the previous 1.0.
  EXPECT_NEAR(s.getValue(0, 1.0), 0.8 * 1.0 + 0.2 * 1.3, 1e-12);
  EXPECT_NEAR(s.getVelocity(0, 5.0), 1.0, 1e-12);
  EXPECT_DOUBLE_EQ(s.getValue(1, 1.0), -1.0);  // channels are independent
  for (int type : {-1, 5}) {
    s.addData(type, 3.0, 1.0);
    EXPECT_DOUBLE_EQ(s.getValue(type, 1.0), 0.0);
  }
}

TEST(SmoothingTest, RepeatsDroppedAndWindowKept) {
  SmoothingInfo c;
  c.addData(0.0, 0.0);
  c.addData(1.0, 1.0);
  c.addData(1.0, 2.0);  // same value
  c.addData(5.0, 1.0);  // same time
  EXPECT_EQ(c.size(), 2u);
  double prev = c.getValue(1.0);
  for (double t = 2.0; t < 4.0; t += 0.5) {
    EXPECT_GT(c.getValue(t), prev);  // still following the last fitted slope
    prev = c.getValue(t);
  }
  for (int k = 0; k <= 40; ++k) c.addData(k, 10.0 + k * 0.125);
  EXPECT_EQ(c.size(), 17u);  // 2 s at 0.125 s, both ends included
  c.clear();
  EXPECT_DOUBLE_EQ(c.getValue(20.0), -1.0);
}

TEST(SmoothingTest, StepInputSettlesWithoutRunningAway) {
  Smoothing s;
  double t = 100.0, out = 0.0, prev = 0.0, highest = 0.0;
  for (int k = 0; k < 30; ++k, t += 0.1) {
    s.addData(0, 1e-9 * (k % 2), t);  // distinct values, else they are dropped
    prev = s.getValue(0, t);
  }
  bool monotone = true;
  for (int k = 0; k < 60; ++k, t += 0.1) {
    s.addData(0, 10.0 + 1e-9 * (k % 2), t);
    out = s.getValue(0, t);
    monotone = monotone && out >= prev - 1e-6;
    highest = std::max(highest, out);
    prev = out;
  }
  EXPECT_TRUE(monotone);
  EXPECT_NEAR(out, 10.0, 0.05);
  EXPECT_LT(highest, 11.0);
}

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

TEST(SmoothingTest, LinearSolver) {
  std::vector<double> x;
  // 2x + y - z = 8, -3x - y + 2z = -11, -2x + y + 2z = -3 -> (2, 3, -1)
  ASSERT_EQ(Smoothing::solveLinearSystem({2, 1, -1, -3, -1, 2, -2, 1, 2}, {8, -11, -3}, x, 3), 0);
  EXPECT_NEAR(x[0], 2.0, 1e-12);
  EXPECT_NEAR(x[1], 3.0, 1e-12);
  EXPECT_NEAR(x[2], -1.0, 1e-12);
  ASSERT_EQ(Smoothing::solveLinearSystem({0, 1, 1, 0}, {3, 4}, x, 2), 0);  // zero pivot
  EXPECT_NEAR(x[0], 4.0, 1e-12);
  EXPECT_EQ(Smoothing::solveLinearSystem({1, 2, 2, 4}, {1, 2}, x, 2), -1);
  EXPECT_EQ(Smoothing::solveLinearSystem({1, 2}, {1, 2}, x, 2), -1);  // too short
}

}  // namespace
