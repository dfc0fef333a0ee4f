#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>

#include "server/route_graph/geometry.h"
#include "route_graph_builders.h"

namespace {

using routetest::E;
using routetest::V;

// Floors 1 and 2 (100 x 50 m, altitudes 0 and 4) and floor 3 without edges.
RouteGraph Venue() {
  RouteGraph g;
  for (int id = 1; id <= 3; ++id) g.addSubLocation(routetest::Floor(id, id == 2 ? 4.0 : 0.0));
  return g;
}

void AddVertex(RouteGraph& g, int subLoc, int id, double x, double y) { ASSERT_EQ(g.addVertex(V(subLoc, id, x, y)), id); }

void AddEdge(RouteGraph& g, int subLoc, int src, int dst, bool twoWay = true) {
  ASSERT_NE(g.addEdge(E(subLoc, 0, src, dst)), 0);
  if (twoWay) {
    ASSERT_NE(g.addEdge(E(subLoc, 0, dst, src)), 0);
  }
}

// An L on floor 1: (0,0) - (10,0) - (10,10).
RouteGraph Corner() {
  RouteGraph g = Venue();
  AddVertex(g, 1, 1, 0, 0);
  AddVertex(g, 1, 2, 10, 0);
  AddVertex(g, 1, 3, 10, 10);
  AddEdge(g, 1, 1, 2);
  AddEdge(g, 1, 2, 3);
  return g;
}

void ExpectPoint(const LocationPoint& p, int subLoc, double x, double y) {
  EXPECT_EQ(p.subLoc, subLoc);
  EXPECT_NEAR(p.x, x, 1e-9);
  EXPECT_NEAR(p.y, y, 1e-9);
}

void ExpectSound(const RoutePath& r) {
  ASSERT_TRUE(std::isfinite(r.length));
  double last = 0.0;
  for (const LocationPoint& p : r.points) ASSERT_TRUE(std::isfinite(p.x) && std::isfinite(p.y));
  for (const RouteEvent& e : r.events) {
    ASSERT_TRUE(std::isfinite(e.distance));
    EXPECT_GE(e.distance, last - 1e-9);
    EXPECT_LE(e.distance, r.length + 1e-9);
    last = e.distance;
    if (e.type != 3) {
      EXPECT_GE(e.value, 10);
      EXPECT_LE(e.value, 180);
    }
  }
  for (size_t i = 1; i < r.points.size(); ++i)
    EXPECT_FALSE(r.points[i].subLoc == r.points[i - 1].subLoc &&
                 GetDist(r.points[i], r.points[i - 1]) < 1e-9)
        << "repeated point " << i;
}

TEST(RouteFinding, EndsOnOrNearVerticesStillRoute) {
  const RouteGraph g = Corner();
  // A start a few centimetres from a vertex is taken at the vertex.
  const RoutePath r = g.getPath(LocationPoint(1, 0.03, 0), LocationPoint(1, 10, 4));
  EXPECT_NEAR(r.length, 14.0, 1e-9);
  ExpectPoint(r.points.front(), 1, 0, 0);
  const std::vector<RoutePath> many =
      g.getPaths(LocationPoint(1, 10, 0), {LocationPoint(1, 10, 10), LocationPoint(1, 0.02, 0.02),
                                           LocationPoint(1, 10, 0)});
  ASSERT_EQ(many.size(), 3u);
  EXPECT_NEAR(many[0].length, 10.0, 1e-9);
  EXPECT_NEAR(many[1].length, 10.0, 1e-9);
  // The target is the start: the walker has arrived, which is a route of
  // no length, not no route.
  ASSERT_EQ(many[2].points.size(), 1u);
  ExpectPoint(many[2].points[0], 1, 10, 0);
  EXPECT_EQ(many[2].length, 0.0);
  EXPECT_TRUE(g.getPath(LocationPoint(1, 4, 0), LocationPoint(1, 4, 0)).points.empty());
}

// A room's loop a little inside its walls, the target in the room 2.2 m
// from the loop's west side, a wall just north of the target.
RouteGraph RoomWithTarget() {
  RouteGraph g = Venue();
  AddVertex(g, 1, 1, 30.6, 0.8);
  AddVertex(g, 1, 2, 35.4, 0.8);
  AddVertex(g, 1, 3, 35.4, 12.2);
  AddVertex(g, 1, 4, 30.6, 12.2);
  for (int i = 1; i <= 4; ++i) AddEdge(g, 1, i, i % 4 + 1);
  // The wall from (31.5, 7) to (34.5, 7) in fractions of the 100 x 50 m floor.
  g.parseBarriers("<Location><Sublocation id=\"1\"><Barrier id=\"1\" type=\"wall\">"
                  "<coord kx=\"0.315\" ky=\"0.14\"/><coord kx=\"0.345\" ky=\"0.14\"/></Barrier></Sublocation></Location>",
                  nullptr);
  return g;
}

TEST(RouteFinding, AWalkerBesideTheTargetIsThatFarFromIt) {
  const RouteGraph g = RoomWithTarget();
  const LocationPoint target(1, 32.8, 6.5);
  struct Case {
    const char* what;
    LocationPoint walker;
    double length;  // of the route to the target
  } cases[] = {
      {"at the target", {1, 32.8, 6.5}, 0.0},
      {"3 cm off (closer than the stick distance)", {1, 32.83, 6.5}, 0.03},
      {"half a metre east, nearer the loop's east side", {1, 33.3, 6.5}, 0.5},
      {"half a metre south-east", {1, 33.1, 6.1}, 0.5},
      {"on the target's own edge", {1, 31.8, 6.5}, 1.0},
      {"beside the target's own edge", {1, 31.8, 6.0}, 1.5},
      {"behind the wall: round it by the loop", {1, 32.5, 7.5}, 1.9 + 1.0 + 2.2},
      {"nearer the loop than the target's edge", {1, 35.0, 11.5}, 0.4 + 0.7 + 4.8 + 5.7 + 2.2},
  };
  for (const Case& c : cases) {
    const std::vector<RoutePath> many = g.getPaths(c.walker, {target});
    ASSERT_EQ(many.size(), 1u);
    EXPECT_NEAR(many[0].length, c.length, 1e-9) << c.what;
    ASSERT_FALSE(many[0].points.empty()) << c.what;
    ExpectPoint(many[0].points.front(), 1, c.walker.x, c.walker.y);
    ExpectPoint(many[0].points.back(), 1, target.x, target.y);
    ExpectSound(many[0]);
    // One route is the same, but for the walker at the target's very place.
    const RoutePath one = g.getPath(c.walker, target);
    if (c.length < 0.1) {
      EXPECT_TRUE(one.points.empty()) << c.what;
    } else {
      EXPECT_NEAR(one.length, c.length, 1e-9) << c.what;
      ASSERT_EQ(one.points.size(), many[0].points.size()) << c.what;
    }
  }
}

TEST(RouteFinding, HairpinsAndStraightCornersStayFinite) {
  for (double radius : {0.0, 1.0}) {
    RouteGraph g = Venue();
    AddVertex(g, 1, 1, 0, 0);
    AddVertex(g, 1, 2, 10, 0);
    AddVertex(g, 1, 3, 20, 0);
    AddEdge(g, 1, 1, 2);
    AddEdge(g, 1, 2, 3);
    g.setSmoothRadius(radius);
    // Both ends lie past the corridor's end on its own line: the route runs
    // back to the end vertex and turns round on the spot.
    ExpectSound(g.getPath(LocationPoint(1, 22, 0), LocationPoint(1, 24, 0)));
    ExpectSound(g.getPath(LocationPoint(1, 22, 0), LocationPoint(1, 5, 0)));
    ExpectSound(g.getPath(LocationPoint(1, -2, 0), LocationPoint(1, 24, 0)));
    for (const RoutePath& r : g.getPaths(LocationPoint(1, 22, 0), {LocationPoint(1, 24, 0), LocationPoint(1, 10, 0)}))
      ExpectSound(r);
  }
}

std::vector<LocationPoint> PathPoints(const RouteGraph& c, const std::vector<int>& path) {
  std::vector<LocationPoint> points;
  for (int id : path) {
    const RouteGraph::Vertex w = c.getVertex(id);
    if (!points.empty() && points.back().subLoc == w.subLoc && GetDist(points.back().x, points.back().y, w.x, w.y) < 1e-8)
      continue;
    points.emplace_back(w.subLoc, w.x, w.y);
  }
  return points;
}

// The routes a query gives, worked out step by step on an explicit copy of
// the graph with the public operations (straight corners, no smoothing): the
// start and all targets are added to one copy, and the points of each route
// are the vertices of the copy's shortest path.
// A start nearer to a target's own edge than to the graph steps onto that
// edge where the step crosses no barrier. A target merged into the start is
// the start and the target for many targets, no route for one.
std::vector<std::vector<LocationPoint>> ReferenceRoutes(const RouteGraph& g, const LocationPoint& from,
                                                        const std::vector<LocationPoint>& targets,
                                                        bool many) {
  std::vector<std::vector<LocationPoint>> result(targets.size());
  const LocationPoint pf = g.getProjection(from);
  if (pf.subLoc < 1) return result;
  const LocationPoint f = g.getBarrierIntersection(pf, from);
  RouteGraph c(g);
  const int a = c.addVertex(V(f.subLoc, 0, f.x, f.y));
  const int sa = c.addSplitPoint(pf);
  if (!a || !sa) return result;
  c.addEdge(E(f.subLoc, 0, a, sa));
  std::vector<int> ids;
  std::vector<LocationPoint> ends;
  for (const LocationPoint& target : targets) {
    const LocationPoint pt = g.getProjection(target);
    const LocationPoint t = g.getBarrierIntersection(pt, target);
    ids.push_back(c.addVertex(V(t.subLoc, 0, t.x, t.y)));
    ends.push_back(t);
    c.addEdge(E(t.subLoc, 0, c.addSplitPoint(pt), ids.back()));
    if (pt.subLoc < 1 || t.subLoc != f.subLoc || !ids.back()) continue;
    LocationPoint foot = t;
    const double share = GetProjection(pt.x, pt.y, t.x, t.y, f.x, f.y, nullptr, nullptr);
    if (GetDist(pt, t) > 1e-4 && share < 1) {
      const double k = std::max(0.0, share);
      foot = LocationPoint(f.subLoc, pt.x + k * (t.x - pt.x), pt.y + k * (t.y - pt.y));
    }
    const LocationPoint clear = g.getBarrierIntersection(f, foot);
    if (GetDist(f, foot) < GetDist(f, pf) && GetDist(clear, foot) < 1e-8) {
      const int onEdge = c.addVertex(V(f.subLoc, 0, foot.x, foot.y));
      c.addEdge(E(f.subLoc, 0, a, onEdge));
      c.addEdge(E(f.subLoc, 0, onEdge, ids.back()));
    }
  }
  const int start = c.getVertex(a).id;
  for (size_t i = 0; i < targets.size(); ++i) {
    const int target = c.getVertex(ids[i]).id;
    std::vector<int> path;
    if (target != 0 && target == start && many) {
      result[i] = {f};
      if (GetDist(f, ends[i]) >= 1e-8) result[i].push_back(ends[i]);
    } else if (target != 0 && target != start && c.getGraph().getPath(start, target, &path, nullptr) >= 0.0) {
      result[i] = PathPoints(c, path);
    }
  }
  return result;
}

// Random two-floor venues with one-way links, uneven coefficients, vertices
// close enough to merge, walls, and query points on, near and off the graph.
TEST(RouteFinding, RoutesMatchTheStepByStepConstruction) {
  std::mt19937 rng(31337);
  std::uniform_real_distribution<double> coord(0.0, 40.0);
  int routedCount = 0;
  for (int round = 0; round < 40; ++round) {
    RouteGraph g = Venue();
    const int n = std::uniform_int_distribution<int>(4, 30)(rng);
    std::vector<int> ids;
    for (int i = 1; i <= n; ++i) {
      const double x = std::round(coord(rng));
      if (g.addVertex(V(1 + i % 2, i, x, std::round(coord(rng)))) == i) ids.push_back(i);
    }
    std::uniform_int_distribution<size_t> pick(0, ids.size() - 1);
    for (int k = 0; k < 3 * n; ++k) {
      RouteGraph::Edge e;
      e.src = ids[pick(rng)];
      e.dst = ids[pick(rng)];
      const RouteGraph::Vertex a = g.getVertex(e.src), b = g.getVertex(e.dst);
      e.subLoc = a.subLoc == b.subLoc ? a.subLoc : RouteGraph::kExternalSubLoc;
      e.weightCoef = std::uniform_real_distribution<double>(0.5, 3.0)(rng);
      g.addEdge(e);
      if (rng() % 3) {
        std::swap(e.src, e.dst);
        g.addEdge(e);
      }
    }
    g.setStickDistance(std::uniform_real_distribution<double>(0.1, 1.5)(rng));
    g.parseBarriers("<Location><Sublocation id=\"1\"><Barrier id=\"1\" type=\"wall\">"
                    "<coord kx=\"0.1\" ky=\"0.2\"/><coord kx=\"0.3\" ky=\"0.2\"/></Barrier></Sublocation></Location>",
                    nullptr);
    auto point = [&]() {
      const int kind = static_cast<int>(rng() % 4);
      if (kind == 0) {
        const RouteGraph::Vertex v = g.getVertex(ids[pick(rng)]);
        return LocationPoint(v.subLoc, v.x + (rng() % 2 ? 0.05 : 0.0), v.y);
      }
      const LocationPoint p(1 + static_cast<int>(rng() % 2), coord(rng), coord(rng));
      return kind == 1 ? g.getProjection(p) : p;
    };
    std::vector<LocationPoint> targets;
    for (int k = 0; k < 6; ++k) targets.push_back(point());
    for (int q = 0; q < 6; ++q) {
      const LocationPoint from = point();
      const std::vector<RoutePath> many = g.getPaths(from, targets);
      const std::vector<std::vector<LocationPoint>> expectedMany = ReferenceRoutes(g, from, targets, true);
      for (size_t k = 0; k < targets.size(); ++k) {
        const std::vector<LocationPoint> expected = ReferenceRoutes(g, from, {targets[k]}, false)[0];
        const RoutePath one = g.getPath(from, targets[k]);
        ASSERT_EQ(one.points.size(), expected.size()) << "round " << round << " query " << q << " target " << k;
        for (size_t i = 0; i < expected.size(); ++i) ExpectPoint(one.points[i], expected[i].subLoc, expected[i].x, expected[i].y);
        ExpectSound(one);
        ASSERT_EQ(many[k].points.size(), expectedMany[k].size()) << "round " << round << " query " << q << " target " << k;
        for (size_t i = 0; i < expectedMany[k].size(); ++i)
          ExpectPoint(many[k].points[i], expectedMany[k][i].subLoc, expectedMany[k][i].x, expectedMany[k][i].y);
        ExpectSound(many[k]);
        routedCount += !expected.empty();
      }
    }
  }
  EXPECT_GT(routedCount, 200);  // the venues are connected enough to be a real test
}

}  // namespace
