#include "server/route_graph/graph.h"

#include <gtest/gtest.h>

#include <boost/graph/adjacency_list.hpp>
#include <boost/graph/dijkstra_shortest_paths.hpp>

#include <cmath>
#include <limits>
#include <random>
#include <set>

namespace {

using BoostGraph = boost::adjacency_list<boost::vecS, boost::vecS, boost::directedS, boost::no_property,
                                         boost::property<boost::edge_weight_t, double>>;

// Straight Dijkstra with a linear scan of an id-ordered open set: the
// reference for which vertex is settled first and which predecessor stays.
Graph::Labels ReferenceLabels(const Graph& g, int src) {
  const std::vector<Graph::Edge> edges = g.getEdges();
  Graph::Labels labels;
  std::set<int> open;
  labels[src] = {-1, 0.0};
  open.insert(src);
  while (!open.empty()) {
    int u = *open.begin();
    for (int v : open)
      if (labels[v].second < labels[u].second) u = v;
    open.erase(u);
    const double d = labels[u].second;
    for (const Graph::Edge& e : edges) {
      if (e.src != u) continue;
      const double nd = d + e.weight;
      auto it = labels.find(e.dst);
      if (it == labels.end()) {
        labels[e.dst] = {u, nd};
        open.insert(e.dst);
      } else if (it->second.second > nd) {
        it->second = {u, nd};
      }
    }
  }
  return labels;
}

// A random graph with holes in the id range, repeated pairs, zero weights,
// removed edges and vertices. Integer weights make ties common.
Graph RandomGraph(std::mt19937& rng, bool integerWeights) {
  Graph g;
  const int n = std::uniform_int_distribution<int>(1, 40)(rng);
  for (int i = 0; i < n; ++i) g.addVertex(std::uniform_int_distribution<int>(0, 3 * n)(rng));
  const std::vector<int> ids = g.getVertices();
  std::uniform_int_distribution<size_t> pick(0, ids.size() - 1);
  const int m = std::uniform_int_distribution<int>(0, 4 * n)(rng);
  for (int i = 0; i < m; ++i) {
    const double w = integerWeights ? std::uniform_int_distribution<int>(0, 4)(rng)
                                    : std::uniform_real_distribution<double>(0.0, 10.0)(rng);
    g.addEdge(ids[pick(rng)], ids[pick(rng)], w);
  }
  for (int i = 0; i < n / 8; ++i) g.removeEdge(ids[pick(rng)], ids[pick(rng)]);
  if (n > 4) g.removeVertex(ids[pick(rng)]);
  return g;
}

TEST(GraphSearch, AgreesWithBoostAndTheLinearScanOnRandomGraphs) {
  std::mt19937 rng(20261206);
  for (int round = 0; round < 300; ++round) {
    const Graph g = RandomGraph(rng, round % 2 == 0);
    const std::vector<int> ids = g.getVertices();
    if (ids.empty()) continue;
    const int maxId = ids.back();
    BoostGraph bg(maxId + 1);
    for (const Graph::Edge& e : g.getEdges()) boost::add_edge(e.src, e.dst, e.weight, bg);
    const int src = ids[std::uniform_int_distribution<size_t>(0, ids.size() - 1)(rng)];
    std::vector<double> dist(maxId + 1);
    boost::dijkstra_shortest_paths(bg, src, boost::distance_map(dist.data()));

    Graph::Labels labels;
    ASSERT_EQ(g.getPath(src, src, nullptr, &labels), 0.0);
    EXPECT_EQ(labels, ReferenceLabels(g, src)) << "round " << round;

    for (int v : ids) {
      std::vector<int> path;
      const double len = g.getPath(src, v, &path, nullptr);
      if (dist[v] == std::numeric_limits<double>::max()) {
        EXPECT_EQ(len, -1.0);
        EXPECT_TRUE(path.empty());
        continue;
      }
      ASSERT_NEAR(len, dist[v], 1e-9) << "round " << round << " vertex " << v;
      ASSERT_FALSE(path.empty());
      EXPECT_EQ(path.front(), src);
      EXPECT_EQ(path.back(), v);
      double sum = 0.0;
      for (size_t i = 1; i < path.size(); ++i) {
        const double w = g.getEdgeWeight(path[i - 1], path[i]);
        ASSERT_GT(w, 0.0) << "no edge " << path[i - 1] << " -> " << path[i];
        sum += w;
      }
      EXPECT_NEAR(sum, len, 1e-9);
    }
  }
}

// Searches whose open front grows far beyond the queue's first allocation:
// hubs fanning out to hundreds of vertices, with ties and cross links.
TEST(GraphSearch, WideFrontsAgreeWithTheLinearScan) {
  std::mt19937 rng(1706);
  for (int round = 0; round < 6; ++round) {
    Graph g;
    const int n = 300 + 250 * round;
    for (int i = 0; i < n; ++i) g.addVertex(3 * i + round);
    std::uniform_int_distribution<int> pick(0, n - 1);
    for (int i = 1; i < n; ++i) g.addEdge(round, 3 * i + round, 1.0 + rng() % 3);
    for (int i = 0; i < 2 * n; ++i)
      g.addEdge(3 * pick(rng) + round, 3 * pick(rng) + round, (rng() % 5) * 0.5);
    Graph::Labels labels;
    ASSERT_EQ(g.getPath(round, round, nullptr, &labels), 0.0);
    EXPECT_EQ(labels, ReferenceLabels(g, round)) << "round " << round;
    std::vector<int> path;
    const int last = 3 * (n - 1) + round;
    EXPECT_EQ(g.getPath(round, last, &path, nullptr), labels.at(last).second);
    EXPECT_EQ(path.back(), last);
  }
}

TEST(GraphEdit, GuardsWeightsAndRemoval) {
  Graph g;
  g.addVertex(-3);
  EXPECT_FALSE(g.hasVertex(-3));
  for (int i = 1; i <= 5; ++i) g.addVertex(i);
  g.addEdge(5, 5, 1.0);
  g.addEdge(-1, 2, 1.0);
  g.addEdge(1, 9, 1.0);
  EXPECT_EQ(g.edgeCount(), 0u);

  g.addEdge(1, 2, 0.0);
  EXPECT_DOUBLE_EQ(g.getEdgeWeight(1, 2), 1e-8);
  g.addEdge(1, 2, std::nan(""));
  EXPECT_DOUBLE_EQ(g.getEdgeWeight(1, 2), 1e-8);
  g.addEdge(1, 2, 4.0);
  EXPECT_DOUBLE_EQ(g.getEdgeWeight(1, 2), 4.0);
  EXPECT_EQ(g.edgeCount(), 1u);

  g.addEdge(3, 1, 1.0);
  g.addEdge(1, 4, 1.0);
  g.addEdge(4, 5, 1.0);
  g.removeVertex(1);
  EXPECT_EQ(g.edgeCount(), 1u);
  EXPECT_TRUE(g.hasEdge(4, 5));
  // A removed id can come back without the edges it had.
  g.addVertex(1);
  EXPECT_FALSE(g.hasEdge(3, 1));
  EXPECT_EQ(g.getPath(3, 1, nullptr, nullptr), -1.0);
  g.removeEdge(4, 5);
  g.removeEdge(4, 5);
  EXPECT_EQ(g.edgeCount(), 0u);
}

}  // namespace
