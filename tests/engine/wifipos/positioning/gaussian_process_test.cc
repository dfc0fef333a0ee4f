// Gaussian-process correction: training of the floor states, the likelihood
// factors of the three modes, and robustness against degenerate input.
#include "wifipos/gaussian_processes/gp_methods.h"

#include <gtest/gtest.h>

#include <Eigen/Dense>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "map_builder.h"

namespace {

using positioning_test::AddEntry;
using positioning_test::AddPoint;

constexpr double kPi = 3.14159265358979323846;

std::string Key(int n) { return "gp-key-" + std::string(40, 'k') + std::to_string(n); }

Beacon MakeBeacon(const std::string& id, double x, double y, double a = 0.0, double b = 0.0) {
  Beacon bc;
  bc.setBeaconId(id);
  bc.setX(x);
  bc.setY(y);
  bc.setA(a);
  bc.setB(b);
  return bc;
}

NavigationMap MapWith(const SublocationMap& floor, int mode, double noise = 10.0) {
  NavigationMap map(EngineBehaviour::kit());
  auto& gp = map.getNavigationProperties().gaussianProcesses;
  gp.Mode = mode;
  gp.Correction_noise = noise;
  map.getSublocationsVector().push_back(floor);
  return map;
}

Particle At(double x, double y, double weight = 1.0) { return Particle{x, y, 0.0, weight}; }

BeaconMeas Meas(const std::string& id, double rssi) {
  BeaconMeas m;
  m.setBeaconId(id);
  m.setRssi(rssi);
  return m;
}

void ExpectAllFinite(const std::vector<double>& w) {
  for (double v : w) EXPECT_TRUE(std::isfinite(v) && v >= 0.0) << v;
}

TEST(GaussianProcessSolver, GivensSolveMatchesDirectSolution) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (int n : {1, 2, 5, 12}) {
    std::vector<double> a(n * n), b(n), x;
    for (int i = 0; i < n; ++i) {
      b[i] = u(rng);
      for (int j = 0; j < n; ++j) a[i * n + j] = u(rng) + (i == j ? n : 0.0);
    }
    ASSERT_EQ(SublocationGP::solveLinearSystem(a, b, x, n), 0);
    Eigen::Map<Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>> m(a.data(), n, n);
    const Eigen::VectorXd want = m.fullPivLu().solve(Eigen::Map<Eigen::VectorXd>(b.data(), n));
    for (int i = 0; i < n; ++i) EXPECT_NEAR(x[i], want[i], 1e-12);
  }
  std::vector<double> x;
  // Two equal rows: reported, never a silent inf/NaN solution.
  EXPECT_EQ(SublocationGP::solveLinearSystem({1, 1, 1, 1}, {1, 1}, x, 2), 4);
  for (double v : x) EXPECT_FALSE(std::isnan(v));
}

// Sizes that do not fit the system are refused before anything is read or written: a
// short matrix or right-hand side must not be read past its end.
TEST(GaussianProcessSolver, SizesThatDoNotFitAreRefusedWithXUntouched) {
  const struct {
    const char* name;
    std::vector<double> a, b;
    int n;
  } cases[] = {
      {"matrix one row short", {4, 1, 1, 3, 0, 2}, {1, 2, 3}, 3},
      {"matrix empty", {}, {1, 2}, 2},
      {"right-hand side short", {4, 1, 1, 3}, {1}, 2},
      {"size zero", {1}, {1}, 0},
      {"size negative", {1}, {1}, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<double> x = {7.0, 8.0};
    EXPECT_EQ(SublocationGP::solveLinearSystem(c.a, c.b, x, c.n), 4);
    EXPECT_EQ(x, (std::vector<double>{7.0, 8.0}));
  }
}

TEST(GaussianProcessCorrection, SingularFixedKernelStaysUsable) {
  // Coincident reference points with no noise term make K singular; the
  // result must match the floor with the point once, not turn into NaN.
  auto build = [](int copies) {
    SublocationMap f;
    for (int i = 0; i < copies; ++i) AddPoint(f, 2.0, 3.0);
    AddPoint(f, 8.0, 1.0);
    for (int i = 0; i < copies; ++i) AddEntry(f, Key(0), i, -62.0);
    AddEntry(f, Key(0), copies, -75.0);
    f.getGpParams() = {GpParams{-50.0, 1.0, 2.0, 4.0, 4.0, 1.0, 0.0, 0.0}};
    f.getProperties().ell = 3.0;
    return f;
  };
  // The kit's training has a noise term, so repeated points are repeated
  // observations and pull harder; only the original training matches.
  for (bool classic : {true, false}) {
    std::vector<double> w[2];
    for (int copies : {1, 3}) {
      NavigationMap map = MapWith(build(copies), 123);
      if (classic) map.setParameters("defaults=classic;");
      GaussianProcesses gp;
      gp.initialize(map);
      gp.setSublocationIndex(0);
      gp.setCurrentSignals({-66.0});
      gp.setParticles({At(2.0, 3.0), At(5.0, 2.0), At(9.0, 9.0)});
      ASSERT_EQ(gp.correction(), 0);
      w[copies == 1 ? 0 : 1] = gp.getNewWeights();
    }
    ExpectAllFinite(w[1]);
    if (!classic) continue;
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(w[1][i], w[0][i], 1e-5 * w[0][i]) << i;
  }
}

TEST(GaussianProcessCorrection, PredictsWithTheMeanTheKeyTrainedWith) {
  // Points 10 m apart against a 1 m length scale: at a point the kernel sum
  // is that point's trained residual alone, shrunk by the noise term
  // (nu = 0.01 from the record's sf and sn), so the prediction is the surveyed
  // level, nu / (1 + nu) of the way back to the trained mean. The original
  // fixed mode trains with nothing and adds A - B ln(d^2) to the prediction.
  const double muRec = -50.0, a = -40.0, b = 2.0, nu = 0.01;
  const double level[] = {-62.0, -81.0};
  SublocationMap f;
  AddPoint(f, 10.0, 0.0);
  AddPoint(f, 0.0, 20.0);
  for (int i = 0; i < 2; ++i) AddEntry(f, Key(0), i, level[i]);
  f.getGpParams() = {GpParams{muRec, a, b, 0.0, 0.0, std::log(4.0), std::log(0.4), 0.0}};
  f.getProperties().ell = 1.0;
  auto logDistance = [](int i) { return std::log(i == 0 ? 100.0 + 1e-5 : 400.0 + 1e-5); };
  struct Case {
    const char* name;
    int mode;
    bool classic;
    double (*residual)(double level, double logD2, double mu, double a, double b, double nu);
  };
  const Case cases[] = {
      {"kit fixed: the surveyed level", 123, false,
       [](double l, double, double, double, double, double n) { return (l + 115.0) * n / (1.0 + n); }},
      {"original fixed: off by the record's mean term", 123, true,
       [](double, double d, double, double a, double b, double) { return -(a - b * d); }},
      {"kit full: the surveyed level", 121, false,
       [](double l, double d, double mu, double a, double b, double n) { return (l - mu - a + b * d) * n / (1.0 + n); }},
      {"original full: the surveyed level", 121, true,
       [](double l, double d, double mu, double a, double b, double n) { return (l - mu - a + b * d) * n / (1.0 + n); }},
  };
  const double noise = 10.0;
  for (const Case& c : cases) {
    NavigationMap map = MapWith(f, c.mode, noise);
    if (c.classic) map.setParameters("defaults=classic;");
    GaussianProcesses gp;
    gp.initialize(map);
    gp.setSublocationIndex(0);
    for (int i = 0; i < 2; ++i) {
      gp.setCurrentSignals({level[i]});
      const auto& [x, y] = gp.getSublocations()[0].getPoints()[i];
      gp.setParticles({At(x, y)});
      ASSERT_EQ(gp.correction(), 0) << c.name;
      // One key heard: the factor is the Gaussian density of the residual.
      const double w = gp.getNewWeights()[0];
      const double r2 = -2.0 * noise * (std::log(w) + 0.5 * std::log(2.0 * kPi * noise));
      const double want = c.residual(level[i], logDistance(i), muRec, a, b, nu);
      EXPECT_NEAR(std::sqrt(std::max(r2, 0.0)), std::fabs(want), 1e-6) << c.name << ", point " << i;
    }
  }
}

TEST(GaussianProcessCorrection, UnderflowAndAdversarialInputNeverNaN) {
  // Residuals of thousands of dB underflow every plain product; the factors
  // are scaled together so their ratios survive.
  SublocationMap f;
  f.getProperties().A = -60.0;
  f.getProperties().B = 0.02;
  f.getBeacons() = {MakeBeacon("b1", 0.0, 0.0)};
  NavigationMap map = MapWith(f, 122, 1.0);
  GaussianProcesses gp;
  gp.initialize(map);
  gp.setSublocationIndex(0);
  gp.setBleSignals({Meas("b1", -5000.0)});
  gp.setParticles({At(1.0, 0.0), At(2.0, 0.0)});
  ASSERT_EQ(gp.correction(), 0);
  auto w = gp.getNewWeights();
  ExpectAllFinite(w);
  const double r0 = -5000.0 - (-60.0 - 0.02 * std::log(1.0 + 1e-5));
  const double r1 = -5000.0 - (-60.0 - 0.02 * std::log(4.0 + 1e-5));
  EXPECT_NEAR(std::log(w[0] / w[1]), (r1 * r1 - r0 * r0) / 2.0, 1e-6);
  EXPECT_EQ(std::max(w[0], w[1]), 1.0);

  // Random floors, signals and particles, including NaN/inf readings,
  // unknown keys, floors without beacons or keys, and a zero noise setting.
  std::mt19937 rng(9001);
  std::uniform_real_distribution<double> pos(-5.0, 25.0);
  const double inf = std::numeric_limits<double>::infinity();
  const double weird[] = {std::numeric_limits<double>::quiet_NaN(), inf, -inf, 1e300, -1e300,
                          1.0, -100.0, 0.0};
  for (int round = 0; round < 60; ++round) {
    const int mode = 121 + static_cast<int>(rng() % 3);
    SublocationMap fl;
    const int nPoints = static_cast<int>(rng() % 8);
    const int nKeys = static_cast<int>(rng() % 4);
    // Points on a coarse grid so that coincident points happen.
    for (int i = 0; i < nPoints; ++i)
      AddPoint(fl, static_cast<double>(rng() % 3), static_cast<double>(rng() % 3));
    for (int k = 0; k < nKeys; ++k)
      for (int i = 0; i < nPoints; ++i)
        if (rng() % 2) AddEntry(fl, Key(k), i, -40.0 - static_cast<double>(rng() % 60));
    for (size_t k = 0; k < fl.getUniqueApsBssid().size(); ++k)
      fl.getGpParams().push_back(GpParams{-50.0, pos(rng), 2.0, pos(rng), pos(rng),
                                          rng() % 4 ? 1.0 : 0.0, rng() % 2 ? -30.0 : 0.5,
                                          rng() % 5 ? 1.0 : -400.0});
    fl.getProperties().ell = rng() % 4 ? 2.0 : 0.0;
    fl.getProperties().A = -60.0;
    fl.getProperties().B = 2.0;
    for (int b = 0; b < static_cast<int>(rng() % 3); ++b)
      fl.getBeacons().push_back(MakeBeacon("b" + std::to_string(b), pos(rng), pos(rng)));
    NavigationMap m = MapWith(fl, mode, rng() % 6 ? 4.0 : 0.0);
    m.getNavigationProperties().gaussianProcesses.Differention_mode = rng() % 2;
    m.getNavigationProperties().gaussianProcesses.Use_beacon_power = rng() % 2;
    GaussianProcesses g;
    g.initialize(m);
    g.setSublocationIndex(0);
    std::vector<double> sig;
    for (int k = 0; k < nKeys + static_cast<int>(rng() % 2); ++k)
      sig.push_back(rng() % 3 ? -50.0 - static_cast<double>(rng() % 50) : weird[rng() % 8]);
    g.setCurrentSignals(sig);
    std::vector<BeaconMeas> meas;
    for (int i = 0; i < static_cast<int>(rng() % 4); ++i)
      meas.push_back(Meas("b" + std::to_string(rng() % 4), rng() % 3 ? -70.0 : weird[rng() % 8]));
    g.setBleSignals(meas);
    std::vector<Particle> parts;
    for (int i = 0; i < 10; ++i)
      parts.push_back(At(rng() % 9 ? pos(rng) : std::numeric_limits<double>::quiet_NaN(),
                         pos(rng), rng() % 5 ? 1.0 : 0.0));
    g.setParticles(parts);
    const int rc = g.correction();
    EXPECT_TRUE(rc == 0 || rc == 4);
    ExpectAllFinite(g.getNewWeights());
  }
}

}  // namespace
