// Cost of one positioning step (Navigate) per method, and the memory a
// navigation client takes, on two generated venues:
//   default: 2 floors of 60 x 30 m, beacons every 8 m, reference points every 2 m;
//   large:   3 floors of 200 x 50 m, 100 beacons and about 5,000 reference
//            points per floor.
// A simulated walk (motion sensors included) is replayed message by message;
// every call is timed on its own and the counters report the median and the
// 99th percentile in milliseconds. The tick is 100 ms, so the targets are
// p99 < 1 ms for nearest neighbours and histograms and < 10 ms for the
// Gaussian-process correction.
//
// Memory: every malloc-family call is counted during an untimed pass, so
// peak_MB is the most the client held at once while it was created and fed
// the walk, and kept_MB what it holds afterwards. Counting is skipped under
// the sanitizers, which own malloc themselves.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <hwy/targets.h>
#include <zip.h>

#include "bench/growth_reporter.h"
#include "bench/heap_counter.h"
#include "bench/venue_sizing.h"
#include "server/wscan.h"
#include "venuesim/generator.h"
#include "venuesim/propagation.h"
#include "venuesim/venue_archive.h"
#include "venuesim/walk.h"
#include "wifipos/gaussian_processes/gp_methods.h"
#include "wifipos/navigation_processing/navigation_processing.h"


namespace {

struct VenueFixture {
  VenueFixture() = default;
  VenueFixture(const VenueFixture&) = delete;
  VenueFixture& operator=(const VenueFixture&) = delete;
  ~VenueFixture() {
    std::error_code ec;
    if (!dir.empty()) std::filesystem::remove_all(dir, ec);
  }
  std::string dir;
  std::string path;
  // The same venue written for nearest neighbours and for histograms, so
  // that those clients are created as a replay creates them, without the
  // Gaussian-process preparation the archive above asks for.
  std::map<int, std::string> methodPaths;
  std::map<int, long long> methodMembersBytes;
  std::vector<WScanMessage> messages;
  int pointsPerFloor = 0;
  int beaconsPerFloor = 0;
  long long membersBytes = 0;  // the archive's members, uncompressed
  bool ok = false;
};

// Sweep venues: one floor of 200 x 50 m with about `points` reference points
// and `beacons` beacons; large = 0 and 1 keep the two venues described above.
struct SweepSize {
  int points = 0;
  int beacons = 0;
};

long long MembersBytes(const std::string& path) {
  long long bytes = 0;
  int zipError = 0;
  if (zip_t* za = zip_open(path.c_str(), ZIP_RDONLY, &zipError)) {
    for (zip_int64_t i = 0; i < zip_get_num_entries(za, 0); ++i) {
      zip_stat_t st;
      if (zip_stat_index(za, i, 0, &st) == 0) bytes += static_cast<long long>(st.size);
    }
    zip_close(za);
  }
  return bytes;
}

void MakeFixture(bool large, VenueFixture& x, SweepSize sweep = {}) {
  char tmpl[] = "/tmp/navigate-bench-XXXXXX";
  if (!mkdtemp(tmpl)) return;
  x.dir = tmpl;
  x.path = x.dir + "/venue.zip";
  venuesim::VenueSpec setup;
  setup.seed = 2026;
  if (large) {
    setup.floors = 3;
    setup.width = 200;
    setup.height = 50;
    setup.beaconSpacing = 10;  // 20 x 5 beacons per floor
    setup.rpSpacing = SpacingFor(setup, 5000);
  }
  if (sweep.points > 0) {
    setup.floors = 1;
    setup.width = 200;
    setup.height = 50;
    // Beacons on a square grid: 200 x 50 m at spacing s holds about
    // (200 / s) x (50 / s) of them.
    setup.beaconSpacing = std::sqrt(200.0 * 50.0 / sweep.beacons);
    setup.rpSpacing = SpacingFor(setup, sweep.points);
  }
  // Written for the Gaussian-process method so that gp.xml is loaded; the
  // benchmarks switch the method in the client's settings.
  setup.method = venuesim::kMethodGp;
  setup.gpMode = venuesim::kGpFull;
  venuesim::Venue venue;
  std::string error;
  if (venuesim::GenerateVenue(setup, &venue, &error) != 0 ||
      venuesim::WriteVenueArchive(venue, x.path, &error) != 0) {
    std::fprintf(stderr, "navigate_bench: %s\n", error.c_str());
    return;
  }
  x.membersBytes = MembersBytes(x.path);
  for (int method : {venuesim::kMethodKnn, venuesim::kMethodHistogram}) {
    venuesim::Venue written = venue;
    written.setup.method = method;
    const std::string path = x.dir + "/venue-" + std::to_string(method) + ".zip";
    if (venuesim::WriteVenueArchive(written, path, &error) != 0) {
      std::fprintf(stderr, "navigate_bench: %s\n", error.c_str());
      return;
    }
    x.methodPaths[method] = path;
    x.methodMembersBytes[method] = MembersBytes(path);
  }
  x.pointsPerFloor = static_cast<int>(venue.floors[0].points.size());
  x.beaconsPerFloor = static_cast<int>(venue.floors[0].beacons.size());
  venuesim::PropagationModel model(venue);
  venuesim::WalkSpec ws;
  ws.seed = 12;
  ws.startFloor = 0;
  ws.endFloor = sweep.points > 0 ? 0 : 1;
  venuesim::Walk walk;
  if (venuesim::GenerateWalk(venue, model, ws, &walk, &error) != 0) {
    std::fprintf(stderr, "navigate_bench: %s\n", error.c_str());
    return;
  }
  for (size_t i = 0; i < walk.ticks.size(); ++i) {
    bool ok = false;
    WScanMessage m = WScanMessage::parse(venuesim::WalkMessageText(walk, i), &ok);
    if (ok) x.messages.push_back(std::move(m));
  }
  x.ok = !x.messages.empty();
}

VenueFixture& Fixture(bool large, SweepSize sweep = {}) {
  static std::map<std::pair<int, int>, std::unique_ptr<VenueFixture>> fixtures;
  auto& f = fixtures[sweep.points > 0 ? std::make_pair(sweep.points, sweep.beacons)
                                      : std::make_pair(-1, large ? 1 : 0)];
  if (!f) {
    f = std::make_unique<VenueFixture>();
    MakeFixture(large, *f, sweep);
  }
  return *f;
}

ClientNavigationState* MakeClient(const VenueFixture& f, int method, int gpMode,
                                  bool classic = false) {
  auto own = f.methodPaths.find(method);
  const std::string& path = own != f.methodPaths.end() ? own->second : f.path;
  ClientNavigationState* c = CreateNavigationClient(path.c_str(), "bench", "SimPhone", false,
                                                    classic ? "defaults=classic;" : nullptr);
  if (c == nullptr) return nullptr;
  CommonNavProperties& s = c->navigationMap.getNavigationProperties();
  s.Use_algorithm = method;
  s.gaussianProcesses.Mode = gpMode;
  s.knn.Min_nvisible_aps = 3;
  s.knn.Min_rpvis_aps = 3;
  if (initClientNavigation(c) != 0) {
    DeleteNavigationClient(c);
    return nullptr;
  }
  return c;
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0.0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5))];
}

// args: venue (0 default, 1 large), method code, Gaussian-process mode, and
// whether the engine's original behaviour is asked for.
void RunNavigate(benchmark::State& state, VenueFixture& f, int method, int gpMode,
                 bool classic = false) {
  if (!f.ok) {
    state.SkipWithError("venue could not be generated");
    return;
  }

  // Memory pass, untimed.
  const long long base = HeapCountStart();
  ClientNavigationState* probe = MakeClient(f, method, gpMode, classic);
  // Every output of the walk folded into one number, so that two builds
  // can be seen to give the same positions.
  double checksum = 0.0;
  // With MARVISTO_NAVIGATE_OUTPUTS naming a folder, every output goes to a
  // file per case there, so two builds can be compared tick by tick.
  std::FILE* dump = nullptr;
  if (const char* dir = std::getenv("MARVISTO_NAVIGATE_OUTPUTS")) {
    const std::string name = std::string(dir) + "/points" + std::to_string(f.pointsPerFloor) +
                             "-beacons" + std::to_string(f.beaconsPerFloor) + "-method" +
                             std::to_string(method) + "-mode" + std::to_string(gpMode) +
                             (classic ? "-classic" : "") + ".csv";
    dump = std::fopen(name.c_str(), "w");
  }
  for (const WScanMessage& src : f.messages) {
    WScanMessage m = src;
    const int rc = Navigate(&m, probe, nullptr);
    if (rc == 0) {
      checksum = checksum * 0.999 + m.outX + 3.0 * m.outY + 7.0 * m.outSubLocation;
    }
    if (dump) std::fprintf(dump, "%d,%.17g,%.17g,%d\n", rc, m.outX, m.outY, m.outSubLocation);
  }
  if (dump) std::fclose(dump);
  const long long peak = HeapPeak() - base;
  const long long kept = HeapCurrent() - base;
  // Particle positions the Gaussian-process corrections evaluated (each
  // distinct position once per window).
  const double gpEvaluations = static_cast<double>(probe->navigation.mGp.getEvaluations());
  DeleteNavigationClient(probe);
  HeapCountStop();

  std::vector<double> ms;
  int failures = 0;
  // With MARVISTO_NAVIGATE_TICKS naming a folder, every timed call's time,
  // the positions the Gaussian-process corrections evaluated in it and the
  // floor go to a file per case there, to see what the slow calls do.
  std::FILE* ticks = nullptr;
  if (const char* dir = std::getenv("MARVISTO_NAVIGATE_TICKS")) {
    const std::string name = std::string(dir) + "/ticks" + std::to_string(f.pointsPerFloor) +
                             "-method" + std::to_string(method) + "-mode" +
                             std::to_string(gpMode) + (classic ? "-classic" : "") + ".csv";
    ticks = std::fopen(name.c_str(), "w");
  }
  for (auto _ : state) {
    state.PauseTiming();
    ClientNavigationState* c = MakeClient(f, method, gpMode, classic);
    std::vector<WScanMessage> copies = f.messages;
    state.ResumeTiming();
    for (WScanMessage& m : copies) {
      const uint64_t before = c->navigation.mGp.getEvaluations();
      const auto t0 = std::chrono::steady_clock::now();
      const int rc = Navigate(&m, c, nullptr);
      const auto t1 = std::chrono::steady_clock::now();
      ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
      failures += rc != 0;
      if (ticks) {
        std::fprintf(ticks, "%.4f,%llu,%d,%d\n", ms.back(),
                     static_cast<unsigned long long>(c->navigation.mGp.getEvaluations() - before),
                     m.outSubLocation, rc);
      }
    }
    state.PauseTiming();
    DeleteNavigationClient(c);
    state.ResumeTiming();
  }
  if (ticks) std::fclose(ticks);
  state.counters["median_ms"] = Percentile(ms, 0.5);
  state.counters["p90_ms"] = Percentile(ms, 0.9);
  state.counters["p99_ms"] = Percentile(ms, 0.99);
  state.counters["max_ms"] = Percentile(ms, 1.0);
  state.counters["calls"] = static_cast<double>(ms.size());
  state.counters["no_position_share"] = ms.empty() ? 0.0 : failures / static_cast<double>(ms.size());
  state.counters["points_per_floor"] = f.pointsPerFloor;
  state.counters["beacons_per_floor"] = f.beaconsPerFloor;
  state.counters["out_checksum"] = checksum;
  if (method == 108) state.counters["gp_positions"] = gpEvaluations;
  if (kHeapCounting) {
    state.counters["peak_MB"] = static_cast<double>(peak) / 1e6;
    state.counters["kept_MB"] = static_cast<double>(kept) / 1e6;
    auto own = f.methodMembersBytes.find(method);
    const long long members = own != f.methodMembersBytes.end() ? own->second : f.membersBytes;
    if (members > 0) {
      state.counters["peak_per_member_byte"] =
          static_cast<double>(peak) / static_cast<double>(members);
    }
  }
}

void BM_Navigate(benchmark::State& state) {
  const bool large = state.range(0) != 0;
  RunNavigate(state, Fixture(large), static_cast<int>(state.range(1)),
              static_cast<int>(state.range(2)), state.range(3) != 0);
}

// args: points per floor, beacons, method (nearest neighbours or histograms).
void BM_NavigateSweep(benchmark::State& state) {
  const SweepSize size{static_cast<int>(state.range(0)), static_cast<int>(state.range(1))};
  RunNavigate(state, Fixture(false, size), static_cast<int>(state.range(2)), 121);
}

void SweepSizes(benchmark::internal::Benchmark* b) {
  for (int method : {107, 109}) {
    for (int beacons : {60, 200}) {
      for (int points : {500, 2000, 8000, 32000}) b->Args({points, beacons, method});
    }
  }
  b->ArgNames({"points", "beacons", "method"});
}

void Methods(benchmark::internal::Benchmark* b) {
  for (int large : {0, 1}) {
    for (int classic : {1, 0}) {
      b->Args({large, 107, 121, classic});
      b->Args({large, 109, 121, classic});
      b->Args({large, 108, 121, classic});
      b->Args({large, 108, 123, classic});
      b->Args({large, 108, 122, classic});
    }
  }
  b->ArgNames({"large", "method", "gp_mode", "classic"});
}

BENCHMARK(BM_Navigate)->Apply(Methods)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NavigateSweep)->Apply(SweepSizes)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  // MARVISTO_BENCH_NO_AVX512=1 measures what a processor without 512-bit
  // vectors runs: the vector sums then take their AVX2 build.
  if (const char* v = std::getenv("MARVISTO_BENCH_NO_AVX512"); v != nullptr && *v != '\0' && *v != '0') {
    gp_detail::AvoidVectorTargets(HWY_AVX3 | HWY_AVX3_DL);
  }
  // The build the sums do run on, not the one that should.
  std::fprintf(stderr, "navigate_bench: vector sums on %s\n",
               hwy::TargetName(gp_detail::VectorTargetInUse()));
  return RunWithGrowth(argc, argv);
}
