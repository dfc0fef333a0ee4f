// How the kit weighs radio evidence against the particle cloud, next to the
// original weighing: steps between fixes, Gaussian-process factors and
// resampling while the walker stands still.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "venuesim/floor_bitmap.h"
#include "venuesim/walkable_grid.h"
#include "wifipos/bmp/particle_filter_methods.h"
#include "wifipos/gaussian_processes/gp_methods.h"

namespace {

// 10 m x 10 m, all walkable.
BmpState OpenRoom() {
  venuesim::WalkableGrid grid(10.0, 10.0, 0.1);
  const std::string bytes = venuesim::EncodeFloorBitmap(grid);
  BmpState bmp;
  EXPECT_EQ(0, bmp.readFromBuffer(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                                  10.0, 10.0));
  return bmp;
}

// A cloud of n particles around (x, y) with the given spread.
ParticleFilter Cloud(bool kit, int algorithm, double x, double y, double spread, int n = 1000,
                     double resamplingNoise = 1.0) {
  ParticleFilter pf(kit ? EngineBehaviour::kit() : EngineBehaviour::original());
  SublocationNavProperties floor;
  floor.width_meters = 10.0;
  floor.height_meters = 10.0;
  floor.Number_of_part = n;
  floor.Resampling_noise_meters = resamplingNoise;
  floor.Correction_noise_meters = 1.0;
  pf.setSublocationProperties(floor);
  CommonNavProperties common;
  common.Use_algorithm = algorithm;
  common.Noisy_resampling_trigger_counter = 0;
  pf.setFilterProperties(common);
  pf.setBmpState(OpenRoom());
  pf.initializeParticles();
  pf.reinitializeParticles();
  pf.resampleAroundPoint(x, y, spread);
  pf.getSolution();
  return pf;
}

void SetFix(ParticleFilter& pf, double x, double y) {
  SolutionInfo s = pf.getSolutionInfo();
  s.x = x;
  s.y = y;
  pf.setSolutionInfo(s);
}

TEST(KitFusionTest, AStepAloneIsNotWeighedAgainstTheLastFix) {
  struct Case {
    bool kit;
    bool deadReckoning;
    bool cloudStaysUnweighted;
  };
  const Case cases[] = {{false, false, false}, {true, false, true}, {false, true, true}};
  for (const Case& c : cases) {
    ParticleFilter pf = Cloud(c.kit, 107, 5.0, 5.0, 1.0);
    pf.setDeadReckoning(c.deadReckoning);
    SetFix(pf, 2.0, 2.0);  // the last fix, weighed before this step
    pf.setPredictionInfo(1.0, 0.0);
    pf.moveParticles();
    double mx = 0.0, live = 0.0;
    for (const Particle& p : pf.getParticles()) {
      if (p.weight == 0.0) continue;
      mx += p.x;
      live += 1.0;
    }
    mx /= live;
    pf.setStep();
    GaussianProcesses gp;
    ASSERT_EQ(pf.executeFilter(gp), 0);
    const double filtered = pf.getSolutionInfo().filteredX;
    SCOPED_TRACE(std::string(c.kit ? "kit" : "original") + (c.deadReckoning ? ", dead reckoning" : ""));
    if (c.cloudStaysUnweighted) {
      EXPECT_NEAR(filtered, mx, 1e-9);
    } else {
      EXPECT_LT(filtered, mx - 0.05);  // pulled back towards the old fix
    }
  }
}

TEST(KitFusionTest, AnUnbiasedGaussianProcessResultCountsAsSeveralReadings) {
  struct Case {
    bool kit;
    bool several;  // false: a result known to be biased (the fixed mode's)
    double ratio;  // weight of particle 0 over particle 1 after the correction
  };
  const Case cases[] = {{false, true, 2.0}, {true, true, 16.0}, {false, false, 2.0}, {true, false, 2.0}};
  for (const Case& c : cases) {
    ParticleFilter pf = Cloud(c.kit, 108, 5.0, 5.0, 1.0, 4);
    pf.setNewWeights({0.8, 0.4, 0.4, 0.2}, c.several);
    pf.updateWeights();
    const std::vector<Particle> ps = pf.getParticles();
    ASSERT_GT(ps[1].weight, 0.0);
    EXPECT_NEAR(ps[0].weight / ps[1].weight, c.ratio, 1e-9)
        << (c.kit ? "kit" : "original") << (c.several ? "" : ", counted once");
    double sum = 0.0;
    for (const Particle& p : ps) sum += p.weight;
    EXPECT_NEAR(sum, 1.0, 1e-12);
  }
}

TEST(KitFusionTest, AWalkerStandingStillIsResampledWithLittleNoise) {
  struct Case {
    bool kit;
    bool standing;
    double spread;  // root mean square move of a particle, metres
  };
  // Noise 1 m per axis moves a particle sqrt(2) m on average.
  const Case cases[] = {
      {false, false, std::sqrt(2.0)},
      {false, true, std::sqrt(2.0)},
      {true, false, std::sqrt(2.0)},
      {true, true, 0.1 * std::sqrt(2.0)},
  };
  for (const Case& c : cases) {
    ParticleFilter pf = Cloud(c.kit, 107, 5.0, 5.0, 0.0, 2000, 1.0);
    pf.setStanding(c.standing);
    pf.resampleParticles();
    double s2 = 0.0;
    for (const Particle& p : pf.getParticles()) s2 += (p.x - 5.0) * (p.x - 5.0) + (p.y - 5.0) * (p.y - 5.0);
    const double rms = std::sqrt(s2 / 2000.0);
    EXPECT_NEAR(rms, c.spread, 0.1 * c.spread)
        << (c.kit ? "kit" : "original") << (c.standing ? ", standing" : ", walking");
  }
}

TEST(KitFusionTest, AStepMovedWalkerIsResampledNarrowlyButForOneDrawInTwenty) {
  struct Case {
    const char* what;
    bool kit;
    bool stepped;
    bool standing;
    bool anchored;  // every particle drawn around a point
    bool deadReckoning;
    double narrow;  // root mean square move of the particles i % 20 != 0, metres
    double wide;    // the same of the particles i % 20 == 0
  };
  // Noise 1 m per axis moves a particle sqrt(2) m on average.
  const double full = std::sqrt(2.0);
  const Case cases[] = {
      {"original, stepped", false, true, false, false, false, full, full},
      {"kit, radio only", true, false, false, false, false, full, full},
      {"kit, stepped", true, true, false, false, false, 0.02 * full, full},
      {"kit, stepped, standing", true, true, true, false, false, 0.1 * full, 0.1 * full},
      {"kit, stepped, drawn around a point", true, true, false, true, false, full, full},
      {"kit, stepped, dead reckoning", true, true, false, false, true, full, full},
  };
  constexpr int kN = 4000;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ParticleFilter pf = Cloud(c.kit, 107, 5.0, c.stepped ? 4.5 : 5.0, 0.0, kN, 1.0);
    if (c.stepped) {
      // Without a fix to steer the cloud the step is not spread: every
      // particle lands on (5, 5).
      pf.setDeadReckoning(true);
      pf.setPredictionInfo(0.5, 0.0);
      pf.moveParticles();  // heading 0
    }
    pf.setStanding(c.standing);
    pf.setDeadReckoning(c.deadReckoning);
    if (c.anchored) {
      pf.resampleAroundPoint(5.0, 5.0, 1.0);
    } else {
      pf.resampleParticles();
    }
    double s2[2] = {0.0, 0.0};
    int n[2] = {0, 0};
    const std::vector<Particle> ps = pf.getParticles();
    for (size_t i = 0; i < ps.size(); ++i) {
      const int k = i % 20 == 0 ? 1 : 0;
      s2[k] += (ps[i].x - 5.0) * (ps[i].x - 5.0) + (ps[i].y - 5.0) * (ps[i].y - 5.0);
      ++n[k];
    }
    EXPECT_NEAR(std::sqrt(s2[0] / n[0]), c.narrow, 0.1 * c.narrow);
    EXPECT_NEAR(std::sqrt(s2[1] / n[1]), c.wide, 0.2 * c.wide);
  }
}

// Heading noise spreads the cloud sideways; in the kit its mean still
// advances a whole step each move, where the original falls short by the
// mean cosine of the noise.
TEST(KitFusionTest, HeadingNoiseDoesNotShortenTheCloudsAdvance) {
  const struct {
    bool kit;
    double noiseDeg;
    double advance;  // metres along the heading after ten steps of 0.5 m
  } cases[] = {
      {false, 0.0, 5.0}, {true, 0.0, 5.0}, {true, 10.0, 5.0}, {true, 30.0, 5.0},
      {false, 30.0, 5.0 * std::exp(-0.5 * (M_PI / 6) * (M_PI / 6))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.kit ? "kit" : "original") + ", noise " + std::to_string(c.noiseDeg));
    ParticleFilter pf = Cloud(c.kit, 107, 5.0, 1.0, 0.0, 4000);
    pf.setDeadReckoning(true);
    for (int i = 0; i < 10; ++i) {
      pf.setPredictionInfo(0.5, c.noiseDeg);
      pf.moveParticles();  // heading 0: along +y
    }
    pf.getSolution();
    EXPECT_NEAR(pf.getSolutionInfo().filteredY - 1.0, c.advance, 0.04);
    EXPECT_NEAR(pf.getSolutionInfo().filteredX, 5.0, 0.1);
  }
}

// The walker's gain may still be a fifth off: while fixes steer the cloud,
// the kit spreads each step along its way by a quarter of its length on top
// of the settings' noise, so a fix can pull a cloud that fell behind.
TEST(KitFusionTest, WhileFixesSteerTheCloudItsStepsSpreadByAShareOfTheirLength) {
  const double doubted = std::hypot(0.1, 0.25 * 2.0);
  const struct {
    const char* what;
    bool kit;
    int algorithm;
    bool deadReckoning;
    double spread;  // m, along the way after one 2 m step
  } cases[] = {
      {"kit, nearest neighbours", true, 107, false, doubted},
      {"kit, histograms", true, 109, false, doubted},
      {"kit, Gaussian processes", true, 108, false, 0.1},
      {"kit, dead reckoning", true, 107, true, 0.1},
      {"original", false, 107, false, 0.1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ParticleFilter pf = Cloud(c.kit, c.algorithm, 5.0, 2.0, 0.0, 4000);
    CommonNavProperties::Motion motion;
    motion.Steplength_noise = 0.1;
    motion.Angle_noise = 0.0;
    pf.setMotionParameters(motion);
    pf.setDeadReckoning(c.deadReckoning);
    pf.setPredictionInfo(2.0, 0.0);
    pf.moveParticles();  // heading 0: along +y
    double sy = 0.0, s2 = 0.0;
    const std::vector<Particle> ps = pf.getParticles();
    for (const Particle& p : ps) {
      sy += p.y;
      s2 += p.y * p.y;
    }
    const double n = static_cast<double>(ps.size());
    EXPECT_NEAR(sy / n, 4.0, 0.05);
    EXPECT_NEAR(std::sqrt(s2 / n - (sy / n) * (sy / n)), c.spread, 0.1 * c.spread);
  }
}

TEST(KitFusionTest, AFixFarFromAStepMovedCloudIsWeighedByItsDistance) {
  // Two particles 1 m apart, the fix beyond both: the nearer one gains
  // exp(1 / (2 sigma)) over the other. Correction noise 1 m, gate 1.5 m.
  struct Case {
    bool kit;
    bool stepped;
    double fixX;   // the cloud's mean is at x = 5.5
    double sigma;  // the noise the fix is weighed with
  };
  const Case cases[] = {
      {false, true, 11.5, 1.0},  // the original weighs every fix alike
      {true, false, 11.5, 1.0},  // no step has moved the cloud: the fix decides
      {true, true, 11.5, 4.0},   // 6 m off: noise 6 / 1.5
      {true, true, 6.8, 1.0},    // 1.3 m off: within the gate
      {true, true, 7.5, 2.0 / 1.5},  // 2 m off: noise 2 / 1.5
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.kit ? "kit" : "original") + (c.stepped ? ", stepped" : "") + ", fix at " +
                 std::to_string(c.fixX));
    ParticleFilter pf = Cloud(c.kit, 107, 5.0, 5.0, 0.0, 2);
    if (c.stepped) {
      pf.setPredictionInfo(0.5, 0.0);
      pf.moveParticles();
    }
    pf.setParticles({{5.0, 5.0, 0.0, 0.5}, {6.0, 5.0, 0.0, 0.5}});
    pf.getSolution();
    ASSERT_NEAR(pf.getSolutionInfo().filteredX, 5.5, 1e-12);
    SetFix(pf, c.fixX, 5.0);
    pf.updateWeights();
    const std::vector<Particle> ps = pf.getParticles();
    ASSERT_GT(ps[0].weight, 0.0);
    EXPECT_NEAR(ps[1].weight / ps[0].weight, std::exp(1.0 / (2.0 * c.sigma)), 1e-9);
  }
}

TEST(KitFusionTest, AStepMovedCloudLearnsTheNoiseOfItsFixes) {
  // Fixes scattered e metres to either side of the cloud's mean (x = 5.5),
  // then one within the gate beyond both particles: the two particles 1 m
  // apart weigh exp(1 / (2 sigma)) to each other. Correction noise 4 m.
  struct Case {
    bool kit;
    bool stepped;
    double scatter;  // e
    double sigma;    // the noise the last fix is weighed with
  };
  const Case cases[] = {
      {true, true, 2.4, 1.2},    // half the mean distance per axis
      {true, true, 0.4, 0.5},    // never below half a metre
      {true, true, 12.0, 4.0},   // never above the correction noise
      {true, false, 2.4, 4.0},   // no step has moved the cloud
      {false, true, 2.4, 4.0},   // the original weighs every fix alike
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.kit ? "kit" : "original") + (c.stepped ? ", stepped" : "") + ", scatter " +
                 std::to_string(c.scatter));
    ParticleFilter pf = Cloud(c.kit, 107, 5.0, 5.0, 0.0, 2);
    FilterProperties props = pf.getProperties();
    props.correctionNoise = 4.0;
    pf.setProperties(props);
    if (c.stepped) {
      pf.setPredictionInfo(0.5, 0.0);
      pf.moveParticles();
    }
    const std::vector<Particle> pair = {{5.0, 5.0, 0.0, 0.5}, {6.0, 5.0, 0.0, 0.5}};
    pf.setParticles(pair);
    pf.getSolution();
    for (int k = 0; k < 80; ++k) {
      SetFix(pf, 5.5 + (k % 2 == 0 ? c.scatter : -c.scatter), 5.0);
      pf.updateWeights();
      pf.setParticles(pair);
    }
    SetFix(pf, 6.2, 5.0);
    pf.updateWeights();
    const std::vector<Particle> ps = pf.getParticles();
    ASSERT_GT(ps[0].weight, 0.0);
    EXPECT_NEAR(ps[1].weight / ps[0].weight, std::exp(1.0 / (2.0 * c.sigma)), 1e-3);
  }
}

TEST(KitFusionTest, AFloorChangeCarriesTheCloudOverWhereTheNewFloorIsWalkable) {
  // The new floor is walled off for x < 4: particles landing there are drawn
  // again from the others.
  venuesim::WalkableGrid grid(10.0, 10.0, 0.1);
  grid.blockSegment(0.0, -1.0, 0.0, 11.0, 4.0);
  const std::string bytes = venuesim::EncodeFloorBitmap(grid);
  BmpState walled;
  ASSERT_EQ(0, walled.readFromBuffer(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), 10.0, 10.0));
  struct Case {
    const char* what;
    double x, y;       // where the old floor's cloud stands
    int count;         // particles of the old floor's cloud
    bool carried;
  };
  const Case cases[] = {
      {"walkable", 7.0, 3.0, 100, true},
      {"half in the wall", 4.0, 3.0, 100, true},
      {"all in the wall", 2.0, 3.0, 100, false},
      {"another particle count", 7.0, 3.0, 50, false},
      {"no cloud", 7.0, 3.0, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<Particle> before;
    if (c.count > 0) before = Cloud(true, 107, c.x, c.y, 0.5, c.count).getParticles();
    ParticleFilter pf = Cloud(true, 107, 5.0, 5.0, 0.0, 100);
    pf.setBmpState(walled);
    pf.initializeParticles();
    ASSERT_EQ(pf.carryCloudOver(before), c.carried);
    if (!c.carried) continue;
    double sum = 0.0, mx = 0.0, my = 0.0;
    for (const Particle& p : pf.getParticles()) {
      ASSERT_GT(p.weight, 0.0);  // a full cloud, none left in the wall
      EXPECT_GE(p.x, 4.0);
      sum += p.weight;
      mx += p.weight * p.x;
      my += p.weight * p.y;
    }
    EXPECT_NEAR(sum, 1.0, 1e-9);
    EXPECT_NEAR(my, c.y, 0.5);
    EXPECT_NEAR(mx, std::max(c.x, 4.0 + 0.5), 0.8);
  }
}

}  // namespace
