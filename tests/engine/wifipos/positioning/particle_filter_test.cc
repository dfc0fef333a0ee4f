#include "wifipos/bmp/particle_filter_methods.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "venuesim/floor_bitmap.h"
#include "venuesim/generator.h"
#include "venuesim/venue_archive.h"
#include "venuesim/walkable_grid.h"
#include "wifipos/gaussian_processes/gp_methods.h"
#include "wifipos/navigation_map/navigation_map.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
const double kNaN = std::numeric_limits<double>::quiet_NaN();
// The filter as first written; the kit's weighing is checked in
// kit_fusion_test.cc.
const EngineBehaviour kOriginal = EngineBehaviour::original();

BmpState FromGrid(const venuesim::WalkableGrid& grid) {
  const std::string bytes = venuesim::EncodeFloorBitmap(grid);
  BmpState bmp;
  EXPECT_EQ(0, bmp.readFromBuffer(reinterpret_cast<const unsigned char*>(bytes.data()),
                                  bytes.size(), grid.widthMeters(), grid.heightMeters()));
  return bmp;
}

// 10 m x 10 m at 10 pixels per metre, all walkable but the listed columns.
BmpState Room(std::vector<int> wallColumns = {}) {
  venuesim::WalkableGrid grid(10.0, 10.0, 0.1);
  for (int c : wallColumns)
    for (int r = 0; r < grid.rows(); ++r) grid.setPixel(c, r, false);
  return FromGrid(grid);
}

ParticleFilter MakeFilter(const BmpState& bmp, double w, double h, int n, int algorithm = 107,
                          double resamplingNoise = 1.0, int trigger = 0) {
  ParticleFilter pf(kOriginal);
  SublocationNavProperties floor;
  floor.width_meters = w;
  floor.height_meters = h;
  floor.Number_of_part = n;
  floor.Resampling_noise_meters = resamplingNoise;
  pf.setSublocationProperties(floor);
  CommonNavProperties common;
  common.Use_algorithm = algorithm;
  common.Noisy_resampling_trigger_counter = trigger;
  pf.setFilterProperties(common);
  pf.setBmpState(bmp);
  pf.initializeParticles();
  pf.reinitializeParticles();
  return pf;
}

// No NaN anywhere, no live particle on a wall or off the floor.
void ExpectSane(const ParticleFilter& pf) {
  for (const Particle& p : pf.getParticles()) {
    ASSERT_TRUE(std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.weight));
    ASSERT_TRUE(p.angle >= -kPi && p.angle < kPi) << p.angle;
    if (p.weight != 0.0) {
      ASSERT_FALSE(pf.getBmpState().checkBordersAndPixelColor(p.x, p.y));
    }
  }
  const SolutionInfo s = pf.getSolutionInfo();
  for (double v : {s.x, s.y, s.filteredX, s.filteredY, s.filteredAngle, s.radius, s.time})
    ASSERT_TRUE(std::isfinite(v));
  ASSERT_FALSE(std::isnan(s.angleDeviation));
}

double Live(const ParticleFilter& pf) {
  double n = 0;
  for (const Particle& p : pf.getParticles()) n += p.weight != 0.0;
  return n;
}

TEST(ParticleFilterTest, BlockedResamplingLeavesAllDeadThenRestarts) {
  ParticleFilter pf = MakeFilter(Room({70, 71, 72, 73, 74, 75, 76, 77, 78, 79}), 10, 10, 100);
  // Deep inside a 1 m thick wall, with no noise: every redraw is blocked.
  FilterProperties props = pf.getProperties();
  props.noisyResamplingTrigger = 1;
  pf.setProperties(props);
  // Next to the wall, redraws save the particles that land in it.
  pf.resampleAroundPoint(6.9, 5.0, 1.0);  // counter 0: noisy, the one after is not
  EXPECT_EQ(100.0, Live(pf));
  ExpectSane(pf);
  pf.resampleAroundPoint(7.5, 5.0, 1.0);
  EXPECT_EQ(0.0, Live(pf));
  ExpectSane(pf);
  SolutionInfo s = pf.getSolutionInfo();
  s.x = 3, s.y = 3, s.time = 1;
  pf.setSolutionInfo(s);
  pf.setGoodSignalSolution();
  GaussianProcesses gp;
  EXPECT_EQ(0, pf.executeFilter(gp));
  EXPECT_GT(Live(pf), 50);
  ExpectSane(pf);
  EXPECT_DOUBLE_EQ(3.0, pf.getSolutionInfo().filteredX);  // KNN restart takes the fix
}

TEST(ParticleFilterTest, RestartOnFloorsWithoutOrWithFewWalkablePixels) {
  venuesim::WalkableGrid walls(10, 10, 0.1);
  for (int c = 0; c < walls.cols(); ++c)
    for (int r = 0; r < walls.rows(); ++r) walls.setPixel(c, r, false);
  ParticleFilter none = MakeFilter(FromGrid(walls), 10, 10, 100);
  EXPECT_EQ(0.0, Live(none));
  ParticleFilter unsized = MakeFilter(BmpState(), 0, 0, 100);
  EXPECT_EQ(0.0, Live(unsized));
  GaussianProcesses gp;
  for (ParticleFilter* pf : {&none, &unsized}) {
    pf->setStep();
    EXPECT_EQ(0, pf->executeFilter(gp));
    ExpectSane(*pf);
  }
  walls.setPixel(33, 44, true);  // one walkable pixel in ten thousand
  ParticleFilter one = MakeFilter(FromGrid(walls), 10, 10, 20);
  EXPECT_EQ(20.0, Live(one));
  ExpectSane(one);
  // The picture's first and last rows are as walkable as any other.
  walls.setPixel(33, 44, false);
  walls.setPixel(0, 0, true);
  walls.setPixel(99, 99, true);
  ParticleFilter edges = MakeFilter(FromGrid(walls), 10, 10, 40);
  int low = 0, high = 0;
  for (const Particle& p : edges.getParticles()) (p.y < 5.0 ? low : high) += p.weight != 0.0;
  EXPECT_GT(low, 0);
  EXPECT_GT(high, 0);
  EXPECT_EQ(40, low + high);
}

// Particles a move takes into a wall die; the others share the whole weight.
TEST(ParticleFilterTest, AMoveIntoAWallLeavesTheOthersWeighingOne) {
  ParticleFilter pf = MakeFilter(Room({70, 71, 72, 73, 74, 75, 76, 77, 78, 79}), 10, 10, 400);
  pf.resampleAroundPoint(5.5, 5.0, 1.0);
  pf.setAngleDistribution(kPi / 2, 0.0);  // towards +x, the wall
  pf.setPredictionInfo(1.0, 0.0);
  pf.moveParticles();
  double sum = 0;
  for (const Particle& p : pf.getParticles()) sum += p.weight;
  EXPECT_LT(Live(pf), 400.0);
  EXPECT_GT(Live(pf), 0.0);
  EXPECT_NEAR(sum, 1.0, 1e-12);
  ExpectSane(pf);
}

TEST(ParticleFilterTest, CorrectionWeightsWithGoodAndBadSettings) {
  for (double noise : {2.0, 0.0, -1.0, 1e-300, kNaN}) {
    ParticleFilter pf(kOriginal);
    SublocationNavProperties floor;
    floor.Correction_noise_meters = noise;
    floor.Number_of_part = 2;
    pf.setSublocationProperties(floor);
    pf.setParticles({{1, 1, 0, 0.5}, {3, 4, 0, 0.5}});
    pf.setResamplingParameters(1.0, 1.0, 0);
    pf.updateWeights();
    const std::vector<Particle> p = pf.getParticles();
    // L1 distance 5 with the usable noise 2: likelihood ratio exp(-5 / 4).
    EXPECT_NEAR(std::exp(-5.0 / 4.0), p[1].weight / p[0].weight, 1e-12) << noise;
    EXPECT_NEAR(1.0, p[0].weight + p[1].weight, 1e-12);
  }
  // Gaussian-process weights: bad entries count as 0, missing ones leave the weight.
  ParticleFilter gp(kOriginal);
  FilterProperties props;
  props.algorithm = 108;
  gp.setProperties(props);
  gp.setParticles({{1, 1, 0, 0.25}, {2, 2, 0, 0.25}, {3, 3, 0, 0.25}, {4, 4, 0, 0.25}});
  gp.setNewWeights({kNaN, 2.0, -1.0});
  gp.updateWeights();
  const std::vector<Particle> p = gp.getParticles();
  EXPECT_EQ(0.0, p[0].weight + p[2].weight);
  EXPECT_NEAR(2.0 / 3.0, p[1].weight, 1e-12); EXPECT_NEAR(1.0 / 3.0, p[3].weight, 1e-12);
}

// A generated one-floor venue loaded the way a client loads its map: the
// archive written and read back, the floor's bitmap and settings taken from it.
struct Corridor {
  NavigationMap map{EngineBehaviour::kit()};
  BmpState bmp;
  double w = 0, h = 0, x0 = 0, x1 = 0, y = 0;
};

Corridor GeneratedCorridor() {
  venuesim::VenueSpec setup;
  setup.seed = 11;
  setup.floors = 1;
  venuesim::Venue venue;
  std::string error;
  EXPECT_EQ(0, venuesim::GenerateLayout(setup, &venue, &error)) << error;
  // One file per test process: ctest may run the tests that use it side by side.
  const std::string path = testing::TempDir() + "particle_filter_" +
                           testing::UnitTest::GetInstance()->current_test_info()->name() + "_" +
                           std::to_string(getpid()) + ".mvz";
  EXPECT_EQ(0, venuesim::WriteVenueArchive(venue, path, &error)) << error;
  Corridor c;
  EXPECT_EQ(0, c.map.setPathToNavArchive(path.c_str()));
  EXPECT_EQ(0, c.map.parseAllFiles(false));
  std::remove(path.c_str());
  if (c.map.getSublocationsVector().empty()) return c;
  const SublocationMap& floor = c.map.getSublocationsVector()[0];
  c.bmp = floor.getBmpState();
  c.w = floor.getProperties().width_meters, c.h = floor.getProperties().height_meters;
  for (const venuesim::Room& r : venue.floors[0].rooms)
    if (r.corridor) c.x0 = r.x0, c.x1 = r.x1, c.y = (r.y0 + r.y1) / 2;
  return c;
}

TEST(ParticleFilterTest, CorridorWalkWithNoisyFixesEndsNearTruth) {
  const Corridor c = GeneratedCorridor();
  ASSERT_FALSE(c.map.getSublocationsVector().empty());
  // Configured as a client configures it from its map, but for the
  // behaviour: the filter as first written.
  ParticleFilter pf(kOriginal);
  CommonNavProperties settings = c.map.getNavigationProperties();
  settings.Use_algorithm = 107;
  pf.setFilterProperties(settings);
  pf.setMotionParameters(settings.motion);
  SublocationNavProperties floor = c.map.getSublocationsVector()[0].getProperties();
  floor.Resampling_noise_meters = 0.5;  // step-tracking spread, not the map's start-up 5 m
  pf.setSublocationProperties(floor);
  pf.setBmpState(c.bmp);
  pf.initializeParticles();
  pf.reinitializeParticles();
  pf.nulifyStopTime();
  pf.setAngleDistribution(kPi / 2, settings.sensorFusion.Pf_init_angle_noise);
  ASSERT_GE(pf.getParticles().size(), 100u);
  ExpectSane(pf);
  std::mt19937 rng(7);
  std::normal_distribution<double> fixNoise(0.0, 1.5), stride(0.0, 0.05);
  GaussianProcesses gp;
  double x = c.x0 + 3.0, t = 0.0;
  for (int step = 0; x + 1.0 < c.x1 - 3.0; ++step) {
    const double len = 0.7 + stride(rng);
    x += len;
    t += 0.6;
    pf.setPredictionInfo(0.7, 3.0);
    pf.moveParticles();
    pf.setStep();
    SolutionInfo s = pf.getSolutionInfo();
    s.time = t;
    if (step % 2 == 0) {
      s.x = x + fixNoise(rng), s.y = c.y + fixNoise(rng);
      pf.setGoodSignalSolution();
    }
    pf.setSolutionInfo(s);
    ASSERT_EQ(0, pf.executeFilter(gp));
    ExpectSane(pf);
  }
  const SolutionInfo s = pf.getSolutionInfo();
  EXPECT_LT(std::hypot(s.filteredX - x, s.filteredY - c.y), 2.0)
      << s.filteredX << " " << s.filteredY << " truth " << x << " " << c.y;
}

TEST(ParticleFilterTest, RandomAndAdversarialCallsStaySane) {
  const Corridor c = GeneratedCorridor();
  std::mt19937 rng(20261206);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  auto pick = [&](std::vector<double> v) { return v[rng() % v.size()]; };
  const double inf = std::numeric_limits<double>::infinity();
  GaussianProcesses gp;
  for (int algorithm : {107, 108, 113}) {
    ParticleFilter pf = MakeFilter(c.bmp, c.w, c.h, 150, algorithm);
    double t = 0;
    for (int k = 0; k < 1500; ++k) {
      const double any = pick({kNaN, inf, -inf, 1e12, -5.0, 0.0, u(rng) * 60, u(rng) * 30});
      switch (rng() % 10) {
        case 0:
          pf.setPredictionInfo(pick({0.0, 0.005, kNaN, 1e9, -2.0, u(rng) * 2}), pick({any, 1e308}));
          pf.moveParticles();
          pf.setStep();
          break;
        case 1: {
          SolutionInfo s = pf.getSolutionInfo();
          s.x = any, s.y = pick({kNaN, u(rng) * 30}), s.time = (t += u(rng));
          pf.setSolutionInfo(s);
          pf.setGoodSignalSolution();
          break;
        }
        case 2: pf.propogateHeadingAngle(any); break;
        case 3: pf.setAngleDistribution(any, pick({0.0, 10.0, kNaN, 1e308})); break;
        case 4: pf.resampleAroundPoint(any, u(rng) * 30, pick({0.0, 1.0, kNaN, 1e308})); break;
        case 5: pf.setNewWeights(std::vector<double>(rng() % 200, any)); break;
        case 6: pf.checkStop(t, rng() % 2); break;
        case 7: {
          const double ax = any;
          const double ay = u(rng) * 30;
          const int n = static_cast<int>(rng() % 400) - 100;
          pf.setResamplingParameters(ax, ay, n);
          pf.resampleParticles();
          pf.setResamplingParameters(0.0, 0.0, 0);
          break;
        }
        case 8: {  // settings from a damaged map, then a floor change
          CommonNavProperties common;
          common.Use_algorithm = algorithm;
          common.Noisy_resampling_trigger_counter = static_cast<int>(rng() % 5) - 2;
          common.N_round_particles_pf = pick({kNaN, 1e30, -7.0, 20.0});
          common.N_additional_particles = static_cast<int>(rng() % 300) - 50;
          common.Stop_averaging_time = pick({kNaN, -1.0, 2.0});
          common.Use_pf_estimated_angle = rng() % 2;
          pf.setFilterProperties(common);
          SublocationNavProperties floor;
          floor.width_meters = pick({c.w, 0.0, kNaN, 1e6});
          floor.height_meters = c.h;
          floor.Number_of_part = static_cast<int>(rng() % 200) - 20;
          floor.Correction_noise_meters = pick({0.0, -2.0, kNaN, 1.5});
          floor.Resampling_noise_meters = pick({0.0, -2.0, kNaN, inf, 1e308, 1.5});
          floor.Resampling_treshold_persantage = pick({kNaN, -1.0, 100.0});
          pf.setSublocationProperties(floor);
          pf.initializeParticles();
          pf.reinitializeParticles();
          break;
        }
        default: EXPECT_EQ(pf.getParticles().empty() ? 4 : 0, pf.executeFilter(gp)); break;
      }
      ExpectSane(pf);
    }
  }
}

}  // namespace
