// Point-in-zone lookups on one floor holding 1,000 random polygon zones.
#include <cmath>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>

#include "server/zones/zones.h"

namespace {

constexpr int kFloor = 1;
constexpr double kWidth = 400.0;
constexpr double kHeight = 300.0;

// Star-shaped polygons of 3 to 12 vertices, 2 to 15 m across, some concave,
// spread over the whole floor.
ZoneMap MakeFloor(int zoneCount, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> cx(0.0, kWidth), cy(0.0, kHeight);
  std::uniform_real_distribution<double> size(1.0, 7.5), wobble(0.4, 1.0);
  ZoneMap map;
  map.setLocation(1);
  ZoneMap::SubLocation floor(kFloor, kWidth, kHeight);
  for (int id = 1; id <= zoneCount; ++id) {
    Zone zone;
    zone.id = id;
    zone.name = "zone";
    const double x = cx(rng), y = cy(rng), r = size(rng);
    const int n = 3 + static_cast<int>(rng() % 10);
    for (int i = 0; i < n; ++i) {
      const double a = 2 * M_PI * i / n;
      const double ri = r * wobble(rng);
      zone.points.emplace_back(kFloor, x + ri * std::cos(a), y + ri * std::sin(a));
    }
    floor.addZone(zone);
  }
  map.addSubLocation(floor);
  return map;
}

void BM_GetZonesAtPoint(benchmark::State& state) {
  const ZoneMap map = MakeFloor(static_cast<int>(state.range(0)), 1170);
  std::mt19937 rng(42);
  std::uniform_real_distribution<double> px(0.0, kWidth), py(0.0, kHeight);
  std::vector<LocationPoint> queries;
  for (int i = 0; i < 4096; ++i) queries.emplace_back(kFloor, px(rng), py(rng));
  size_t i = 0, found = 0;
  for (auto _ : state) {
    const LocationPoint& q = queries[i++ & 4095];
    std::vector<Zone> zones = map.getZones(q.subLoc, q.x, q.y);
    found += zones.size();
    benchmark::DoNotOptimize(zones.data());
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["zones_hit_per_lookup"] =
      benchmark::Counter(static_cast<double>(found) / static_cast<double>(state.iterations()));
}
BENCHMARK(BM_GetZonesAtPoint)->Arg(1000)->Arg(100);

}  // namespace

BENCHMARK_MAIN();
