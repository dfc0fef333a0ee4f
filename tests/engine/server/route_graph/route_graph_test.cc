#include "server/route_graph/route_graph.h"

#include <gtest/gtest.h>

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

}  // namespace
