#include "server/route_graph/graph.h"

#include <gtest/gtest.h>

#include <boost/graph/adjacency_list.hpp>
#include <boost/graph/dijkstra_shortest_paths.hpp>

#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

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

// The path to v along the predecessors of a complete search.
std::vector<int> ReferencePath(const Graph::Labels& labels, int v) {
  std::vector<int> path;
  for (int cur = v; cur >= 0; cur = labels.at(cur).first) path.push_back(cur);
  return {path.rbegin(), path.rend()};
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
    const Graph::Labels reference = ReferenceLabels(g, src);
    EXPECT_EQ(labels, reference) << "round " << round;

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
      // A search for one target may stop early, but must give the same
      // path, and the same length to the bit, as the complete search.
      EXPECT_EQ(path, ReferencePath(reference, v)) << "round " << round << " vertex " << v;
      EXPECT_EQ(len, reference.at(v).second) << "round " << round << " vertex " << v;
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

// A graph keeps what its searches reuse between calls; every edit after a
// search must show in the next search, of the graph and of its copies, and
// an edit of a copy must not show in the original.
TEST(GraphSearch, SearchesAfterEditsSeeTheEdits) {
  struct Case {
    const char* name;
    std::function<void(Graph&)> edit;
  };
  const std::vector<Case> cases = {
      {"shorter weight", [](Graph& g) { g.addEdge(1, 4, 0.5); }},
      {"new edge", [](Graph& g) { g.addEdge(2, 7, 0.25); }},
      {"removed edge", [](Graph& g) { g.removeEdge(3, 4); }},
      {"new vertex and edges", [](Graph& g) {
         g.addVertex(9);
         g.addEdge(1, 9, 0.1);
         g.addEdge(9, 7, 0.1);
       }},
      {"new lone vertex", [](Graph& g) { g.addVertex(9); }},
      {"removed vertex", [](Graph& g) { g.removeVertex(4); }},
      {"removed vertex back", [](Graph& g) {
         g.removeVertex(4);
         g.addVertex(4);
         g.addEdge(1, 4, 1.0);
       }},
      {"cleared and rebuilt", [](Graph& g) {
         g.clear();
         for (int v : {1, 7}) g.addVertex(v);
         g.addEdge(1, 7, 3.0);
       }},
  };
  Graph base;
  for (int v = 1; v <= 7; ++v) base.addVertex(v);
  for (auto [a, b, w] : std::vector<std::tuple<int, int, double>>{
           {1, 2, 1.0}, {1, 3, 2.0}, {2, 4, 2.0}, {3, 4, 1.0}, {4, 5, 1.0}, {5, 7, 1.0},
           {4, 6, 2.0}, {6, 7, 1.0}, {1, 4, 5.0}})
    base.addEdge(a, b, w);

  auto agrees = [](const Graph& g, const std::string& what) {
    for (int src : g.getVertices()) {
      const Graph::Labels reference = ReferenceLabels(g, src);
      Graph::Labels labels;
      g.getPath(src, src, nullptr, &labels);
      EXPECT_EQ(labels, reference) << what << ", from " << src;
      for (int v : g.getVertices()) {
        std::vector<int> path;
        const double len = g.getPath(src, v, &path, nullptr);
        if (!reference.count(v)) {
          EXPECT_EQ(len, -1.0) << what << ", " << src << " -> " << v;
          continue;
        }
        EXPECT_EQ(len, reference.at(v).second) << what << ", " << src << " -> " << v;
        EXPECT_EQ(path, ReferencePath(reference, v)) << what << ", " << src << " -> " << v;
      }
    }
  };

  for (const Case& c : cases) {
    Graph g = base;
    agrees(g, std::string(c.name) + ", before");
    Graph before = g;  // searched, then copied: shares what the searches made
    c.edit(g);
    agrees(g, std::string(c.name) + ", edited");
    agrees(before, std::string(c.name) + ", the copy taken before the edit");

    Graph copy = g;
    c.edit(copy);  // a second time on the copy; the original stays as it was
    copy.addVertex(100);
    copy.addEdge(copy.getVertices().front(), 100, 1.0);
    agrees(copy, std::string(c.name) + ", copy edited");
    agrees(g, std::string(c.name) + ", original of the edited copy");
    EXPECT_FALSE(g.hasVertex(100));

    Graph assigned;
    assigned = g;
    Graph moved = std::move(copy);
    agrees(assigned, std::string(c.name) + ", assigned");
    agrees(moved, std::string(c.name) + ", moved");
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
