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
// and kept afterwards, in MB.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

#include "MCBeaconManager/mc_beacon_manager.h"
#include "MCLogManager/mc_log_manager.h"
#include "MCPushManager/mc_push_manager.h"
#include "MainSDK/main_sdk.h"
#include "Device/mc_device.h"
#include "Sensors/mc_sensor_manager.h"
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

void BM_Memory(benchmark::State& state) {
  Fixture& f = Shared();
  if (!f.ok) return state.SkipWithError("no venue");
  for (auto _ : state) {
    state.PauseTiming();
    const bool sdk = state.range(0) != 0;
    const long long base = HeapCountStart();
    std::shared_ptr<MainSDK> coordinator;
    ClientNavigationState* client = nullptr;
    if (sdk) {
      coordinator = MainSDK::initWithUserHash("bench", "http://127.0.0.1:1", Private());
      coordinator->loadArchive("venue", nullptr);
    } else {
      client = CreateNavigationClient(f.map.c_str(), "bench", "SimPhone", false, nullptr);
    }
    state.counters["peak_MB"] = double(HeapPeak() - base) / 1e6;
    state.counters["kept_MB"] = double(HeapCurrent() - base) / 1e6;
    HeapCountStop();
    if (client) DeleteNavigationClient(client);
    coordinator.reset();
    state.ResumeTiming();
  }
}

BENCHMARK(BM_Tick)->Iterations(3000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Memory)->Arg(0)->Arg(1)->ArgNames({"sdk"})->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
