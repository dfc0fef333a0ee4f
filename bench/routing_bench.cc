// Shortest-path search against Boost's Dijkstra on grid-like venue graphs, and
// whole route queries (projection, splicing, search, smoothing) on a venue of
// 10^4 vertices.
#include <benchmark/benchmark.h>

#include <boost/graph/adjacency_list.hpp>
#include <boost/graph/dijkstra_shortest_paths.hpp>

#include <chrono>
#include <cmath>
#include <random>
#include <vector>

#include "server/route_graph/graph.h"
#include "server/route_graph/route_graph.h"

namespace {

using BoostGraph = boost::adjacency_list<boost::vecS, boost::vecS, boost::directedS, boost::no_property,
                                         boost::property<boost::edge_weight_t, double>>;

// A grid of corridors 5 m apart with slightly uneven lengths, some one-way
// links and a few long diagonal walkways, as a concourse would have.
struct Venue {
  int side = 0;
  std::vector<Graph::Edge> edges;  // vertex ids 0 .. side*side-1
};

Venue MakeVenue(int vertices) {
  Venue v;
  v.side = static_cast<int>(std::lround(std::sqrt(static_cast<double>(vertices))));
  std::mt19937 rng(1234);
  std::uniform_real_distribution<double> jitter(5.0, 5.5);
  std::bernoulli_distribution oneWay(0.1);
  const int s = v.side;
  auto id = [s](int i, int j) { return i * s + j; };
  for (int i = 0; i < s; ++i)
    for (int j = 0; j < s; ++j) {
      const int links[2][2] = {{i + 1, j}, {i, j + 1}};
      for (const auto& l : links) {
        if (l[0] >= s || l[1] >= s) continue;
        const double w = jitter(rng);
        v.edges.emplace_back(id(i, j), id(l[0], l[1]), w);
        if (!oneWay(rng)) v.edges.emplace_back(id(l[0], l[1]), id(i, j), w);
      }
      if (i + 3 < s && j + 3 < s && rng() % 50 == 0) {
        v.edges.emplace_back(id(i, j), id(i + 3, j + 3), 21.0);
        v.edges.emplace_back(id(i + 3, j + 3), id(i, j), 21.0);
      }
    }
  return v;
}

Graph OurGraph(const Venue& v) {
  Graph g;
  for (int i = 0; i < v.side * v.side; ++i) g.addVertex(i);
  for (const Graph::Edge& e : v.edges) g.addEdge(e.src, e.dst, e.weight);
  return g;
}

BoostGraph TheirGraph(const Venue& v) {
  BoostGraph g(v.side * v.side);
  for (const Graph::Edge& e : v.edges) boost::add_edge(e.src, e.dst, e.weight, g);
  return g;
}

void BM_OurDijkstra(benchmark::State& state) {
  const Venue v = MakeVenue(static_cast<int>(state.range(0)));
  const Graph g = OurGraph(v);
  const int target = v.side * v.side - 1;
  std::vector<int> path;
  for (auto _ : state) benchmark::DoNotOptimize(g.getPath(0, target, &path, nullptr));
  state.counters["vertices"] = static_cast<double>(g.vertexCount());
}

void BM_BoostDijkstra(benchmark::State& state) {
  const Venue v = MakeVenue(static_cast<int>(state.range(0)));
  const BoostGraph g = TheirGraph(v);
  std::vector<double> dist(boost::num_vertices(g));
  std::vector<BoostGraph::vertex_descriptor> pred(boost::num_vertices(g));
  for (auto _ : state) {
    boost::dijkstra_shortest_paths(g, 0, boost::predecessor_map(pred.data()).distance_map(dist.data()));
    benchmark::DoNotOptimize(dist.back());
  }
}

// Both searches timed side by side on the same graph and start; the ratio is
// ours over Boost's.
void BM_RatioOursToBoost(benchmark::State& state) {
  const Venue v = MakeVenue(static_cast<int>(state.range(0)));
  const Graph ours = OurGraph(v);
  const BoostGraph theirs = TheirGraph(v);
  const int target = v.side * v.side - 1;
  std::vector<int> path;
  std::vector<double> dist(boost::num_vertices(theirs));
  std::vector<BoostGraph::vertex_descriptor> pred(boost::num_vertices(theirs));
  double oursSec = 0.0, theirsSec = 0.0;
  using Clock = std::chrono::steady_clock;
  // The two take turns at going first, so that neither always finds the
  // caches filled with the other's data.
  bool oursFirst = true;
  auto timeOurs = [&] {
    const auto t0 = Clock::now();
    benchmark::DoNotOptimize(ours.getPath(0, target, &path, nullptr));
    oursSec += std::chrono::duration<double>(Clock::now() - t0).count();
  };
  auto timeTheirs = [&] {
    const auto t0 = Clock::now();
    boost::dijkstra_shortest_paths(theirs, 0, boost::predecessor_map(pred.data()).distance_map(dist.data()));
    benchmark::DoNotOptimize(dist.back());
    theirsSec += std::chrono::duration<double>(Clock::now() - t0).count();
  };
  for (auto _ : state) {
    if (oursFirst) {
      timeOurs();
      timeTheirs();
    } else {
      timeTheirs();
      timeOurs();
    }
    oursFirst = !oursFirst;
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["ours_ms"] = 1e3 * oursSec / n;
  state.counters["boost_ms"] = 1e3 * theirsSec / n;
  state.counters["ratio"] = oursSec / theirsSec;
}

RouteGraph MakeRouteGraph(const Venue& v) {
  RouteGraph g;
  RouteGraph::SubLocation floor;
  floor.id = 1;
  floor.width = floor.height = 5.5 * v.side;
  g.addSubLocation(floor);
  for (int i = 0; i < v.side; ++i)
    for (int j = 0; j < v.side; ++j) {
      RouteGraph::Vertex vx;
      vx.subLoc = 1;
      vx.id = 1 + i * v.side + j;
      vx.x = 5.0 * i;
      vx.y = 5.0 * j;
      g.addVertex(vx);
    }
  for (const Graph::Edge& e : v.edges) {
    RouteGraph::Edge re;
    re.subLoc = 1;
    re.src = e.src + 1;
    re.dst = e.dst + 1;
    g.addEdge(re);
  }
  g.setSmoothRadius(1.0);
  return g;
}

void BM_RouteQuery(benchmark::State& state) {
  const RouteGraph g = MakeRouteGraph(MakeVenue(10000));
  const LocationPoint from(1, 3.2, 1.1), to(1, 480.3, 492.6);
  size_t points = 0;
  for (auto _ : state) {
    const RoutePath r = g.getPath(from, to);
    points = r.points.size();
    benchmark::DoNotOptimize(r.length);
  }
  state.counters["points"] = static_cast<double>(points);
}

void BM_RouteQuery20Targets(benchmark::State& state) {
  const RouteGraph g = MakeRouteGraph(MakeVenue(10000));
  std::mt19937 rng(99);
  std::uniform_real_distribution<double> coord(0.0, 495.0);
  std::vector<LocationPoint> targets;
  for (int i = 0; i < 20; ++i) targets.emplace_back(1, coord(rng), coord(rng));
  const LocationPoint from(1, 250.7, 248.2);
  size_t routed = 0;
  for (auto _ : state) {
    const std::vector<RoutePath> r = g.getPaths(from, targets);
    routed = 0;
    for (const RoutePath& p : r) routed += !p.points.empty();
    benchmark::DoNotOptimize(r.data());
  }
  state.counters["routed"] = static_cast<double>(routed);
}

BENCHMARK(BM_OurDijkstra)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BoostDijkstra)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RatioOursToBoost)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RouteQuery)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RouteQuery20Targets)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
