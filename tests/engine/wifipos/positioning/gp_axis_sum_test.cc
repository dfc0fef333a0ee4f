// Surveyed floors lay their points out in rows and columns, and the kernel
// sums of such floors are taken from per-axis factors shared by the keys of
// one length scale. These tests hold those sums, and the corrections built
// on them, to the plain sum over every point.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "gp_test_support.h"

namespace {

std::string Key(int n) { return "axis-key-" + std::string(36, 'a') + std::to_string(n); }

struct Room {
  double x0, y0, w, h;
  int nx, ny;
};

// Rooms of a 100 x 40 m floor, each with its own point lattice, laid out
// the way a survey walks them: points at the centres of equal cells.
const Room kRooms[] = {
    {0, 0, 30, 16, 15, 8},  {30, 0, 40, 16, 10, 4}, {70, 0, 30, 16, 12, 6},
    {0, 16, 100, 6, 50, 3}, {0, 22, 45, 18, 9, 6},  {45, 22, 55, 18, 22, 9},
};

struct FloorSetup {
  double lnEll[6];     // per key, natural log of the length scale
  double fixedEll;     // the fixed mode's one length scale
  bool partialHearing; // keys 3 and 4 heard only near their transmitter, key 2 with gaps
};

// Each room's points in rows and columns, as a survey lays them out.
void AddRoomLattices(SublocationMap& floor) {
  for (const Room& r : kRooms) {
    for (int j = 0; j < r.ny; ++j) {
      for (int i = 0; i < r.nx; ++i) {
        positioning_test::AddPoint(floor, r.x0 + (i + 0.5) * r.w / r.nx,
                                   r.y0 + (j + 0.5) * r.h / r.ny);
      }
    }
  }
}

SublocationMap LatticeFloor(const FloorSetup& setup, std::mt19937& rng) {
  SublocationMap floor;
  AddRoomLattices(floor);
  // Two points surveyed twice.
  positioning_test::AddPoint(floor, 1.0, 1.0);
  positioning_test::AddPoint(floor, 50.0, 19.0);
  const double ap[6][2] = {{10, 8}, {50, 8}, {90, 30}, {20, 30}, {75, 19}, {98, 2}};
  std::normal_distribution<double> shadow(0.0, 4.0);
  const int n = static_cast<int>(floor.getReferencePoints().size());
  for (int k = 0; k < 6; ++k) {
    for (int p = 0; p < n; ++p) {
      const auto& rp = floor.getReferencePoints()[p];
      const double d = std::hypot(rp.getX() - ap[k][0], rp.getY() - ap[k][1]);
      const double rssi = -45.0 - 25.0 * std::log10(d + 1.0) + shadow(rng);
      if (setup.partialHearing && (k == 3 || k == 4) && d > 30.0) continue;
      // Key 2 misses points here and there: gaps of every length in its rows.
      std::uniform_real_distribution<double> coin(0.0, 1.0);
      if (setup.partialHearing && k == 2 && coin(rng) < 0.45) continue;
      positioning_test::AddEntry(floor, Key(k), p, std::round(rssi * 10.0) / 10.0);
    }
    floor.getGpParams().push_back(GpParams{-40.0, 0.0, 2.5, ap[k][0], ap[k][1], std::log(5.0),
                                           std::log(1.5), setup.lnEll[k]});
  }
  floor.getProperties().ell = setup.fixedEll;
  return floor;
}

GaussianProcesses Train(std::vector<SublocationMap> floors, int mode, bool classic = false) {
  return positioning_test::TrainGp(std::move(floors), mode, classic);
}


// Every term, each with its own exponential.
double FullSum(const SublocationGP& s, int k, double x, double y, int mode) {
  const double c = positioning_test::KernelTwoEll2(s, k, mode);
  double f = 0.0;
  const auto& act = s.getActivePoints()[k];
  for (size_t i = 0; i < act.size(); ++i) {
    const auto& [px, py] = s.getPoints()[act[i]];
    f += s.getAlpha()[k][i] * std::exp(-((px - x) * (px - x) + (py - y) * (py - y)) / c);
  }
  return f;
}

// What the cut-off may leave out, by the behaviour the floor was trained
// with, and rounding.
double Tolerance(const SublocationGP& s, int k, bool classic = false) {
  double a = 0.0;
  for (double v : s.getAlpha()[k]) a += std::fabs(v);
  return (classic ? SublocationGP::kNeglectedBound : SublocationGP::kKitNeglectedBound) + 1e-14 * a;
}

// Length scales of 3 m shared by three keys and 8 m by two; one key alone
// at 0.7 m, short enough that most of the floor is beyond its cut-off.
const FloorSetup kMixed{{std::log(3.0), std::log(3.0), std::log(8.0), std::log(3.0), std::log(8.0),
                        std::log(0.7)},
                       3.0,
                       true};
// Every key at one long length scale: the cut-off reaches across the floor.
const FloorSetup kLong{{std::log(20.0), std::log(20.0), std::log(20.0), std::log(20.0),
                       std::log(20.0), std::log(20.0)},
                      12.0,
                      false};

TEST(GpAxisSum, MatchesTheSumOverEveryPoint) {
  struct Case {
    const char* name;
    const FloorSetup* setup;
    int mode;
    bool classic;  // the original cut-off, far tighter than the kit's
  };
  const Case cases[] = {
      {"mixed scales, full", &kMixed, 121, false},
      {"mixed scales, fixed", &kMixed, 123, false},
      {"long scale, full", &kLong, 121, false},
      {"long scale, fixed", &kLong, 123, false},
      {"mixed scales, full, classic", &kMixed, 121, true},
      {"long scale, fixed, classic", &kLong, 123, true},
  };
  for (const Case& c : cases) {
    std::mt19937 rng(777);
    const GaussianProcesses gp = Train({LatticeFloor(*c.setup, rng)}, c.mode, c.classic);
    const SublocationGP& s = gp.getSublocations()[0];
    ASSERT_EQ(s.getNumberOfKeys(), 6) << c.name;
    // Places on and off the floor, the points themselves, and the points
    // moved along one axis only (the same x with another y).
    std::vector<std::pair<double, double>> at;
    std::uniform_real_distribution<double> qx(-30.0, 130.0), qy(-30.0, 70.0);
    for (int i = 0; i < 300; ++i) at.emplace_back(qx(rng), qy(rng));
    for (size_t p = 0; p < s.getPoints().size(); p += 7) {
      at.push_back(s.getPoints()[p]);
      at.emplace_back(s.getPoints()[p].first, s.getPoints()[p].second + 0.37);
    }
    at.emplace_back(1e7, -1e7);
    // One block for the whole walk over positions, as the corrections use it.
    SublocationGP::KeyBlock block;
    s.prepareBlock({0, 1, 2, 3, 4, 5}, block);
    double sums[6];
    for (const auto& [x, y] : at) {
      s.kernelSums(block, x, y, sums);
      for (int k = 0; k < 6; ++k) {
        ASSERT_TRUE(s.getUsable()[k]) << c.name << " key " << k;
        EXPECT_TRUE(s.usesAxisFactors(k)) << c.name << " key " << k;
        const double want = FullSum(s, k, x, y, c.mode);
        ASSERT_NEAR(sums[k], want, Tolerance(s, k, c.classic))
            << c.name << " key " << k << " at " << x << ", " << y;
        ASSERT_NEAR(s.kernelSum(k, x, y), want, Tolerance(s, k, c.classic))
            << c.name << " key " << k << " at " << x << ", " << y << " (alone)";
      }
    }
    s.kernelSums(block, std::nan(""), 3.0, sums);
    EXPECT_TRUE(std::isnan(sums[0])) << c.name;
  }
}

// A block carried from one floor to another with the same keys must not
// hand the first floor's coefficients to the second.
TEST(GpAxisSum, BlockFollowsTheFloor) {
  std::mt19937 rng(5);
  FloorSetup other = kMixed;
  for (double& l : other.lnEll) l = std::log(6.0);
  std::mt19937 rng2(5);
  const GaussianProcesses gp = Train({LatticeFloor(kMixed, rng), LatticeFloor(other, rng2)}, 121);
  const SublocationGP& a = gp.getSublocations()[0];
  const SublocationGP& b = gp.getSublocations()[1];
  SublocationGP::KeyBlock block;
  for (const auto& [x, y] : {std::pair{12.5, 7.25}, std::pair{60.0, 30.0}}) {
    for (const SublocationGP* s : {&a, &b, &a}) {
      s->prepareBlock({0, 1, 2, 3, 4, 5}, block);
      double sums[6];
      s->kernelSums(block, x, y, sums);
      for (int k = 0; k < 6; ++k) {
        ASSERT_NEAR(sums[k], FullSum(*s, k, x, y, 121), Tolerance(*s, k))
            << "floor " << (s == &a ? "a" : "b") << " key " << k;
      }
    }
  }

}

// The correction's weights, evaluated position by position with shared
// factors, against the prediction written out term by term: the mean each
// key trained with (the original fixed mode adds the record's log-distance
// term to a fit trained without it) plus the kernel sum.
TEST(GpAxisSum, CorrectionWeightsMatchTheFullPrediction) {
  struct Case {
    int mode;
    bool classic;
    std::vector<double> heard;
  };
  const Case cases[] = {
      {121, false, {-62.0, -71.5, 1.0, -80.0, -66.0, -58.5}},
      {123, false, {-62.0, -100.0, -75.0, 1.0, -101.0, -58.5}},
      {123, true, {-62.0, -100.0, -75.0, 1.0, -101.0, -58.5}},
  };
  for (const Case& c : cases) {
    std::mt19937 rng(31);
    GaussianProcesses gp = Train({LatticeFloor(kMixed, rng)}, c.mode, c.classic);
    const SublocationGP& s = gp.getSublocations()[0];
    gp.setCurrentSignals(c.heard);
    std::vector<Particle> particles;
    std::uniform_real_distribution<double> ux(0.0, 100.0), uy(0.0, 40.0);
    for (int i = 0; i < 150; ++i) particles.push_back(Particle{ux(rng), uy(rng), 0.0, 1.0});
    // Copies of one position and a particle on a point, as a resampling leaves them.
    particles.push_back(particles[3]);
    particles.push_back(Particle{s.getPoints()[40].first, s.getPoints()[40].second, 0.0, 1.0});
    particles.push_back(Particle{s.getPoints()[40].first, 33.0, 0.0, 1.0});
    gp.setParticles(particles);
    ASSERT_EQ(gp.correction(), 0) << c.mode;
    const std::vector<double> w = gp.getNewWeights();
    int visible = 0;
    for (double v : c.heard) visible += v > -100.0 && v != 1.0;
    const double noise = gp.getNoiseVariance();
    for (size_t j = 0; j < particles.size(); ++j) {
      // What rounding in the kernel sums may move the log-weight by.
      double slack = 1e-12;
      double logW = 0.0;
      for (int k = 0; k < 6; ++k) {
        if (c.heard[k] < -100.0 || c.heard[k] == 1.0) continue;
        const GpParams& p = s.getParameters()[k];
        const double mu = c.mode == 123 ? -115.0 : p[GP_PARAM_MU];
        const double dx = p[GP_PARAM_X_AP] - particles[j].x, dy = p[GP_PARAM_Y_AP] - particles[j].y;
        const double logMean = p[GP_PARAM_A] - p[GP_PARAM_B] * std::log(dx * dx + dy * dy + 1e-5);
        const double mean = mu + (c.mode == 123 && !c.classic ? 0.0 : logMean);
        const double r = c.heard[k] - mean - FullSum(s, k, particles[j].x, particles[j].y, c.mode);
        logW += (-r * r / (2.0 * noise) - 0.5 * std::log(2.0 * 3.14159265358979323846 * noise)) /
                visible;
        slack += std::fabs(r) / noise / visible * Tolerance(s, k, c.classic);
      }
      EXPECT_NEAR(w[j], std::exp(logW), slack * std::exp(logW))
          << "mode " << c.mode << (c.classic ? " classic" : " kit") << " particle " << j;
    }
  }
}

// A floor of kKeys keys at length scales 3, 8 and 0.3 m (key k at the k % 3
// one); the 0.3 m keys are heard at a handful of points only, too few for
// axis factors.
constexpr int kKeys = 75;

SublocationMap ManyKeysFloor(std::mt19937& rng) {
  SublocationMap floor;
  AddRoomLattices(floor);
  const int n = static_cast<int>(floor.getReferencePoints().size());
  std::uniform_real_distribution<double> apx(0.0, 100.0), apy(0.0, 40.0), coin(0.0, 1.0);
  std::normal_distribution<double> shadow(0.0, 4.0);
  const double ells[3] = {3.0, 8.0, 0.3};
  for (int k = 0; k < kKeys; ++k) {
    // Every key is heard at its transmitter's point, so the key list keeps
    // the order made here.
    const auto& home = floor.getReferencePoints()[(k * 37) % n];
    const double ax = home.getX(), ay = home.getY();
    const bool sparse = k % 3 == 2;
    const double reach = sparse ? 2.5 : 25.0 + 40.0 * coin(rng);
    for (int p = 0; p < n; ++p) {
      const auto& rp = floor.getReferencePoints()[p];
      const double d = std::hypot(rp.getX() - ax, rp.getY() - ay);
      if (d > reach || (d > 0.0 && !sparse && coin(rng) < 0.2)) continue;
      const double rssi = -45.0 - 25.0 * std::log10(d + 1.0) + shadow(rng);
      positioning_test::AddEntry(floor, Key(100 + k), p, std::round(rssi * 10.0) / 10.0);
    }
  }
  floor.updateUniqueApsBssid();
  for (int k = 0; k < kKeys; ++k) {
    floor.getGpParams().push_back(GpParams{-40.0, 0.0, 2.5, apx(rng), apy(rng), std::log(5.0),
                                           std::log(1.5), std::log(ells[k % 3])});
  }
  return floor;
}

// Venues hear many more keys than fit in one pass: the block sums them in
// passes of a bounded number of keys per length scale, beside keys too
// sparse for axis factors, in whatever order and with whatever repeats the
// caller lists them.
TEST(GpAxisSum, BlocksOfManyKeys) {
  std::mt19937 rng(2027);
  const SublocationMap floor = ManyKeysFloor(rng);
  const int n = static_cast<int>(floor.getReferencePoints().size());
  const int nKeys = static_cast<int>(floor.getUniqueApsBssid().size());
  ASSERT_EQ(nKeys, kKeys);
  const GaussianProcesses gp = Train({floor}, 121);
  const SublocationGP& s = gp.getSublocations()[0];
  int alone = 0;
  for (int k = 0; k < nKeys; ++k) alone += s.getUsable()[k] && !s.usesAxisFactors(k);
  ASSERT_GT(alone, 0) << "some keys must be summed on their own";

  std::vector<int> all(nKeys), reversed(nKeys), scale3;
  for (int k = 0; k < nKeys; ++k) {
    all[k] = k;
    reversed[nKeys - 1 - k] = k;
    if (k % 3 == 0) scale3.push_back(k);
  }
  std::vector<int> messy = {nKeys - 1, -1, 2, 2, nKeys + 5, 0};
  for (int k = 1; k < nKeys; k += 2) messy.push_back(k);
  const std::vector<std::pair<const char*, std::vector<int>>> lists = {
      {"every key", all}, {"reversed", reversed}, {"one length scale", scale3},
      {"repeats and strangers", messy}, {"one key", {7}}, {"none", {}}};
  std::uniform_real_distribution<double> qx(-20.0, 120.0), qy(-20.0, 60.0);
  SublocationGP::KeyBlock block;
  for (const auto& [name, keys] : lists) {
    s.prepareBlock(keys, block);
    std::vector<double> sums(keys.size() + 1, 12345.0);
    for (int i = 0; i < 60; ++i) {
      const double x = i % 5 == 0 ? s.getPoints()[i * 7 % n].first : qx(rng);
      const double y = i % 5 == 0 ? s.getPoints()[i * 7 % n].second : qy(rng);
      s.kernelSums(block, x, y, sums.data());
      for (size_t j = 0; j < keys.size(); ++j) {
        const int k = keys[j];
        const double want = k < 0 || k >= nKeys ? 0.0 : FullSum(s, k, x, y, 121);
        const double tol = k < 0 || k >= nKeys ? 0.0 : Tolerance(s, k);
        ASSERT_NEAR(sums[j], want, tol) << name << " key " << k << " at " << x << ", " << y;
      }
      ASSERT_EQ(sums[keys.size()], 12345.0) << name << ": written past the keys";
    }
    // Two positions at once: close together they share the work, apart
    // (or not finite) they are summed one by one.
    const std::pair<double, double> seconds[] = {{0.6, -0.35}, {0.0, 0.0}, {3.9, 3.9}, {-30.0, 2.0}};
    std::vector<double> first(keys.size() + 1, 12345.0), second(keys.size() + 1, 12345.0);
    for (int i = 0; i < 40; ++i) {
      const double x = qx(rng), y = qy(rng);
      const auto& [dx, dy] = seconds[i % 4];
      const double x2 = i == 39 ? std::nan("") : x + dx, y2 = y + dy;
      s.kernelSums(block, x, y, x2, y2, first.data(), second.data());
      for (size_t j = 0; j < keys.size(); ++j) {
        const int k = keys[j];
        const bool stranger = k < 0 || k >= nKeys;
        ASSERT_NEAR(first[j], stranger ? 0.0 : FullSum(s, k, x, y, 121),
                    stranger ? 0.0 : Tolerance(s, k))
            << name << " key " << k << " first of a pair at " << x << ", " << y;
        if (i == 39) {
          if (!stranger && s.getUsable()[k] && s.getActivePoints()[k].size() > 0) {
            EXPECT_TRUE(std::isnan(second[j]) || second[j] == 0.0) << name << " key " << k;
          }
          continue;
        }
        ASSERT_NEAR(second[j], stranger ? 0.0 : FullSum(s, k, x2, y2, 121),
                    stranger ? 0.0 : Tolerance(s, k))
            << name << " key " << k << " second of a pair at " << x2 << ", " << y2;
      }
      ASSERT_EQ(first[keys.size()], 12345.0) << name;
      ASSERT_EQ(second[keys.size()], 12345.0) << name;
    }
  }
}

}  // namespace

namespace {

// The block sums run as many doubles to a vector as the instruction set
// has (two, four or eight). Two positions add each key's terms in one order
// whatever the width, so every set that fuses its multiply-adds gives the
// same sums bit for bit (the others within rounding); one position may pair
// its points differently, within rounding. Every set holds to the plain sum,
// for passes of every size from one vector of keys to several chunks.
TEST(GpAxisSum, EveryInstructionSetGivesTheSameSums) {
  std::mt19937 rng(2029);
  const SublocationMap floor = ManyKeysFloor(rng);
  const GaussianProcesses gp = Train({floor}, 121);
  const SublocationGP& s = gp.getSublocations()[0];
  const int nKeys = s.getNumberOfKeys();
  ASSERT_EQ(nKeys, kKeys);
  std::vector<int> scale3;  // axis-factor keys of one length scale
  for (int k = 0; k < nKeys; k += 3) scale3.push_back(k);
  auto first = [&](size_t count) {
    return std::vector<int>(scale3.begin(), scale3.begin() + std::min(count, scale3.size()));
  };
  std::vector<int> all(nKeys);
  for (int k = 0; k < nKeys; ++k) all[k] = k;
  const std::pair<const char*, std::vector<int>> lists[] = {
      {"1 key", first(1)},    {"4 keys", first(4)},   {"5 keys", first(5)},
      {"9 keys", first(9)},   {"13 keys", first(13)}, {"16 keys", first(16)},
      {"17 keys", first(17)}, {"25 keys", first(25)}, {"every key", all}};
  std::uniform_real_distribution<double> qx(-10.0, 110.0), qy(-10.0, 50.0), near(-1.5, 1.5);
  std::vector<double> px, py;
  for (int i = 0; i < 30; ++i) {
    px.push_back(qx(rng));
    py.push_back(qy(rng));
    px.push_back(px.back() + near(rng));
    py.push_back(py.back() + near(rng));
  }
  for (const auto& list : lists) {
    const char* const name = list.first;  // named, not bound: lambdas capture them
    const std::vector<int>& keys = list.second;
    const size_t m = keys.size();
    // Per position: its sums as one of a pair, and alone; from the best set.
    std::vector<std::vector<double>> bestPair, bestAlone;
    bool bestFused = false;
    int sets = 0;
    positioning_test::ForEachInstructionSet([&](const positioning_test::InstructionSet& set) {
      ++sets;
      SublocationGP::KeyBlock block;
      s.prepareBlock(keys, block);
      for (size_t i = 0; i < px.size(); i += 2) {
        std::vector<double> p0(m), p1(m), alone(m);
        s.kernelSums(block, px[i], py[i], px[i + 1], py[i + 1], p0.data(), p1.data());
        s.kernelSums(block, px[i], py[i], alone.data());
        if (bestPair.size() < px.size()) {
          bestFused = set.fused;
          bestPair.push_back(p0);
          bestPair.push_back(p1);
          bestAlone.push_back(alone);
          continue;
        }
        for (size_t j = 0; j < m; ++j) {
          const int k = keys[j];
          const double want = FullSum(s, k, px[i], py[i], 121);
          ASSERT_NEAR(p0[j], want, Tolerance(s, k)) << set.name << " " << name << " key " << k;
          ASSERT_NEAR(alone[j], want, Tolerance(s, k)) << set.name << " " << name << " key " << k;
          ASSERT_NEAR(p1[j], FullSum(s, k, px[i + 1], py[i + 1], 121), Tolerance(s, k))
              << set.name << " " << name << " key " << k;
          if (set.fused && bestFused) {
            ASSERT_EQ(p0[j], bestPair[i][j]) << set.name << " " << name << " key " << k;
            ASSERT_EQ(p1[j], bestPair[i + 1][j]) << set.name << " " << name << " key " << k;
          }
        }
      }
    });
    ASSERT_GE(sets, 1);
    for (size_t i = 0; i < bestPair.size(); ++i) {
      for (size_t j = 0; j < m; ++j) {
        ASSERT_NEAR(bestPair[i][j], FullSum(s, keys[j], px[i], py[i], 121), Tolerance(s, keys[j]))
            << "best set, " << name << " key " << keys[j];
      }
    }
    for (size_t i = 0; i < bestAlone.size(); ++i) {
      for (size_t j = 0; j < m; ++j) {
        ASSERT_NEAR(bestAlone[i][j], FullSum(s, keys[j], px[2 * i], py[2 * i], 121),
                    Tolerance(s, keys[j]))
            << "best set alone, " << name << " key " << keys[j];
      }
    }
  }
}

// A block laid out while one instruction set ran still gives the plain sums
// once another runs (its vectors then have another width).
TEST(GpAxisSum, BlockFollowsTheInstructionSet) {
  std::mt19937 rng(2030);
  const SublocationMap floor = ManyKeysFloor(rng);
  const GaussianProcesses gp = Train({floor}, 121);
  const SublocationGP& s = gp.getSublocations()[0];
  std::vector<int> keys(s.getNumberOfKeys());
  for (size_t k = 0; k < keys.size(); ++k) keys[k] = static_cast<int>(k);
  std::vector<positioning_test::InstructionSet> sets;
  positioning_test::ForEachInstructionSet([&](const positioning_test::InstructionSet& set) { sets.push_back(set); });
  std::uniform_real_distribution<double> qx(0.0, 100.0), qy(0.0, 40.0);
  for (const auto& from : sets) {
    for (const auto& to : sets) {
      SublocationGP::KeyBlock block;
      hwy::SetSupportedTargetsForTest(from.target);
      s.prepareBlock(keys, block);
      hwy::SetSupportedTargetsForTest(to.target);
      std::vector<double> sums(keys.size() + 1, 12345.0), other(keys.size() + 1, 12345.0);
      const double x = qx(rng), y = qy(rng);
      s.kernelSums(block, x, y, x + 0.5, y - 0.5, sums.data(), other.data());
      hwy::SetSupportedTargetsForTest(0);
      ASSERT_EQ(sums[keys.size()], 12345.0) << from.name << " -> " << to.name;
      ASSERT_EQ(other[keys.size()], 12345.0) << from.name << " -> " << to.name;
      for (const int k : keys) {
        ASSERT_NEAR(sums[k], FullSum(s, k, x, y, 121), Tolerance(s, k)) << from.name << " -> " << to.name;
        ASSERT_NEAR(other[k], FullSum(s, k, x + 0.5, y - 0.5, 121), Tolerance(s, k))
            << from.name << " -> " << to.name;
      }
    }
  }
}

}  // namespace

namespace {

// Groups of positions: neighbours share a pass (four at most, on any
// instruction set), while a far or non-finite member is summed apart without
// spoiling the others. Every sum holds to the plain one; close groups agree
// bit for bit between the sets that fuse their multiply-adds, however a set
// splits them into passes.
TEST(GpAxisSum, GroupsOfPositions) {
  std::mt19937 rng(2031);
  const SublocationMap floor = ManyKeysFloor(rng);
  const GaussianProcesses gp = Train({floor}, 121);
  const SublocationGP& s = gp.getSublocations()[0];
  const int nKeys = s.getNumberOfKeys();
  std::vector<int> keys(nKeys);
  for (int k = 0; k < nKeys; ++k) keys[k] = k;
  enum Spread { kClose, kOneFar, kOneNan };
  const struct {
    int n;
    Spread spread;
  } cases[] = {{1, kClose}, {2, kClose}, {3, kClose}, {4, kClose}, {6, kClose},
               {3, kOneFar}, {4, kOneFar}, {4, kOneNan}, {3, kOneNan}};
  std::uniform_real_distribution<double> qx(-10.0, 110.0), qy(-10.0, 50.0), near(-1.5, 1.5);
  for (const auto& c : cases) {
    for (int round = 0; round < 8; ++round) {
      std::vector<double> x(c.n), y(c.n);
      x[0] = qx(rng);
      y[0] = qy(rng);
      for (int q = 1; q < c.n; ++q) {
        x[q] = x[0] + near(rng);
        y[q] = y[0] + near(rng);
      }
      const int odd = c.n / 2;  // the member out of place
      if (c.spread == kOneFar) x[odd] += 25.0;
      if (c.spread == kOneNan) y[odd] = std::nan("");
      // The best fusing set's sums, then every other set's against them.
      std::vector<std::vector<double>> reference;
      positioning_test::ForEachInstructionSet([&](const positioning_test::InstructionSet& set) {
        SublocationGP::KeyBlock block;
        s.prepareBlock(keys, block);
        std::vector<std::vector<double>> got(c.n, std::vector<double>(nKeys + 1, 12345.0));
        std::vector<double*> p(c.n);
        for (int q = 0; q < c.n; ++q) p[q] = got[q].data();
        s.kernelSums(block, c.n, x.data(), y.data(), p.data());
        for (int q = 0; q < c.n; ++q) {
          ASSERT_EQ(got[q][nKeys], 12345.0) << set.name << " " << c.n << ": written past the keys";
          for (int k = 0; k < nKeys; ++k) {
            if (!std::isfinite(y[q])) {
              EXPECT_TRUE(std::isnan(got[q][k]) || got[q][k] == 0.0) << k;
              continue;
            }
            ASSERT_NEAR(got[q][k], FullSum(s, k, x[q], y[q], 121), Tolerance(s, k))
                << set.name << " " << c.n << " position " << q;
            if (!reference.empty() && set.fused && c.spread == kClose && c.n >= 2) {
              ASSERT_EQ(got[q][k], reference[q][k]) << set.name << " " << c.n << " position " << q << " key " << k;
            }
          }
        }
        if (reference.empty() && set.fused) reference = got;
      });
    }
  }
}

}  // namespace

namespace {

// Benchmarks measure a processor without the best instruction set by
// avoiding it; the restriction must hold after the supported targets are
// asked for again (as a benchmark does to print them).
TEST(GpVectorTargets, AvoidedSetStaysAvoided) {
  const long long usable = gp_detail::VectorTargets() & hwy::SupportedTargets();
  const long long best = usable & -usable;
  const long long rest = usable & ~best;
  if (rest == 0) GTEST_SKIP() << "one instruction set only";
  struct Restore {
    ~Restore() { hwy::SetSupportedTargetsForTest(0); }
  } restore;
  EXPECT_EQ(gp_detail::VectorTargetInUse(), best);
  gp_detail::AvoidVectorTargets(best);
  EXPECT_EQ(hwy::SupportedTargets() & best, 0);
  EXPECT_EQ(gp_detail::VectorTargetInUse(), rest & -rest) << hwy::TargetName(best) << " still runs";
}

}  // namespace
