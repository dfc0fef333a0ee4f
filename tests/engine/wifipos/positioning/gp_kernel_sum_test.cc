// The prediction's kernel sum visits only the training points near a
// position; these tests hold it to the plain sum over every point.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "gp_test_support.h"

namespace {

std::string Key(int n) { return "kernel-key-" + std::string(36, 'k') + std::to_string(n); }

struct Floor {
  SublocationMap map;
  void point(double x, double y) { positioning_test::AddPoint(map, x, y); }
  void entry(int key, int point, double rssi) { positioning_test::AddEntry(map, Key(key), point, rssi); }
};

GaussianProcesses Train(const Floor& f, int mode, bool classic = false) {
  return positioning_test::TrainGp({f.map}, mode, classic);
}


// Every term, in the order of the active points.
double FullSum(const SublocationGP& s, int k, double x, double y, double twoEll2) {
  double f = 0.0;
  const auto& act = s.getActivePoints()[k];
  for (size_t i = 0; i < act.size(); ++i) {
    const auto& [px, py] = s.getPoints()[act[i]];
    f += s.getAlpha()[k][i] * std::exp(-((px - x) * (px - x) + (py - y) * (py - y)) / twoEll2);
  }
  return f;
}

double AbsAlpha(const SublocationGP& s, int k) {
  double a = 0.0;
  for (double v : s.getAlpha()[k]) a += std::fabs(v);
  return a;
}

// A 120 x 50 m floor with scattered points, a surveyed grid block and a
// clump of coincident points; keys heard over different areas, with short,
// long and very long length scales. `dy` moves it all along y.
Floor ScatteredFloor(std::mt19937& rng, double dy = 0.0) {
  Floor f;
  std::uniform_real_distribution<double> ux(0.0, 120.0), uy(dy, dy + 50.0);
  std::normal_distribution<double> shadow(0.0, 5.0);
  for (int i = 0; i < 300; ++i) f.point(ux(rng), uy(rng));
  for (int i = 0; i < 10; ++i)
    for (int j = 0; j < 10; ++j) f.point(60.0 + 1.5 * i, dy + 10.0 + 1.5 * j);
  for (int i = 0; i < 5; ++i) f.point(30.0, dy + 30.0);
  const double ap[4][2] = {{10, dy + 10}, {60, dy + 25}, {110, dy + 40}, {30, dy + 30}};
  const int n = static_cast<int>(f.map.getReferencePoints().size());
  for (int k = 0; k < 4; ++k) {
    for (int p = 0; p < n; ++p) {
      const auto& rp = f.map.getReferencePoints()[p];
      const double d = std::hypot(rp.getX() - ap[k][0], rp.getY() - ap[k][1]);
      const double rssi = -45.0 - 25.0 * std::log10(d + 1.0) + shadow(rng);
      if (k < 3 && rssi < -90.0) continue;
      f.entry(k, p, std::round(rssi * 10.0) / 10.0);
    }
  }
  // ln sf, ln sn, ln ell: length scales of 3, 1, 12 and 0.5 m.
  const double lnEll[4] = {std::log(3.0), 0.0, std::log(12.0), std::log(0.5)};
  for (int k = 0; k < 4; ++k) {
    f.map.getGpParams().push_back(
        GpParams{-40.0, 0.0, 2.5, ap[k][0], ap[k][1], std::log(5.0), std::log(1.5), lnEll[k]});
  }
  f.map.getProperties().ell = 3.0;
  return f;
}

TEST(GpKernelSum, MatchesTheSumOverEveryPoint) {
  const struct {
    int mode;
    bool classic;
    double dy;  // a floor whose points all have negative y, or some
  } cases[] = {{121, false, 0}, {123, false, 0}, {121, true, 0}, {123, true, 0},
               {121, false, -80}, {123, true, -25}};
  for (const auto& [mode, classic, dy] : cases) {
    std::mt19937 rng(4242 + mode);
    const Floor f = ScatteredFloor(rng, dy);
    const GaussianProcesses gp = Train(f, mode, classic);
    const SublocationGP& s = gp.getSublocations()[0];
    ASSERT_EQ(s.getNumberOfKeys(), 4);
    std::uniform_real_distribution<double> qx(-40.0, 160.0), qy(dy - 40.0, dy + 90.0);
    for (int k = 0; k < 4; ++k) {
      ASSERT_TRUE(s.getUsable()[k]);
      const double c = positioning_test::KernelTwoEll2(s, k, mode);
      const double scale = AbsAlpha(s, k);
      ASSERT_GT(scale, 1.0) << "the key must train to something worth cutting";
      // Random places on and off the floor, the training points themselves
      // (terms of kernel value 1), and places far out where only the bound is left.
      std::vector<std::pair<double, double>> at;
      for (int i = 0; i < 400; ++i) at.emplace_back(qx(rng), qy(rng));
      for (int p : s.getActivePoints()[k]) at.push_back(s.getPoints()[p]);
      at.emplace_back(1e6, -1e6);
      at.emplace_back(-1e300, 1e300);
      for (const auto& [x, y] : at) {
        const double want = FullSum(s, k, x, y, c);
        const double got = s.kernelSum(k, x, y);
        const double cut = classic ? SublocationGP::kNeglectedBound : SublocationGP::kKitNeglectedBound;
        ASSERT_NEAR(got, want, cut + 1e-14 * scale)
            << "mode " << mode << (classic ? " classic" : "") << " dy " << dy << " key " << k
            << " at " << x
            << ", " << y;
      }
    }
  }
}

TEST(GpKernelSum, CorrectionWeightsMatchTheFullPrediction) {
  std::mt19937 rng(99);
  const Floor f = ScatteredFloor(rng);
  GaussianProcesses gp = Train(f, 121);
  const SublocationGP& s = gp.getSublocations()[0];
  const std::vector<double> heard = {-62.0, -71.5, 1.0, -80.0};
  gp.setCurrentSignals(heard);
  std::vector<Particle> particles;
  std::uniform_real_distribution<double> ux(0.0, 120.0), uy(0.0, 50.0);
  for (int i = 0; i < 200; ++i) particles.push_back(Particle{ux(rng), uy(rng), 0.0, 1.0});
  gp.setParticles(particles);
  ASSERT_EQ(gp.correction(), 0);
  const std::vector<double> w = gp.getNewWeights();
  const double noise = gp.getNoiseVariance();
  // Each prediction may miss what the cut-off leaves out, which moves the
  // log-likelihood by at most slack.
  const double cut = s.neglectedBound();
  for (size_t j = 0; j < particles.size(); ++j) {
    double logW = 0.0, slack = 0.0;
    for (int k : {0, 1, 3}) {
      const GpParams& p = s.getParameters()[k];
      const double dx = p[GP_PARAM_X_AP] - particles[j].x, dy = p[GP_PARAM_Y_AP] - particles[j].y;
      const double mean = p[GP_PARAM_MU] + p[GP_PARAM_A] - p[GP_PARAM_B] * std::log(dx * dx + dy * dy + 1e-5);
      const double r = heard[k] - mean - FullSum(s, k, particles[j].x, particles[j].y, p[GP_PARAM_ELL]);
      logW += (-r * r / (2.0 * noise) - 0.5 * std::log(2.0 * 3.14159265358979323846 * noise)) / 3.0;
      slack += (std::fabs(r) * cut + 0.5 * cut * cut) / noise / 3.0;
    }
    EXPECT_NEAR(w[j], std::exp(logW), (1e-9 + std::expm1(slack)) * std::exp(logW)) << j;
  }
}

}  // namespace

namespace {

// The mean model's logs are taken four at a time; they must stay within an
// ulp of std::log over every exponent (both sides of each mantissa's split
// at sqrt 2, values next to 1), and give std::log's own answer for what is
// not a positive normal number. Odd counts exercise the partial vector.
TEST(GpLogs, WithinAnUlpOfTheLibrary) {
  std::mt19937 rng(2033);
  std::uniform_real_distribution<double> mantissa(1.0, 2.0);
  std::vector<double> v;
  for (int e = -1022; e <= 1023; e += 3) v.push_back(std::ldexp(mantissa(rng), e));
  for (double m : {1.0, std::nextafter(1.0, 2.0), std::nextafter(1.0, 0.0), 1.41421356237309,
                   1.41421356237310, 0.70710678118654, 0.70710678118655, 1.0 + 1e-9, 1.0 - 1e-9}) {
    v.push_back(m);
  }
  for (int i = 0; i < 2000; ++i) v.push_back(std::exp(std::uniform_real_distribution<double>(-12.0, 12.0)(rng)));
  const double inf = std::numeric_limits<double>::infinity();
  const double specials[] = {0.0, -0.0, -1.0, inf, -inf, std::nan(""), 4.9e-324, 2.0e-308,
                             std::numeric_limits<double>::max()};
  for (const double sp : specials) v.push_back(sp);
  positioning_test::ForEachInstructionSet([&](const positioning_test::InstructionSet& set) {
    SCOPED_TRACE(set.name);
    for (int n : {static_cast<int>(v.size()), 1, 2, 3, 5, 7, 9}) {
      std::vector<double> out(n + 1, 12345.0);
      const std::vector<double> in(v.end() - n, v.end());
      gp_detail::Logs(in.data(), n, out.data());
      ASSERT_EQ(out[n], 12345.0) << "written past the values";
      for (int i = 0; i < n; ++i) {
        const double want = std::log(in[i]);
        if (std::isnan(want)) {
          EXPECT_TRUE(std::isnan(out[i])) << in[i];
        } else if (std::isinf(want)) {
          EXPECT_EQ(out[i], want) << in[i];
        } else {
          const double ulp = std::nextafter(std::fabs(want), inf) - std::fabs(want);
          EXPECT_LE(std::fabs(out[i] - want), ulp) << in[i];
        }
      }
    }
  });
}

}  // namespace
