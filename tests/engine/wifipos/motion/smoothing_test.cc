#include "wifipos/motion/smoothing.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

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

}  // namespace
