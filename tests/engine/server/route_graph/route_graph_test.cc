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

TEST(RouteGraphModel, CloseVerticesAreMergedAndResolved) {
  RouteGraph g;
  g.addSubLocation(Floor(1));
  EXPECT_EQ(g.addVertex(V(1, 5, 1.0, 1.0)), 5);
  EXPECT_EQ(g.addVertex(V(1, 6, 1.05, 1.0)), 6);
  EXPECT_EQ(g.addVertex(V(1, 7, 0.0, 10.0)), 7);
  EXPECT_EQ(g.addVertex(V(1, 8, 0.1, 10.0)), 8);  // exactly the stick distance apart: kept
  EXPECT_TRUE(g.hasVertex(6));
  EXPECT_EQ(g.getVertex(6).id, 5);
  EXPECT_FALSE(g.getGraph().hasVertex(6));
  EXPECT_TRUE(g.getGraph().hasVertex(8));
  EXPECT_EQ(g.addVertex(V(1, 6, 40.0, 40.0)), 0);  // a merged id is taken
  EXPECT_EQ(g.addVertex(V(2, 9, 0, 0)), 0);        // no such floor

  EXPECT_EQ(g.addEdge(E(1, 1, 6, 7)), 1);
  EXPECT_EQ(g.getEdge(1).src, 5);
  EXPECT_EQ(g.getEdge(1, 6, 7).id, 1);
  EXPECT_EQ(g.getEdge(1, 7, 6).id, 0);  // one direction only
  EXPECT_EQ(g.addEdge(E(1, 2, 5, 6)), 0);   // both ends are one vertex
  EXPECT_EQ(g.addEdge(E(1, 3, 7, 7)), 0);
  EXPECT_EQ(g.addEdge(E(1, 4, 0, 7)), 0);
  EXPECT_EQ(g.addEdge(E(1, 5, 7, 99)), 0);
  EXPECT_EQ(g.addEdge(E(1, 1, 7, 8)), 0);   // id taken

  // Removing the kept vertex makes the merged id unknown too.
  g.removeVertex(6);
  EXPECT_FALSE(g.hasVertex(5));
  EXPECT_FALSE(g.hasVertex(6));
  EXPECT_FALSE(g.hasEdge(1));
  EXPECT_EQ(g.getGraph().edgeCount(), 0u);
  EXPECT_EQ(g.addVertex(V(1, 6, 1.0, 1.0)), 6);
}

// New vertices stick to the smallest-id stored vertex of their floor that is
// closer than the stick distance, wherever the vertices lie (cell borders,
// negative coordinates, vertices moved or removed, wide stick distances).
TEST(RouteGraphModel, StickingFindsTheSmallestCloseVertex) {
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> coord(-6.0, 6.0);
  for (int round = 0; round < 30; ++round) {
    RouteGraph g;
    g.addSubLocation(Floor(1));
    g.addSubLocation(Floor(2));
    const double stick = round % 5 == 4 ? 80.0 : std::uniform_real_distribution<double>(0.1, 2.5)(rng);
    g.setStickDistance(stick);
    std::vector<RouteGraph::Vertex> stored;
    for (int id = 1; id <= 200; ++id) {
      const RouteGraph::Vertex v = V(1 + id % 2, id, std::round(coord(rng) * 4) / 4, coord(rng));
      int expected = v.id;
      for (const RouteGraph::Vertex& w : stored)
        if (w.subLoc == v.subLoc && std::hypot(w.x - v.x, w.y - v.y) < stick) {
          expected = w.id;
          break;
        }
      ASSERT_EQ(g.addVertex(v), id);
      ASSERT_EQ(g.getVertex(id).id, expected) << "round " << round << " vertex " << id;
      if (expected == id) stored.push_back(v);
      if (id % 17 == 0 && !stored.empty()) {  // move one, remove another
        RouteGraph::Vertex& m = stored[rng() % stored.size()];
        m.x = coord(rng);
        m.y = coord(rng);
        g.moveVertex(m.id, m.x, m.y);
        const size_t gone = rng() % stored.size();
        g.removeVertex(stored[gone].id);
        stored.erase(stored.begin() + gone);
      }
    }
  }
}

TEST(RouteGraphModel, MirrorWeightsFollowFloorsCoefficientsAndMoves) {
  RouteGraph g;
  g.addSubLocation(Floor(1, 0.0));
  g.addSubLocation(Floor(2, 3.0));
  g.addSubLocation(Floor(3, 25.0));
  g.addVertex(V(1, 1, 0, 0));
  g.addVertex(V(1, 2, 3, 4));
  g.addVertex(V(2, 3, 0, 0));
  g.addVertex(V(3, 4, 0, 0));
  g.addEdge(E(1, 1, 1, 2, 2.0));
  g.addEdge(E(RouteGraph::kExternalSubLoc, 2, 1, 3, 1.5));
  g.addEdge(E(RouteGraph::kExternalSubLoc, 3, 1, 4));
  g.addEdge(E(1, 4, 2, 1, 0.0));
  const Graph& m = g.getGraph();
  EXPECT_DOUBLE_EQ(m.getEdgeWeight(1, 2), 10.0);
  EXPECT_DOUBLE_EQ(m.getEdgeWeight(1, 3), 15.0);
  EXPECT_DOUBLE_EQ(m.getEdgeWeight(1, 4), 25.0);
  EXPECT_DOUBLE_EQ(m.getEdgeWeight(2, 1), 1e-8);
  EXPECT_DOUBLE_EQ(g.getEdgeWeight(1), 10.0);
  EXPECT_TRUE(std::isnan(g.getEdgeWeight(2)));
  EXPECT_TRUE(std::isnan(g.getEdgeWeight(77)));
  EXPECT_TRUE(std::isnan(g.getDistance(1, 0, 0, 9, 0, 0)));

  g.moveVertex(2, 6, 8);
  EXPECT_DOUBLE_EQ(m.getEdgeWeight(1, 2), 20.0);
  g.setEdgeWeight(1, -4.0);
  EXPECT_DOUBLE_EQ(g.getEdge(1).weightCoef, 1e-8);
  EXPECT_DOUBLE_EQ(m.getEdgeWeight(1, 2), 1e-7);
}

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

TEST(RouteGraphModel, OptionsAndParameters) {
  RouteGraph g;
  EXPECT_FALSE(g.setParam("smooth_radius", "1"));
  EXPECT_TRUE(g.setParam("name", "Main"));
  g.addSubLocation(Floor(1));
  g.addSubLocation(Floor(2));
  EXPECT_TRUE(std::isnan(g.getStickDistance(3)));
  EXPECT_EQ(g.getSmoothRadius(3), 0.0);
  EXPECT_FALSE(g.getBarriersEnabled(3));

  EXPECT_TRUE(g.setParam("stick_distance", "0.05"));
  EXPECT_DOUBLE_EQ(g.getStickDistance(2), 0.1);
  EXPECT_TRUE(g.setParam("subLoc[2].smooth_radius", "1.5"));
  EXPECT_EQ(g.getSmoothRadius(1), 0.0);
  // Bad values, unknown floors, wrong case and a floor not named exactly are refused.
  for (const char* key : {"subLoc[99].smooth_radius", "Smooth_radius", "subLoc[01].smooth_radius"})
    EXPECT_FALSE(g.setParam(key, "1")) << key;
  for (const char* value : {"-1", "abc"}) EXPECT_FALSE(g.setParam("smooth_radius", value));
  EXPECT_EQ(g.getSmoothRadius(2), 1.5);
  EXPECT_TRUE(g.setParam("subLoc[1].barriers_enabled", "yes"));
  EXPECT_FALSE(g.getBarriersEnabled(1));
}

TEST(RouteGraphModel, CopiesAreIndependent) {
  auto src = std::make_unique<RouteGraph>("tag", "g.xml");
  src->addSubLocation(Floor(1));
  src->addVertex(V(1, 1, 0, 0));
  src->addVertex(V(1, 2, 5, 0));
  src->addVertex(V(1, 3, 5.01, 0));
  src->addEdge(E(1, 7, 1, 2));
  RouteGraph copy(*src);
  RouteGraph assigned;
  assigned = *src;
  src.reset();
  for (RouteGraph* g : {&copy, &assigned}) {
    EXPECT_EQ(g->getTag(), "tag");
    EXPECT_EQ(g->getVertex(3).id, 2);
    EXPECT_EQ(g->getEdge(7).dst, 2);
    g->moveVertex(2, 0, 10);
    EXPECT_DOUBLE_EQ(g->getVertex(2).y, 10.0);
    EXPECT_DOUBLE_EQ(g->getGraph().getEdgeWeight(1, 2), 10.0);
    g->removeEdge(7);
    EXPECT_FALSE(g->hasEdge(7));
  }
  EXPECT_FALSE(copy.isEmpty());
  copy.clear();
  EXPECT_TRUE(copy.isEmpty());
  EXPECT_EQ(copy.getTag(), "");
}

}  // namespace
