// One particle-filter update (a step move with wall tests along each path, a
// radio-fix correction and a noisy resampling) for 500, 1,000 and 5,000
// particles on a generated 60 m x 30 m floor (10 pixels per metre), next to
// a bare loop that moves the same number of particles with the same noise and
// tests the pixel each one lands on. The walk goes back and forth along the
// corridor so that the cloud stays alive. Counters: update_us and bare_us per
// update, and their ratio.
#include <chrono>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "venuesim/floor_bitmap.h"
#include "venuesim/generator.h"
#include "wifipos/bmp/particle_filter_methods.h"
#include "wifipos/gaussian_processes/gp_methods.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kStep = 0.7;
constexpr double kAngleNoiseDeg = 5.0;
constexpr double kStepNoise = 0.1;
constexpr int kLeg = 20;  // steps before the walk turns round

struct Floor {
  BmpState bmp;
  double width = 0.0, height = 0.0, startX = 0.0, y = 0.0;
};

Floor MakeFloor() {
  venuesim::VenueSpec setup;
  setup.seed = 5;
  setup.floors = 1;
  venuesim::Venue venue;
  std::string error;
  venuesim::GenerateLayout(setup, &venue, &error);
  Floor f;
  const std::string bytes = venuesim::EncodeFloorBitmap(venue.floors[0].grid);
  f.bmp.readFromBuffer(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                       setup.width, setup.height);
  f.width = setup.width;
  f.height = setup.height;
  for (const venuesim::Room& r : venue.floors[0].rooms) {
    if (r.corridor) f.startX = r.x0 + 10.0, f.y = (r.y0 + r.y1) / 2;
  }
  return f;
}

// The walk: heading +x for a leg, then -x, and so on.
double Heading(int step) { return (step / kLeg) % 2 == 0 ? kPi / 2 : -kPi / 2; }

// The filter as first written, as this benchmark has always measured it.
ParticleFilter MakeFilter(const Floor& f, int n) {
  ParticleFilter pf(EngineBehaviour::original());
  SublocationNavProperties props;
  props.width_meters = f.width;
  props.height_meters = f.height;
  props.Number_of_part = n;
  props.Resampling_noise_meters = 0.5;
  pf.setSublocationProperties(props);
  CommonNavProperties common;
  common.Use_algorithm = 107;
  pf.setFilterProperties(common);
  FilterProperties p = pf.getProperties();
  p.resamplingThreshold = 1e9;  // resample on every update
  pf.setProperties(p);
  CommonNavProperties::Motion motion;
  motion.Steplength_noise = kStepNoise;
  pf.setMotionParameters(motion);
  pf.setBmpState(f.bmp);
  pf.initializeParticles();
  pf.reinitializeParticles();
  pf.resampleAroundPoint(f.startX, f.y, 1.0);
  pf.setAngleDistribution(Heading(0), 0.0);
  return pf;
}

// The filter's own generator and noise, for the bare loop.
struct Noise {
  int64_t state = 759202610;
  double uniform() {
    state = (state * 16807 + 54301) % 2147483647;
    return static_cast<double>(state) / 2147483647.0;
  }
  double gaussian(double mean, double sigma) {
    const double u1 = std::max(uniform(), 1e-10);
    const double u2 = uniform();
    return mean + sigma * std::sqrt(-2.0 * std::log(u1)) * std::cos(2 * kPi * u2);
  }
};

struct Walk {
  int step = 0;
  double x = 0.0, t = 0.0;
};

void Update(ParticleFilter& pf, GaussianProcesses& gp, const Floor& f, Walk& w) {
  pf.propogateHeadingAngle(Heading(w.step));
  w.x += Heading(w.step) > 0 ? kStep : -kStep;
  ++w.step;
  w.t += 0.6;
  pf.setPredictionInfo(kStep, kAngleNoiseDeg);
  pf.moveParticles();
  pf.setStep();
  SolutionInfo s = pf.getSolutionInfo();
  s.x = w.x, s.y = f.y, s.time = w.t;
  pf.setSolutionInfo(s);
  pf.setGoodSignalSolution();
  pf.executeFilter(gp);
}

void BareMove(std::vector<Particle>& particles, const BmpState& bmp, Noise& noise, int step) {
  const double heading = Heading(step);
  const double sigma = kAngleNoiseDeg * kPi / 180.0;
  for (Particle& p : particles) {
    const double len = noise.gaussian(kStep, kStepNoise);
    const double a = heading + noise.gaussian(0.0, sigma);
    const double nx = p.x + len * std::sin(a);
    const double ny = p.y + len * std::cos(a);
    if (!bmp.checkBordersAndPixelColor(nx, ny)) p.x = nx, p.y = ny;
  }
  benchmark::DoNotOptimize(particles.data());
}

void BM_UpdateVsBareLoop(benchmark::State& state) {
  const Floor f = MakeFloor();
  const int n = static_cast<int>(state.range(0));
  ParticleFilter pf = MakeFilter(f, n);
  GaussianProcesses gp;
  std::vector<Particle> bare = pf.getParticles();
  Noise noise;
  Walk walk{0, f.startX, 0.0};
  int bareStep = 0;
  double updateSec = 0.0, bareSec = 0.0;
  using Clock = std::chrono::steady_clock;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    Update(pf, gp, f, walk);
    const auto t1 = Clock::now();
    BareMove(bare, f.bmp, noise, bareStep++);
    const auto t2 = Clock::now();
    const double u = std::chrono::duration<double>(t1 - t0).count();
    updateSec += u;
    bareSec += std::chrono::duration<double>(t2 - t1).count();
    state.SetIterationTime(u);
  }
  const double iters = static_cast<double>(state.iterations());
  state.counters["update_us"] = updateSec / iters * 1e6;
  state.counters["bare_us"] = bareSec / iters * 1e6;
  state.counters["ratio"] = bareSec > 0 ? updateSec / bareSec : 0.0;
  const SolutionInfo s = pf.getSolutionInfo();
  state.counters["error_m"] = std::hypot(s.filteredX - walk.x, s.filteredY - f.y);
  state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_UpdateVsBareLoop)->Arg(500)->Arg(1000)->Arg(5000)->UseManualTime()->Unit(
    benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
