// Searches of one graph from several threads at once: a graph reuses search
// state between calls, and each concurrent search must get its own.
#include "server/route_graph/graph.h"

#include <gtest/gtest.h>

#include <random>
#include <thread>
#include <vector>

namespace {

Graph Grid(int side, unsigned seed) {
  Graph g;
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> w(1.0, 2.0);
  for (int i = 0; i < side * side; ++i) g.addVertex(i);
  for (int i = 0; i < side; ++i)
    for (int j = 0; j < side; ++j) {
      const int v = i * side + j;
      if (j + 1 < side) {
        g.addEdge(v, v + 1, w(rng));
        g.addEdge(v + 1, v, w(rng));
      }
      if (i + 1 < side) {
        g.addEdge(v, v + side, w(rng));
        g.addEdge(v + side, v, w(rng));
      }
    }
  return g;
}

struct Answer {
  double length;
  std::vector<int> path;
  Graph::Labels labels;
};

Answer Ask(const Graph& g, int src, int dst) {
  Answer a;
  a.length = g.getPath(src, dst, &a.path, nullptr);
  g.getPath(src, src, nullptr, &a.labels);
  return a;
}

TEST(GraphThreads, ConcurrentSearchesOfOneGraphGiveTheSequentialAnswers) {
  const int side = 30;
  const Graph graph = Grid(side, 77);
  // Answered on a copy made before any search, so that the threads below
  // also race to prepare the shared graph for searching.
  const Graph reference = graph;
  const int kThreads = 4, kQueries = 12;
  std::vector<std::vector<Answer>> expected(kThreads);
  auto query = [&](int t, int q) { return std::pair{(t * 97 + q * 31) % (side * side), (t * 13 + q * 89 + 5) % (side * side)}; };
  for (int t = 0; t < kThreads; ++t)
    for (int q = 0; q < kQueries; ++q) {
      const auto [src, dst] = query(t, q);
      expected[t].push_back(Ask(reference, src, dst));
    }

  std::vector<std::vector<Answer>> got(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int q = 0; q < kQueries; ++q) {
        const auto [src, dst] = query(t, q);
        got[t].push_back(Ask(graph, src, dst));
      }
    });
  for (std::thread& th : threads) th.join();

  for (int t = 0; t < kThreads; ++t)
    for (int q = 0; q < kQueries; ++q) {
      EXPECT_EQ(got[t][q].length, expected[t][q].length) << t << "/" << q;
      EXPECT_EQ(got[t][q].path, expected[t][q].path) << t << "/" << q;
      EXPECT_EQ(got[t][q].labels, expected[t][q].labels) << t << "/" << q;
    }
}

}  // namespace
