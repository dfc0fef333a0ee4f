// One navigation tick of the coordinator beside the engine's Navigate on the same
// messages, and the coordinator's memory beside the engine client's.
//
// The venue is the default generated one (2 floors of 60 x 30 m, beacons every 8 m); a
// walk with a floor change is written as a measurement log and fed through the tick's
// log path, one record per tick. BM_Tick times the whole tick (message fill, log step,
// Navigate, device information snapshot, zone events, heat-map copy) and, beside it in
// the same iteration, Navigate alone on a client of its own fed the same record. The
// counters give medians and 99th percentiles of thread CPU time in milliseconds, the 99th percentile of
// each tick's own cost (tick minus its Navigate) and the SDK's share of the tick's 99th
// percentile, (tick p99 - Navigate p99) / tick p99.
//
// Memory (BM_Memory): the heap the coordinator's load takes (client, location model,
// floor images) beside what creating the engine client alone takes: peak while loading
// and kept afterwards, in MB. Each is measured in a fresh process of this program
// ("--memory sdk|engine HOME"). In this one, what an earlier coordinator (BM_Tick's)
// left with the process-wide managers is freed during the new load and cancels it out:
// the count came out near zero. A fresh process has nothing earlier to free, and the
// heap counter counts the allocations of every thread, so whatever part of the load
// runs on another thread counts as well. The coordinator's load includes an engine
// client; a figure below the engine client's alone means the count missed the load,
// and the run ends in an error (the program then exits non-zero).
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "MCBeaconManager/mc_beacon_manager.h"
#include "MCLogManager/mc_log_manager.h"
#include "MCPushManager/mc_push_manager.h"
#include "MainSDK/main_sdk.h"
#include "Device/mc_device.h"
#include "Sensors/mc_sensor_manager.h"
#include "bench/console_output.h"
#include "bench/heap_counter.h"
#include "platform/paths.h"
#include "platform/run_loop.h"
#include "platform/testing.h"
#include "venuesim/generator.h"
#include "venuesim/propagation.h"
#include "venuesim/venue_archive.h"
#include "venuesim/walk.h"
#include "wifipos/navigation_processing/navigation_processing.h"

namespace {

namespace fs = std::filesystem;

struct Fixture {
  std::unique_ptr<platform::testing::ScopedHome> home;
  std::string map, dir;
  std::vector<WScanMessage> messages;
  bool ok = false;
};

Fixture& Shared() {
  static Fixture f = [] {
    Fixture x;
    platform::RunLoop::setMainThread();
    platform::testing::useManualClock();
    x.home = std::make_unique<platform::testing::ScopedHome>();
    x.dir = (platform::Paths::documents() / "venue").string();
    fs::create_directories(x.dir);
    x.map = x.dir + "/map.mvz";
    venuesim::VenueSpec setup;
    setup.seed = 2026;
    venuesim::Venue venue;
    venuesim::Walk walk;
    std::string error;
    venuesim::WalkSpec ws;
    ws.seed = 12;
    if (venuesim::GenerateVenue(setup, &venue, &error) != 0 ||
        venuesim::WriteVenueArchive(venue, x.map, &error) != 0 ||
        venuesim::GenerateWalk(venue, venuesim::PropagationModel(venue), ws, &walk, &error) != 0 ||
        venuesim::WriteWalkFiles(walk, x.dir + "/walk.log", x.dir + "/walk.csv", &error) != 0) {
      std::fprintf(stderr, "sdk_tick_bench: %s\n", error.c_str());
      return x;
    }
    for (size_t i = 0; i < walk.ticks.size(); ++i) {
      bool ok = false;
      WScanMessage m = WScanMessage::parse(venuesim::WalkMessageText(walk, i), &ok);
      if (ok) x.messages.push_back(std::move(m));
    }
    x.ok = !x.messages.empty();
    return x;
  }();
  return f;
}

MainSDKManagers Private() {
  MainSDKManagers m = MainSDKManagers::shared();
  // Zone visits go to a closed loopback port: nothing leaves the machine.
  m.pushManager->setZoneVisitURL("http://127.0.0.1:1/zones/visit");
  m.navigationManager = std::make_shared<MCNavigationManager>();
  m.logManager = std::make_shared<MCLogManager>();
  m.sensorManager = MCSensorManager::init();
  m.beaconManager = MCBeaconManager::init();
  return m;
}

// The calling thread's CPU time in milliseconds: the machine's other load does not count.
double CpuMs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

// Each iteration runs one tick of the coordinator and, beside it, Navigate alone on a
// client of its own fed the same record, so load on the machine hits both alike.
void BM_Tick(benchmark::State& state) {
  Fixture& f = Shared();
  if (!f.ok) return state.SkipWithError("no venue");
  auto sdk = MainSDK::initWithUserHash("bench", "http://127.0.0.1:1", Private());
  sdk->loadArchive("venue", nullptr);
  ClientNavigationState* client = nullptr;
  std::vector<double> tick, navigate, own;
  size_t next = 0, left = 0;
  for (auto _ : state) {
    if (left == 0) {
      state.PauseTiming();
      left = sdk->startNavigateByLog("walk.log", nullptr) - 1;
      if (client) DeleteNavigationClient(client);
      client = CreateNavigationClient(f.map.c_str(), "bench", "SimPhone", false, nullptr);
      next = 0;
      state.ResumeTiming();
    }
    const double a = CpuMs();
    sdk->mainNavigationQueue();
    const double b = CpuMs();
    WScanMessage m = f.messages[next++];
    std::string text;
    const double c = CpuMs();
    benchmark::DoNotOptimize(Navigate(&m, client, &text));
    const double d = CpuMs();
    tick.push_back(b - a);
    navigate.push_back(d - c);
    own.push_back(std::max(0.0, (b - a) - (d - c)));
    --left;
  }
  if (client) DeleteNavigationClient(client);
  const auto p99 = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(0.99 * double(v.size())))];
  };
  const auto p50 = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  state.counters["tick_p50_ms"] = p50(tick);
  state.counters["tick_p99_ms"] = p99(tick);
  state.counters["navigate_p50_ms"] = p50(navigate);
  state.counters["navigate_p99_ms"] = p99(navigate);
  state.counters["own_p99_ms"] = p99(own);
  state.counters["sdk_share_p99"] = (p99(tick) - p99(navigate)) / p99(tick);
}

// The child's side of BM_Memory: one load in this fresh process, then "PEAK KEPT" in
// bytes on stdout. 0 on success.
int MemoryChild(const std::string& kind, const std::string& home) {
  platform::RunLoop::setMainThread();
  platform::testing::useManualClock();
  platform::Paths::setHome(home);
  const std::string map = (platform::Paths::documents() / "venue" / "map.mvz").string();
  const long long base = HeapCountStart();
  std::shared_ptr<MainSDK> coordinator;
  ClientNavigationState* client = nullptr;
  bool loaded = false;
  if (kind == "sdk") {
    coordinator = MainSDK::initWithUserHash("bench", "http://127.0.0.1:1", Private());
    std::optional<platform::Error> error;
    coordinator->loadArchive("venue", &error);
    loaded = !error;
  } else {
    client = CreateNavigationClient(map.c_str(), "bench", "SimPhone", false, nullptr);
    loaded = client != nullptr;
  }
  const long long peak = HeapPeak() - base, kept = HeapCurrent() - base;
  HeapCountStop();
  if (client) DeleteNavigationClient(client);
  coordinator.reset();
  if (!loaded) return 1;
  std::printf("%lld %lld\n", peak, kept);
  return 0;
}

// Runs MemoryChild in a fresh process of this program; false when it fails.
bool MemoryOf(const char* kind, double* peakMb, double* keptMb) {
  const std::string command = "/proc/" + std::to_string(getpid()) + "/exe --memory " + kind + " " +
                              Shared().home->path().string();
  FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) return false;
  // The coordinator prints its build line first; the figures are the last line.
  char line[256];
  long long peak = -1, kept = -1;
  while (std::fgets(line, sizeof line, p) != nullptr) {
    long long a = 0, b = 0;
    if (std::sscanf(line, "%lld %lld", &a, &b) == 2) peak = a, kept = b;
  }
  if (pclose(p) != 0 || peak < 0) return false;
  *peakMb = double(peak) / 1e6;
  *keptMb = double(kept) / 1e6;
  return true;
}

void BM_Memory(benchmark::State& state) {
  Fixture& f = Shared();
  if (!f.ok) return state.SkipWithError("no venue");
  if (!kHeapCounting) return state.SkipWithError("no heap counting under the sanitizers");
  const bool sdk = state.range(0) != 0;
  double peak = 0, kept = 0, enginePeak = 0, engineKept = 0;
  bool measured = false, engineMeasured = false;
  for (auto _ : state) {
    state.PauseTiming();
    measured = MemoryOf(sdk ? "sdk" : "engine", &peak, &kept);
    if (sdk) engineMeasured = MemoryOf("engine", &enginePeak, &engineKept);
    state.ResumeTiming();
  }
  state.counters["peak_MB"] = peak;
  state.counters["kept_MB"] = kept;
  if (!measured) {
    state.SkipWithError("the measuring process failed");
  } else if (engineMeasured && peak < enginePeak) {
    state.SkipWithError("the coordinator's load counted less than the engine client inside it");
  }
}

BENCHMARK(BM_Tick)->Iterations(3000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Memory)->Arg(0)->Arg(1)->ArgNames({"sdk"})->Iterations(1);

// The console table, and whether a run ended in an error (a figure that is not what it says).
class ErrorNotingReporter : public benchmark::ConsoleReporter {
 public:
  // Colours only on a terminal, as the library's own table does.
  ErrorNotingReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) failed_ = failed_ || r.error_occurred;
    ConsoleReporter::ReportRuns(runs);
  }
  bool failed() const { return failed_; }

 private:
  bool failed_ = false;
};

}  // namespace

// Exits non-zero when a run ended in an error; another output format than the console
// gets the plain run.
int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--memory") return MemoryChild(argv[2], argv[3]);
  const bool console = ConsoleOutputAsked(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  ErrorNotingReporter reporter;
  if (console) {
    benchmark::RunSpecifiedBenchmarks(&reporter);
  } else {
    benchmark::RunSpecifiedBenchmarks();
  }
  benchmark::Shutdown();
  return reporter.failed() ? 1 : 0;
}
