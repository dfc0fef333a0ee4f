// Fixed-mode training on surveys denser than the length scale: the kit's
// noise term keeps the coefficients bounded, so predictions do not depend on
// the order the points were surveyed in; the original training is kept.
#include <gtest/gtest.h>

#include <Eigen/Dense>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "map_builder.h"
#include "wifipos/gaussian_processes/gp_methods.h"

namespace {

std::string Key(int n) { return "fixed-key-" + std::string(36, 'f') + std::to_string(n); }

struct Survey {
  std::vector<std::pair<double, double>> points;
  std::vector<std::vector<double>> rssi;  // per key, per point; NaN where not heard
};

// A grid of points `spacing` apart; three beacons with a log-distance fall-off,
// per-point shadowing and whole-dBm means, as surveys deliver them.
Survey DenseSurvey(double spacing, int nx, int ny, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> shadow(0.0, 4.0);
  Survey s;
  for (int j = 0; j < ny; ++j)
    for (int i = 0; i < nx; ++i) s.points.emplace_back(i * spacing, j * spacing);
  const double ap[3][2] = {{2.0, 2.0}, {nx * spacing * 0.5, ny * spacing * 0.6}, {nx * spacing, 0.0}};
  for (const auto& a : ap) {
    std::vector<double> row;
    for (const auto& [x, y] : s.points) {
      const double v = std::round(-45.0 - 25.0 * std::log10(std::hypot(x - a[0], y - a[1]) + 1.0) + shadow(rng));
      row.push_back(v < -95.0 ? std::nan("") : v);
    }
    s.rssi.push_back(row);
  }
  return s;
}

// The survey as a floor, its points in the given order.
GaussianProcesses Train(const Survey& s, const std::vector<int>& order, double ell, bool withRecords,
                        bool classic) {
  SublocationMap f;
  for (int p : order) positioning_test::AddPoint(f, s.points[p].first, s.points[p].second);
  for (size_t k = 0; k < s.rssi.size(); ++k) {
    for (size_t i = 0; i < order.size(); ++i) {
      const double v = s.rssi[k][order[i]];
      if (!std::isnan(v)) positioning_test::AddEntry(f, Key(static_cast<int>(k)), static_cast<int>(i), v);
    }
  }
  // ln sf, ln sn: a 4 dB spread over 0.8 dB of survey noise (ratio 0.04).
  if (withRecords) f.getGpParams().assign(s.rssi.size(), GpParams{-50.0, 0.0, 2.0, 0.0, 0.0, std::log(4.0), std::log(0.8), 0.0});
  f.getProperties().ell = ell;
  NavigationMap nav(classic ? EngineBehaviour::original() : EngineBehaviour::kit());
  auto& gp = nav.getNavigationProperties().gaussianProcesses;
  gp.Mode = 123;
  gp.Correction_noise = 10.0;
  nav.getSublocationsVector().push_back(f);
  GaussianProcesses out;
  out.initialize(nav);
  out.setSublocationIndex(0);
  return out;
}

double AbsAlpha(const SublocationGP& s, int k) {
  double a = 0.0;
  for (double v : s.getAlpha()[k]) a += std::fabs(v);
  return a;
}

TEST(GpFixedTraining, DenseSurveyPredictsTheSameInAnyPointOrder) {
  struct Case {
    const char* name;
    double spacing, ell;
    bool withRecords;  // else every key trains with the smallest noise term
  };
  const Case cases[] = {
      {"1.4 m survey, 3 m scale", 1.4, 3.0, true},
      {"1 m survey, 3 m scale", 1.0, 3.0, true},
      {"2 m survey, 5 m scale", 2.0, 5.0, true},
      {"1.4 m survey, 3 m scale, no records", 1.4, 3.0, false},
  };
  for (const Case& c : cases) {
    const Survey s = DenseSurvey(c.spacing, 24, 16, 17);
    std::vector<int> order(s.points.size());
    std::iota(order.begin(), order.end(), 0);
    std::vector<int> shuffled = order;
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(5));
    const GaussianProcesses a = Train(s, order, c.ell, c.withRecords, false);
    const GaussianProcesses b = Train(s, shuffled, c.ell, c.withRecords, false);
    const SublocationGP& fa = a.getSublocations()[0];
    const SublocationGP& fb = b.getSublocations()[0];
    ASSERT_EQ(fa.getNumberOfKeys(), 3) << c.name;
    std::mt19937 rng(23);
    std::uniform_real_distribution<double> ux(-2.0, 24 * c.spacing + 2.0), uy(-2.0, 16 * c.spacing + 2.0);
    for (int k = 0; k < 3; ++k) {
      // Residuals of ~60 dBm over a few hundred points; without a noise term
      // this reaches 1e13 and more.
      EXPECT_LT(AbsAlpha(fa, k), 1e6) << c.name << " key " << k;
      for (int t = 0; t < 40; ++t) {
        const double x = ux(rng), y = uy(rng);
        const double va = fa.kernelSum(k, x, y), vb = fb.kernelSum(k, x, y);
        ASSERT_TRUE(std::isfinite(va)) << c.name;
        EXPECT_NEAR(va, vb, 1e-9) << c.name << " key " << k << " at " << x << ", " << y;
        // Bounded coefficients also mean predictions in the range of the data.
        EXPECT_LT(std::fabs(va), 100.0) << c.name << " key " << k << " at " << x << ", " << y;
      }
    }
  }
}

TEST(GpFixedTraining, CoefficientsSolveTheKernelWithTheNoiseTerm) {
  // Well-conditioned floors, so both trainings can be checked against a
  // direct solve: the kit adds the record's noise ratio (at least 1e-2), the
  // original training nothing.
  struct Case {
    const char* name;
    bool withRecords, classic;
    double nugget;
  };
  const Case cases[] = {
      {"kit, record's ratio", true, false, 0.04},
      {"kit, no record", false, false, 1e-2},
      {"classic, record", true, true, 0.0},
      {"classic, no record", false, true, 0.0},
  };
  const Survey s = DenseSurvey(4.0, 6, 5, 3);
  std::vector<int> order(s.points.size());
  std::iota(order.begin(), order.end(), 0);
  const double ell = 3.0;
  for (const Case& c : cases) {
    const GaussianProcesses g = Train(s, order, ell, c.withRecords, c.classic);
    const SublocationGP& f = g.getSublocations()[0];
    for (int k = 0; k < f.getNumberOfKeys(); ++k) {
      const auto& act = f.getActivePoints()[k];
      const int n = static_cast<int>(act.size());
      ASSERT_GT(n, 3) << c.name;
      Eigen::MatrixXd kernel(n, n);
      Eigen::VectorXd r(n);
      for (int i = 0; i < n; ++i) {
        const auto& [xi, yi] = f.getPoints()[act[i]];
        r[i] = s.rssi[k][act[i]] + 115.0;
        for (int j = 0; j < n; ++j) {
          const auto& [xj, yj] = f.getPoints()[act[j]];
          kernel(i, j) = std::exp(-((xi - xj) * (xi - xj) + (yi - yj) * (yi - yj)) / (2.0 * ell * ell));
        }
        kernel(i, i) += c.nugget;
      }
      const Eigen::VectorXd want = kernel.fullPivLu().solve(r);
      for (int i = 0; i < n; ++i) {
        EXPECT_NEAR(f.getAlpha()[k][i], want[i], 1e-9 * (1.0 + std::fabs(want[i]))) << c.name << " key " << k;
      }
    }
  }
}

// Training keeps what the corrections read and lets the signal matrix go
// (every key at every point: the largest part of a floor's state), in both
// modes and both behaviours; the coefficients stay.
TEST(GpFixedTraining, TrainedFloorHoldsNoSignalMatrix) {
  const Survey s = DenseSurvey(4.0, 6, 5, 3);
  std::vector<int> order(s.points.size());
  std::iota(order.begin(), order.end(), 0);
  for (const bool classic : {false, true}) {
    const GaussianProcesses g = Train(s, order, 3.0, true, classic);
    const SublocationGP& f = g.getSublocations()[0];
    EXPECT_TRUE(f.getSignals().empty()) << classic;
    ASSERT_EQ(f.getNumberOfKeys(), static_cast<int>(s.rssi.size())) << classic;
    for (int k = 0; k < f.getNumberOfKeys(); ++k) {
      EXPECT_GT(AbsAlpha(f, k), 0.0) << classic << " key " << k;
    }
  }
}

}  // namespace
