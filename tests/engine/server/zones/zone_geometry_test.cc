#include <cmath>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "server/utils.h"
#include "server/zones/zones.h"

namespace {

Zone MakeZone(int id, const std::vector<std::pair<double, double>>& vertices) {
  Zone z;
  z.id = id;
  for (const auto& [x, y] : vertices) z.points.emplace_back(1, x, y);
  return z;
}

TEST(ZoneContainsPoint, ConvexSquareInsideOutsideEdgesAndVertices) {
  const Zone sq = MakeZone(1, {{0, 0}, {10, 0}, {10, 10}, {0, 10}});
  EXPECT_TRUE(sq.containsPoint(5, 5));
  EXPECT_TRUE(sq.containsPoint(0.001, 9.999));
  EXPECT_FALSE(sq.containsPoint(15, 5));
  EXPECT_FALSE(sq.containsPoint(-0.001, 5));
  EXPECT_FALSE(sq.containsPoint(5, 10.001));
  EXPECT_FALSE(sq.containsPoint(-5, 5));  // ray crosses both vertical edges
  // Every edge and every vertex counts as inside.
  EXPECT_TRUE(sq.containsPoint(10, 5));
  EXPECT_TRUE(sq.containsPoint(5, 10));
  EXPECT_TRUE(sq.containsPoint(0, 5));
  EXPECT_TRUE(sq.containsPoint(5, 0));
  for (const auto& v : sq.points) EXPECT_TRUE(sq.containsPoint(v.x, v.y));
  // Beyond a vertex along the edge's own line is outside.
  EXPECT_FALSE(sq.containsPoint(11, 0));
  EXPECT_FALSE(sq.containsPoint(10, -1));
}

TEST(ZoneContainsPoint, RayThroughVertexCountsOnce) {
  const Zone diamond = MakeZone(1, {{5, 0}, {10, 5}, {5, 10}, {0, 5}});
  EXPECT_TRUE(diamond.containsPoint(5, 5));
  EXPECT_TRUE(diamond.containsPoint(1, 5));
  EXPECT_FALSE(diamond.containsPoint(-1, 5));  // ray through both side vertices
  EXPECT_FALSE(diamond.containsPoint(11, 5));
  EXPECT_TRUE(diamond.containsPoint(10, 5));   // the vertex itself
  EXPECT_FALSE(diamond.containsPoint(1, 1));
}

TEST(ZoneContainsPoint, ConcaveShapes) {
  // A "U": the notch between the arms is outside, the arms and base inside.
  const Zone u = MakeZone(2, {{0, 0}, {9, 0}, {9, 9}, {6, 9}, {6, 3}, {3, 3}, {3, 9}, {0, 9}});
  EXPECT_TRUE(u.containsPoint(1.5, 6));
  EXPECT_TRUE(u.containsPoint(7.5, 6));
  EXPECT_TRUE(u.containsPoint(4.5, 1.5));
  EXPECT_FALSE(u.containsPoint(4.5, 6));
  EXPECT_FALSE(u.containsPoint(-1, 6));  // ray crosses all four arm edges
  // A ray at the height of the reflex vertices (3, 3) and (6, 3).
  EXPECT_TRUE(u.containsPoint(1, 3));
  EXPECT_FALSE(u.containsPoint(-1, 3));
  EXPECT_TRUE(u.containsPoint(4.5, 3));  // on the notch's bottom edge
  EXPECT_TRUE(u.containsPoint(6, 3));    // reflex vertex
  EXPECT_TRUE(u.containsPoint(3, 7));    // inner edge of the left arm

  // An arrow-head with a reflex vertex on the ray's height.
  const Zone arrow = MakeZone(3, {{0, 0}, {10, 5}, {0, 10}, {4, 5}});
  EXPECT_TRUE(arrow.containsPoint(6, 5));
  EXPECT_FALSE(arrow.containsPoint(2, 5));
  EXPECT_FALSE(arrow.containsPoint(-3, 5));
}

TEST(ZoneContainsPoint, DegenerateZones) {
  EXPECT_FALSE(Zone().containsPoint(0, 0));
  const Zone single = MakeZone(1, {{2, 2}});
  EXPECT_TRUE(single.containsPoint(2, 2));
  EXPECT_FALSE(single.containsPoint(2, 3));
  const Zone segment = MakeZone(1, {{0, 0}, {4, 0}});
  EXPECT_TRUE(segment.containsPoint(2, 0));
  EXPECT_FALSE(segment.containsPoint(2, 1));
}

TEST(ZoneEdgeHelpers, PointOnLineAndRayCrossing) {
  EXPECT_TRUE(PointOnLine(1, 1, 0, 0, 2, 2));
  EXPECT_TRUE(PointOnLine(0, 0, 0, 0, 2, 2));
  EXPECT_TRUE(PointOnLine(2, 2, 0, 0, 2, 2));
  EXPECT_FALSE(PointOnLine(3, 3, 0, 0, 2, 2));  // collinear but beyond the end
  EXPECT_FALSE(PointOnLine(1, 1.001, 0, 0, 2, 2));

  EXPECT_TRUE(XRayIntersectsLine(0, 5, 3, 0, 3, 10));
  EXPECT_TRUE(XRayIntersectsLine(0, 5, 3, 10, 3, 0));  // direction does not matter
  EXPECT_FALSE(XRayIntersectsLine(4, 5, 3, 0, 3, 10));  // crossing left of the start
  EXPECT_FALSE(XRayIntersectsLine(0, 5, 0, 5, 10, 5));  // horizontal edge
  EXPECT_FALSE(XRayIntersectsLine(0, 20, 3, 0, 3, 10));
  // An end at the ray's height is lifted above it: only the edge that goes
  // down from there counts.
  EXPECT_FALSE(XRayIntersectsLine(0, 5, 3, 5, 3, 10));
  EXPECT_TRUE(XRayIntersectsLine(0, 5, 3, 5, 3, 0));
}

// Lookups skip edges far above or below the point unless the per-edge trace is
// on; both walks must agree, also for points a hair off edges and vertices.
TEST(ZoneContainsPoint, EdgeSkippingMatchesTheFullWalk) {
  std::mt19937 rng(8675309);
  std::uniform_real_distribution<double> coord(-20.0, 20.0);
  // Each zone with the probes made for it: its vertices and edge midpoints,
  // shifted by less and by more than the skip margin, and random points.
  std::vector<std::pair<Zone, std::vector<std::pair<double, double>>>> cases;
  for (int z = 0; z < 200; ++z) {
    std::vector<std::pair<double, double>> v, probes;
    const int n = 1 + static_cast<int>(rng() % 9);
    for (int i = 0; i < n; ++i) v.emplace_back(std::round(coord(rng)), std::round(coord(rng)));
    for (size_t i = 0; i < v.size(); ++i) {
      const auto& a = v[i];
      const auto& b = v[(i + 1) % v.size()];
      for (double off : {0.0, 5e-5, 1e-4, 2e-4, 9e-4, 1.1e-3, -5e-5, -2e-4, -1.1e-3}) {
        probes.emplace_back(a.first, a.second + off);
        probes.emplace_back((a.first + b.first) / 2 + off, (a.second + b.second) / 2);
        probes.emplace_back((a.first + b.first) / 2, (a.second + b.second) / 2 + off);
      }
    }
    for (int i = 0; i < 30; ++i) probes.emplace_back(coord(rng), coord(rng));
    cases.emplace_back(MakeZone(z + 1, v), probes);
  }

  std::vector<char> fast;
  for (const auto& [z, probes] : cases)
    for (const auto& [x, y] : probes) fast.push_back(z.containsPoint(x, y));

  // The trace goes to a file only; the system log would be flooded.
  _Logger.setOutStream(nullptr);
  _Logger.setDebugLevel(3, "zones.cc");
  std::vector<char> full;
  for (const auto& [z, probes] : cases)
    for (const auto& [x, y] : probes) full.push_back(z.containsPoint(x, y));
  // The trace itself, for one zone: every edge is reported.
  const std::string log = testing::TempDir() + "zone_trace.log";
  std::remove(log.c_str());
  _Logger.setLogFile(log);
  const Zone square = MakeZone(1, {{0, 0}, {10, 0}, {10, 10}, {0, 10}});
  square.containsPoint(5, 5);
  square.containsPoint(10, 5);
  _Logger.setLogFile("");
  _Logger.setDebugLevel(1, "zones.cc");
  _Logger.setOutStream(stdout);

  EXPECT_EQ(fast, full);
  std::ifstream in(log);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_NE(text.str().find("belongs to line"), std::string::npos);
  EXPECT_NE(text.str().find("not intersects with line"), std::string::npos);
  std::remove(log.c_str());
}

}  // namespace
