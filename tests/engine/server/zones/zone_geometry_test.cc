#include <cmath>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <vector>

#include <gtest/gtest.h>

#include "server/utils.h"
#include "server/zones/zones.h"

namespace {

Zone MakeZone(const std::vector<std::pair<double, double>>& vertices) {
  Zone z;
  z.id = 1;
  for (const auto& [x, y] : vertices) z.points.emplace_back(1, x, y);
  return z;
}

TEST(ZoneContainsPoint, ConvexConcaveEdgesAndVertices) {
  const Zone square = MakeZone({{0, 0}, {10, 0}, {10, 10}, {0, 10}});
  const Zone diamond = MakeZone({{5, 0}, {10, 5}, {5, 10}, {0, 5}});
  // A "U": the notch between the arms is outside; (3, 3) and (6, 3) are reflex.
  const Zone u = MakeZone({{0, 0}, {9, 0}, {9, 9}, {6, 9}, {6, 3}, {3, 3}, {3, 9}, {0, 9}});
  const struct { const Zone* zone; double x, y; bool inside; } cases[] = {
      {&square, 5, 5, true},    {&square, 15, 5, false},  {&square, -5, 5, false},
      {&square, 10, 5, true},   {&square, 5, 10, true},   {&square, 0, 0, true},
      {&square, 10, 10, true},  {&square, 11, 0, false},  {&square, 5, 10.001, false},
      {&diamond, 5, 5, true},   {&diamond, 1, 5, true},   {&diamond, -1, 5, false},
      {&diamond, 10, 5, true},  {&diamond, 1, 1, false},  {&u, 1.5, 6, true},
      {&u, 7.5, 6, true},       {&u, 4.5, 6, false},      {&u, -1, 6, false},
      {&u, 1, 3, true},         {&u, -1, 3, false},       {&u, 4.5, 3, true},
      {&u, 6, 3, true},         {&u, 3, 7, true},         {&u, 4.5, 1.5, true},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.zone->containsPoint(c.x, c.y), c.inside) << c.x << ", " << c.y;
  EXPECT_FALSE(Zone().containsPoint(0, 0));
}

// Lookups skip edges far above or below the point unless the per-edge trace is
// on; both walks must agree, also for points a hair off edges and vertices.
TEST(ZoneContainsPoint, EdgeSkippingMatchesTheFullWalk) {
  std::mt19937 rng(8675309);
  std::uniform_real_distribution<double> coord(-20.0, 20.0);
  std::vector<std::pair<Zone, std::vector<std::pair<double, double>>>> cases;
  for (int z = 0; z < 200; ++z) {
    std::vector<std::pair<double, double>> v, probes;
    for (int i = 0, n = 1 + static_cast<int>(rng() % 9); i < n; ++i)
      v.emplace_back(std::round(coord(rng)), std::round(coord(rng)));
    for (size_t i = 0; i < v.size(); ++i) {
      const auto& [ax, ay] = v[i];
      const auto& [bx, by] = v[(i + 1) % v.size()];
      for (double off : {0.0, 5e-5, 1e-4, 2e-4, 9e-4, 1.1e-3, -5e-5, -2e-4, -1.1e-3}) {
        probes.emplace_back(ax, ay + off);
        probes.emplace_back((ax + bx) / 2 + off, (ay + by) / 2);
        probes.emplace_back((ax + bx) / 2, (ay + by) / 2 + off);
      }
    }
    for (int i = 0; i < 30; ++i) probes.emplace_back(coord(rng), coord(rng));
    cases.emplace_back(MakeZone(v), probes);
  }
  auto walk = [&] {
    std::vector<char> out;
    for (const auto& [z, probes] : cases)
      for (const auto& [x, y] : probes) out.push_back(z.containsPoint(x, y));
    return out;
  };
  const std::vector<char> fast = walk();
  _Logger.setOutStream(nullptr);  // keep the trace out of the system log
  _Logger.setDebugLevel(3, "zones.cc");
  const std::vector<char> full = walk();
  const std::string log = testing::TempDir() + "zone_trace.log";
  std::remove(log.c_str());
  _Logger.setLogFile(log);
  MakeZone({{0, 0}, {10, 0}, {10, 10}}).containsPoint(10, 5);
  _Logger.setLogFile("");
  _Logger.setDebugLevel(1, "zones.cc");
  _Logger.setOutStream(stdout);
  EXPECT_EQ(fast, full);
  std::stringstream text;
  text << std::ifstream(log).rdbuf();
  EXPECT_NE(text.str().find("belongs to line"), std::string::npos);
  std::remove(log.c_str());
}

}  // namespace
