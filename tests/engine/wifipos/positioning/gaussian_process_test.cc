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
  NavigationMap map;
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

double Density(double residual, double variance) {
  return std::exp(-residual * residual / (2.0 * variance)) / std::sqrt(2.0 * kPi * variance);
}

// Two points, (0,0) at -60 dBm and (3,4) at -70 dBm, for key 0; key 1 is
// heard at point 0 only and has no trained record.
SublocationMap TwoPointFloor() {
  SublocationMap f;
  f.setId(3);
  AddPoint(f, 0.0, 0.0);
  AddPoint(f, 3.0, 4.0);
  AddEntry(f, Key(0), 0, -60.0);
  AddEntry(f, Key(0), 1, -70.0);
  AddEntry(f, Key(1), 0, -80.0);
  f.getGpParams() = {GpParams{-50.0, 2.0, 1.5, 1.0, 1.0, std::log(2.0), 0.0, std::log(2.0)},
                     GpParams{}};
  f.getProperties().ell = 2.0;
  return f;
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

TEST(GaussianProcessBuild, SignalMatrixParametersAndCoefficients) {
  SublocationMap f = TwoPointFloor();
  AddEntry(f, Key(1), 0, -82.0);  // a later entry for the same point overwrites
  NavigationMap map = MapWith(f, 121);
  GaussianProcesses gp;
  gp.initialize(map);
  ASSERT_EQ(gp.getSublocations().size(), 1u);
  const SublocationGP& s = gp.getSublocations()[0];
  EXPECT_EQ(s.getNumberOfKeys(), 2);
  EXPECT_EQ(s.getNumberOfPoints(), 2);
  EXPECT_EQ(s.getSignals()[0], (std::vector<double>{-60.0, -70.0}));
  EXPECT_EQ(s.getSignals()[1], (std::vector<double>{-82.0, 1.0}));
  EXPECT_EQ(s.getActivePoints()[1], std::vector<int>{0});
  EXPECT_EQ(s.getCounts(), (std::vector<int>{2, 1}));

  // sf, sn, ell -> sf^2 variance, sn^2 variance, 2 ell^2; a zero record
  // becomes 1, 1, 2.
  EXPECT_DOUBLE_EQ(s.getParameters()[0][GP_PARAM_SF], 4.0);
  EXPECT_DOUBLE_EQ(s.getParameters()[0][GP_PARAM_SN], 1.0);
  EXPECT_DOUBLE_EQ(s.getParameters()[0][GP_PARAM_ELL], 8.0);
  EXPECT_DOUBLE_EQ(s.getParameters()[1][GP_PARAM_SF], 1.0);
  EXPECT_DOUBLE_EQ(s.getParameters()[1][GP_PARAM_ELL], 2.0);

  // alpha = K^-1 r with K = [[1.25, k], [k, 1.25]], k = exp(-25/8), and
  // r_i = y_i - mu - A + B ln(d_i^2 + 1e-5) to the transmitter at (1,1).
  const double r0 = -60.0 + 50.0 - 2.0 + 1.5 * std::log(2.0 + 1e-5);
  const double r1 = -70.0 + 50.0 - 2.0 + 1.5 * std::log(13.0 + 1e-5);
  const double k = std::exp(-25.0 / 8.0), det = 1.25 * 1.25 - k * k;
  EXPECT_NEAR(s.getAlpha()[0][0], (1.25 * r0 - k * r1) / det, 1e-12);
  EXPECT_NEAR(s.getAlpha()[0][1], (1.25 * r1 - k * r0) / det, 1e-12);
}

TEST(GaussianProcessCorrection, FullModeFactors) {
  NavigationMap map = MapWith(TwoPointFloor(), 121);
  GaussianProcesses gp;
  gp.initialize(map);
  gp.setSublocationIndex(0);
  const SublocationGP& s = gp.getSublocations()[0];
  // Key 1 is heard but has no record: it counts for the exponent (1/2) and
  // adds no factor.
  gp.setCurrentSignals({-65.0, -75.0});
  gp.setParticles({At(1.0, 2.0), At(5.0, 5.0, 0.0), At(3.0, 4.0)});
  ASSERT_EQ(gp.correction(), 0);
  EXPECT_DOUBLE_EQ(gp.getExponent(), 0.5);
  auto predict = [&](double px, double py) {
    double f = -50.0 + 2.0 - 1.5 * std::log((1 - px) * (1 - px) + (1 - py) * (1 - py) + 1e-5);
    f += s.getAlpha()[0][0] * std::exp(-(px * px + py * py) / 8.0);
    f += s.getAlpha()[0][1] * std::exp(-((3 - px) * (3 - px) + (4 - py) * (4 - py)) / 8.0);
    return f;
  };
  const auto w = gp.getNewWeights();
  ASSERT_EQ(w.size(), 3u);
  EXPECT_NEAR(w[0], std::sqrt(Density(-65.0 - predict(1, 2), 10.0)), 1e-14);
  EXPECT_EQ(w[1], 1.0);  // a dead particle is not evaluated
  EXPECT_NEAR(w[2], std::sqrt(Density(-65.0 - predict(3, 4), 10.0)), 1e-14);

  // -100 exactly is used but not counted; below -100 is neither.
  gp.setCurrentSignals({-100.0, -75.0});
  ASSERT_EQ(gp.correction(), 0);
  EXPECT_DOUBLE_EQ(gp.getExponent(), 1.0);
  EXPECT_NEAR(gp.getNewWeights()[0], Density(-100.0 - predict(1, 2), 10.0), 1e-14);
  gp.setCurrentSignals({-100.5, -75.0});
  ASSERT_EQ(gp.correction(), 0);
  EXPECT_EQ(gp.getNewWeights()[0], 1.0);

  // Nothing visible, no particles, or an unknown floor: 4.
  gp.setCurrentSignals({1.0, -120.0});
  EXPECT_EQ(gp.correction(), 4);
  EXPECT_EQ(gp.getNewWeights(), (std::vector<double>{1.0, 1.0, 1.0}));
  gp.setCurrentSignals({-65.0, 1.0});
  gp.setParticles({});
  EXPECT_EQ(gp.correction(), 4);
  gp.setParticles({At(1, 1)});
  gp.setSublocationIndex(1);
  EXPECT_EQ(gp.correction(), 4);
}

TEST(GaussianProcessCorrection, FixedModeTrainsWithoutMeanButPredictsWithIt) {
  SublocationMap f;
  AddPoint(f, 0.0, 0.0);
  AddEntry(f, Key(0), 0, -60.0);
  f.getGpParams() = {GpParams{-50.0, 2.0, 1.5, 1.0, 1.0, std::log(2.0), 0.0, 0.0}};
  f.getProperties().ell = 2.0;
  NavigationMap map = MapWith(f, 123);
  GaussianProcesses gp;
  gp.initialize(map);
  gp.setSublocationIndex(0);
  // K = [1], r = -60 + 115: alpha = 55.
  EXPECT_DOUBLE_EQ(gp.getSublocations()[0].getAlpha()[0][0], 55.0);
  gp.setCurrentSignals({-70.0});
  gp.setParticles({At(2.0, 1.0)});
  ASSERT_EQ(gp.correction(), 0);
  const double f0 = -115.0 + 2.0 - 1.5 * std::log(1.0 + 1e-5) + 55.0 * std::exp(-5.0 / 8.0);
  EXPECT_NEAR(gp.getNewWeights()[0], Density(-70.0 - f0, 10.0), 1e-15);
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
  std::vector<double> w[2];
  for (int copies : {1, 3}) {
    NavigationMap map = MapWith(build(copies), 123);
    GaussianProcesses gp;
    gp.initialize(map);
    gp.setSublocationIndex(0);
    gp.setCurrentSignals({-66.0});
    gp.setParticles({At(2.0, 3.0), At(5.0, 2.0), At(9.0, 9.0)});
    ASSERT_EQ(gp.correction(), 0);
    w[copies == 1 ? 0 : 1] = gp.getNewWeights();
  }
  ExpectAllFinite(w[1]);
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(w[1][i], w[0][i], 1e-5 * w[0][i]) << i;
}

TEST(GaussianProcessCorrection, NormalModeSingleAndDifferential) {
  SublocationMap f;
  f.getProperties().A = -60.0;
  f.getProperties().B = 2.0;
  f.getBeacons() = {MakeBeacon("b1", 0.0, 0.0, -70.0), MakeBeacon("b2", 10.0, 0.0, 0.0, 3.0),
                    MakeBeacon("b2", 50.0, 50.0)};  // only the first "b2" counts
  NavigationMap map = MapWith(f, 122);
  map.getNavigationProperties().gaussianProcesses.Use_beacon_power = true;
  GaussianProcesses gp;
  gp.initialize(map);
  gp.setSublocationIndex(0);
  BeaconMeas m1 = Meas("b1", -72.0), m2 = Meas("b2", -80.0);
  gp.setBleSignals({m1, m2, Meas("unknown", -50.0)});
  gp.setParticles({At(3.0, 4.0)});
  ASSERT_EQ(gp.correction(), 0);
  // n = 3 (the unknown beacon counts); b2 has A = 0, so b1's -70 stays, and
  // its own B = 3 replaces the floor's 2.
  const double l1 = Density(-72.0 - (-70.0 - 2.0 * std::log(25.0 + 1e-5)), 10.0);
  const double l2 = Density(-80.0 - (-70.0 - 3.0 * std::log(49.0 + 16.0 + 1e-5)), 10.0);
  EXPECT_NEAR(gp.getNewWeights()[0], std::pow(l1, 1.0 / 3) * std::pow(l2, 1.0 / 3), 1e-15);

  // Differential: readings that follow the model's differences exactly make
  // the true position the most likely one; a common receiver offset cancels.
  map.getNavigationProperties().gaussianProcesses.Differention_mode = true;
  map.getNavigationProperties().gaussianProcesses.Use_beacon_power = false;
  gp.initialize(map);
  gp.setSublocationIndex(0);
  auto model = [](double bx, double by, double px, double py) {
    return -60.0 - 2.0 * std::log((bx - px) * (bx - px) + (by - py) * (by - py) + 1e-5);
  };
  m1.setRssi(model(0, 0, 3, 4) - 9.0);
  m2.setRssi(model(10, 0, 3, 4) - 9.0);
  gp.setBleSignals({m1, m2});
  gp.setParticles({At(3.0, 4.0), At(8.0, 1.0), At(1.0, 7.0)});
  ASSERT_EQ(gp.correction(), 0);
  EXPECT_DOUBLE_EQ(gp.getExponent(), 0.25);
  const auto w = gp.getNewWeights();
  EXPECT_NEAR(w[0], Density(0.0, 10.0), 1e-15);  // every pair's residual is 0
  EXPECT_GT(w[0], w[1]);
  EXPECT_GT(w[0], w[2]);

  gp.setBleSignals({});
  EXPECT_EQ(gp.correction(), 4);
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
