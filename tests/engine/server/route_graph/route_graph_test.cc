#include "server/route_graph/route_graph.h"

#include <gtest/gtest.h>

#include <tuple>

#include <cmath>
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

}  // namespace
