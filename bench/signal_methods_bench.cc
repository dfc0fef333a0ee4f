// Cost of the Gaussian-process correction: training of a floor state and one
// correction pass (one window) per mode, on a synthetic floor of 500 or 2,000
// reference points on a 2 m grid with 60 beacons, each point hearing the
// beacons above -90 dBm of a log-distance model with 4 dB shadowing. Counters:
// heap held by the trained state and the process's peak resident size.
// Likewise for the histogram method, on floors of up to 5,000 points whose
// entries carry a survey of 20 samples: preparation of the distributions and
// the weighting of one window, plain and differential.
#include <benchmark/benchmark.h>

#include <malloc.h>
#include <sys/resource.h>

#include <cmath>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "wifipos/gaussian_processes/gp_methods.h"
#include "wifipos/histogramm/histogramm.h"

namespace {

constexpr int kBeacons = 60;
constexpr int kParticles = 1000;
constexpr double kSpacing = 2.0;
constexpr double kA = -45.0;
constexpr double kB = 7.0;

std::string BeaconKey(int n) {
  std::string num = std::to_string(n);
  return "f7826da6-4fa2-4e98-8024-bc5b71e0893e_" + std::string(13 - num.size(), '0') + num;
}

double Model(double bx, double by, double x, double y) {
  return kA - kB * std::log((bx - x) * (bx - x) + (by - y) * (by - y) + 1e-5);
}

struct Venue {
  NavigationMap map{EngineBehaviour::kit()};
  double width = 0.0, height = 0.0;
  std::vector<std::pair<double, double>> beacons;
};

// A rectangular floor of about `points` reference points.
Venue MakeVenue(int points, int mode, bool surveys = false) {
  Venue v;
  std::mt19937 rng(1234 + points);
  std::normal_distribution<double> shadow(0.0, 4.0);
  const int cols = static_cast<int>(std::ceil(std::sqrt(points * 1.5)));
  const int rows = (points + cols - 1) / cols;
  v.width = cols * kSpacing;
  v.height = rows * kSpacing;
  std::uniform_real_distribution<double> ux(0.0, v.width), uy(0.0, v.height);
  SublocationMap floor;
  floor.setId(1);
  floor.getProperties().A = kA;
  floor.getProperties().B = kB;
  floor.getProperties().ell = 4.0;
  for (int b = 0; b < kBeacons; ++b) {
    v.beacons.emplace_back(ux(rng), uy(rng));
    Beacon bc;
    bc.setBeaconId(BeaconKey(b));
    bc.setX(v.beacons.back().first);
    bc.setY(v.beacons.back().second);
    floor.getBeacons().push_back(bc);
  }
  for (int i = 0; i < points; ++i) {
    ReferencePoint rp;
    rp.setX((i % cols) * kSpacing);
    rp.setY((i / cols) * kSpacing);
    rp.setIndex(i);
    floor.getReferencePoints().push_back(rp);
    for (int b = 0; b < kBeacons; ++b) {
      const double rssi = Model(v.beacons[b].first, v.beacons[b].second, rp.getX(), rp.getY()) +
                          shadow(rng);
      if (rssi < -90.0) continue;
      AccessPoint ap;
      ap.setBssid(BeaconKey(b));
      ap.setType(2);
      ap.setRssi(rssi);
      ap.setRefPointIndex(i);
      if (surveys) {
        std::map<int, int> samples;
        for (int k = 0; k < 20; ++k) samples[static_cast<int>(-rssi + shadow(rng) / 2.0)] += 1;
        ap.setHistogram(samples);
      }
      floor.getRadioMap().emplace(BeaconKey(b), ap);
    }
  }
  floor.updateUniqueApsBssid();
  for (const std::string& key : floor.getUniqueApsBssid()) {
    const int b = std::stoi(key.substr(37));
    floor.getGpParams().push_back(GpParams{0.0, kA, kB, v.beacons[b].first, v.beacons[b].second,
                                           std::log(5.0), std::log(2.0), std::log(4.0)});
  }
  auto& gp = v.map.getNavigationProperties().gaussianProcesses;
  gp.Mode = mode;
  gp.Correction_noise = 10.0;
  v.map.getSublocationsVector().push_back(floor);
  return v;
}

double HeapInUse() { return static_cast<double>(mallinfo2().uordblks); }

// Also counts the blocks malloc hands out by mmap (large exactly sized
// arrays), which uordblks leaves out.
double HeapHeld() {
  const struct mallinfo2 m = mallinfo2();
  return static_cast<double>(m.uordblks + m.hblkhd);
}

double PeakRssMb() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss / 1024.0;
}

// Readings heard at one spot, in both forms the modes take.
void Scan(const Venue& v, const SublocationMap& floor, double x, double y, std::mt19937& rng,
          std::vector<double>& signals, std::vector<BeaconMeas>& meas) {
  std::normal_distribution<double> shadow(0.0, 4.0);
  signals.clear();
  meas.clear();
  for (const std::string& key : floor.getUniqueApsBssid()) {
    const int b = std::stoi(key.substr(37));
    const double rssi = Model(v.beacons[b].first, v.beacons[b].second, x, y) + shadow(rng);
    signals.push_back(rssi < -90.0 ? 1.0 : rssi);
    if (rssi >= -90.0) {
      BeaconMeas m;
      m.setBeaconId(key);
      m.setRssi(rssi);
      meas.push_back(m);
    }
  }
}

void BM_GpTraining(benchmark::State& state) {
  const int mode = static_cast<int>(state.range(0));
  const int points = static_cast<int>(state.range(1));
  Venue v = MakeVenue(points, mode);
  double held = 0.0;
  for (auto _ : state) {
    auto gp = std::make_unique<GaussianProcesses>();
    const double before = HeapInUse();
    gp->initialize(v.map);
    held = HeapInUse() - before;
    benchmark::DoNotOptimize(gp->getSublocations().data());
  }
  long entries = static_cast<long>(v.map.getSublocationsVector()[0].getRadioMap().size());
  state.counters["radio_entries"] = static_cast<double>(entries);
  state.counters["state_MB"] = held / (1024.0 * 1024.0);
  state.counters["peak_rss_MB"] = PeakRssMb();
}

void BM_GpWindow(benchmark::State& state) {
  const int mode = static_cast<int>(state.range(0));
  const int points = static_cast<int>(state.range(1));
  Venue v = MakeVenue(points, mode);
  GaussianProcesses gp;
  gp.initialize(v.map);
  gp.setSublocationIndex(0);
  const SublocationMap& floor = v.map.getSublocationsVector()[0];
  std::mt19937 rng(77);
  std::uniform_real_distribution<double> ux(0.0, v.width), uy(0.0, v.height);
  std::vector<double> signals;
  std::vector<BeaconMeas> meas;
  Scan(v, floor, v.width / 2, v.height / 2, rng, signals, meas);
  gp.setCurrentSignals(signals);
  gp.setBleSignals(meas);
  std::vector<Particle> particles(kParticles);
  for (Particle& p : particles) {
    p.x = ux(rng);
    p.y = uy(rng);
    p.weight = 1.0 / kParticles;
  }
  int failures = 0;
  for (auto _ : state) {
    gp.setParticles(particles);
    failures += gp.correction() != 0;
    benchmark::DoNotOptimize(gp.getNewWeights());
  }
  state.counters["heard"] = static_cast<double>(meas.size());
  state.counters["failed"] = failures;
  state.counters["peak_rss_MB"] = PeakRssMb();
}

Venue HistogramVenue(int points, bool differential) {
  Venue v = MakeVenue(points, 121, true);
  auto& knn = v.map.getNavigationProperties().knn;
  knn.Histogram_type = 302;
  knn.Differention_mode = differential;
  v.map.getSublocationsVector()[0].getProperties().Histogram_interval_width = 2;
  return v;
}

// args: points, differential.
void BM_HistogramPrepare(benchmark::State& state) {
  Venue v = HistogramVenue(static_cast<int>(state.range(0)), state.range(1) != 0);
  double held = 0.0;
  for (auto _ : state) {
    auto h = std::make_unique<Histogram>(v.map.behaviour());
    const double before = HeapHeld();
    h->initialize(v.map);
    held = HeapHeld() - before;
    benchmark::DoNotOptimize(h.get());
  }
  state.counters["radio_entries"] =
      static_cast<double>(v.map.getSublocationsVector()[0].getRadioMap().size());
  state.counters["state_MB"] = held / (1024.0 * 1024.0);
}

// args: points, differential. One window of the beacons heard at a spot.
void BM_HistogramWindow(benchmark::State& state) {
  const int points = static_cast<int>(state.range(0));
  Venue v = HistogramVenue(points, state.range(1) != 0);
  Histogram h(v.map.behaviour());
  h.initialize(v.map);
  const SublocationMap& floor = v.map.getSublocationsVector()[0];
  std::mt19937 rng(78);
  std::vector<double> signals;
  std::vector<BeaconMeas> meas;
  Scan(v, floor, v.width / 3, v.height / 2, rng, signals, meas);
  std::vector<AccessPoint> scan;
  for (const BeaconMeas& m : meas) {
    AccessPoint ap;
    ap.setBssid(m.getBeaconId());
    ap.setRssi(m.getRssi());
    scan.push_back(ap);
  }
  SublocationState st;
  int floorIndex = 0;
  for (auto _ : state) {
    st.weights.assign(static_cast<size_t>(floor.getNRp()), 0.0);
    st.clear();
    h.calculateWeights(st, scan, floorIndex);
    benchmark::DoNotOptimize(st.weightSum);
  }
  state.counters["heard"] = static_cast<double>(scan.size());
}

BENCHMARK(BM_HistogramPrepare)
    ->ArgsProduct({{500, 5000}, {0}})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);
BENCHMARK(BM_HistogramWindow)
    ->ArgsProduct({{500, 2000, 5000}, {0, 1}})
    ->Unit(benchmark::kMicrosecond);

// Modes: 121 full, 122 normal, 123 fixed.
BENCHMARK(BM_GpTraining)
    ->ArgsProduct({{121, 122, 123}, {500, 2000}})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);
BENCHMARK(BM_GpWindow)->ArgsProduct({{121, 122, 123}, {500, 2000}})->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
