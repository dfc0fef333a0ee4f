#include "server/route_graph/route_graph.h"

#include <gtest/gtest.h>

#include <tuple>

#include <cmath>
#include <functional>
#include <vector>
#include <memory>
#include <random>

#include "route_graph_builders.h"

namespace {

using routetest::E;
using routetest::Floor;
using routetest::V;

TEST(RouteGraphModel, RemovingOneOfTwoParallelEdgesKeepsTheWay) {
  RouteGraph g;
  g.addSubLocation(Floor(1));
  g.addVertex(V(1, 1, 0, 0));
  g.addVertex(V(1, 2, 10, 0));
  g.addEdge(E(1, 1, 1, 2, 1.0));
  g.addEdge(E(1, 2, 1, 2, 3.0));
  EXPECT_DOUBLE_EQ(g.getGraph().getEdgeWeight(1, 2), 30.0);
  g.removeEdge(2);
  EXPECT_DOUBLE_EQ(g.getGraph().getEdgeWeight(1, 2), 10.0);
  EXPECT_DOUBLE_EQ(g.getGraph().getPath(1, 2, nullptr, nullptr), 10.0);
  g.removeEdge(1);
  EXPECT_FALSE(g.getGraph().hasEdge(1, 2));
}

TEST(RouteGraphModel, GeneratedIdsSkipIdsInUse) {
  RouteGraph g;
  g.addSubLocation(Floor(1));
  EXPECT_EQ(g.addVertex(V(1, 1000000001, 0, 0)), 1000000001);
  EXPECT_EQ(g.addVertex(V(1, 0, 10, 0)), 1000000002);
  EXPECT_EQ(g.addEdge(E(1, 1000000001, 1000000001, 1000000002)), 1000000001);
  EXPECT_EQ(g.addEdge(E(1, 0, 1000000002, 1000000001)), 1000000002);
  EXPECT_EQ(g.getGraph().edgeCount(), 2u);
}

// By name, for every floor or one; unknown floors and inexact names refused.
TEST(RouteGraphModel, ParametersByName) {
  RouteGraph g;
  EXPECT_FALSE(g.setParam("smooth_radius", "1"));  // no floor yet
  for (int f : {1, 2}) g.addSubLocation(Floor(f));
  EXPECT_TRUE(g.setParam("subLoc[2].smooth_radius", "1.5"));
  EXPECT_EQ(g.getSmoothRadius(1), 0.0);
  EXPECT_TRUE(g.setParam("stick_distance", "0.25"));
  EXPECT_TRUE(g.setParam("subLoc[1].barriers_enabled", "yes"));
  EXPECT_EQ(std::make_tuple(g.getSmoothRadius(2), g.getStickDistance(1), g.getBarriersEnabled(1),
                            g.getBarriersEnabled(2)), std::make_tuple(1.5, 0.25, false, true));
  for (const char* key : {"subLoc[99].smooth_radius", "Smooth_radius", "subLoc[01].smooth_radius"})
    EXPECT_FALSE(g.setParam(key, "1")) << key;
  EXPECT_FALSE(g.setParam("smooth_radius", "-1"));
}

// Edits after loading reach the graph that routes are searched on; an unknown
// id changes nothing.
TEST(RouteGraphModel, EditsReachTheSearchedGraph) {
  struct Case {
    const char* name;
    std::function<void(RouteGraph&)> edit;
    double path;  // 1 to 3 through 2
  };
  const std::vector<Case> cases = {
      {"none", [](RouteGraph&) {}, 20},
      {"vertex moved", [](RouteGraph& g) { g.moveVertex(2, 10, 10); }, 2 * std::hypot(10, 10)},
      {"edge weighted", [](RouteGraph& g) { g.setEdgeWeight(1, 3.0); }, 40},
      {"unknown vertex moved", [](RouteGraph& g) { g.moveVertex(99, 50, 50); }, 20},
      {"unknown edge weighted", [](RouteGraph& g) { g.setEdgeWeight(99, 3.0); }, 20},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RouteGraph g;
    g.addSubLocation(Floor(1));
    g.addVertex(V(1, 1, 0, 0));
    g.addVertex(V(1, 2, 10, 0));
    g.addVertex(V(1, 3, 20, 0));
    g.addEdge(E(1, 1, 1, 2));
    g.addEdge(E(1, 2, 2, 3));
    c.edit(g);
    EXPECT_NEAR(g.getGraph().getPath(1, 3, nullptr, nullptr), c.path, 1e-9);
  }
}

TEST(RouteGraphModel, VertexNameAndElevationFlagAreSetInPlace) {
  RouteGraph g;
  g.addSubLocation(Floor(1));
  g.addVertex(V(1, 1, 0, 0));
  g.addVertex(V(1, 2, 10, 0));
  g.setVertexName(2, "lift");
  g.setVertexExternal(2, true);
  g.setVertexName(99, "nowhere");
  g.setVertexExternal(99, true);
  EXPECT_EQ(g.getVertex(2).name, "lift");
  const auto lifts = g.getElevationPoints(1);
  ASSERT_EQ(lifts.size(), 1u);
  EXPECT_EQ(lifts[0].id, 2);
  g.setVertexExternal(2, false);
  EXPECT_TRUE(g.getElevationPoints().empty());
}

}  // namespace
