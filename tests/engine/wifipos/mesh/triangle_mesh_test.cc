// Triangle mesh: validity on hard point sets, agreement with CGAL's Delaunay
// triangulation in general position, degenerate input and re-entrancy.
#include "wifipos/mesh/triangle_mesh.h"

#include <CGAL/Delaunay_triangulation_2.h>
#include <CGAL/Exact_predicates_inexact_constructions_kernel.h>
#include <CGAL/Triangulation_vertex_base_with_info_2.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <limits>
#include <map>
#include <cstdlib>
#include <random>
#include <set>
#include <thread>
#include <vector>

namespace {

using Kernel = CGAL::Exact_predicates_inexact_constructions_kernel;
using CgalPoint = Kernel::Point_2;
using Triple = std::array<int, 3>;

struct Pt {
  int32_t x, y;
};

std::vector<int> Triangulate(const std::vector<Pt>& pts, int direction = 0, int dimension = 2) {
  std::vector<int32_t> flat;
  for (const Pt& p : pts) {
    flat.push_back(p.x);
    flat.push_back(p.y);
  }
  int n = -1;
  int* list = BuildTriangleIndexList(flat.empty() ? nullptr : flat.data(), 0.0f,
                                     static_cast<int>(pts.size()), dimension, direction, &n);
  EXPECT_NE(list, nullptr);
  std::vector<int> out;
  if (list != nullptr) out.assign(list, list + n);
  std::free(list);
  return out;
}

__int128 Orient(const Pt& a, const Pt& b, const Pt& c) {
  return static_cast<__int128>(int64_t(b.x) - a.x) * (int64_t(c.y) - a.y) -
         static_cast<__int128>(int64_t(b.y) - a.y) * (int64_t(c.x) - a.x);
}

// Twice the area of the convex hull (monotone chain).
__int128 HullArea2(std::vector<Pt> pts) {
  std::sort(pts.begin(), pts.end(),
            [](const Pt& a, const Pt& b) { return a.x != b.x ? a.x < b.x : a.y < b.y; });
  std::vector<Pt> h(2 * pts.size());
  size_t k = 0;
  for (size_t i = 0; i < pts.size(); ++i) {
    while (k >= 2 && Orient(h[k - 2], h[k - 1], pts[i]) <= 0) --k;
    h[k++] = pts[i];
  }
  for (size_t i = pts.size() - 1, t = k + 1; i-- > 0;) {
    while (k >= t && Orient(h[k - 2], h[k - 1], pts[i]) <= 0) --k;
    h[k++] = pts[i];
  }
  __int128 area = 0;
  for (size_t i = 0; i + 1 < k; ++i) area += Orient(Pt{0, 0}, h[i], h[i + 1]);
  return area;
}

std::set<Triple> AsSet(const std::vector<int>& list) {
  std::set<Triple> s;
  for (size_t i = 0; i + 2 < list.size(); i += 3) {
    Triple t{list[i], list[i + 1], list[i + 2]};
    std::sort(t.begin(), t.end());
    s.insert(t);
  }
  return s;
}

// A valid Delaunay mesh of the points: counter-clockwise non-degenerate
// triangles with in-range indexes, every directed edge used once and matched
// by its reverse unless on the hull, the areas summing to the hull's area, no
// vertex strictly inside a neighbour's circumcircle, and every distinct point
// used.
void ExpectValidDelaunay(const std::vector<Pt>& pts, const std::vector<int>& list) {
  ASSERT_EQ(list.size() % 3, 0u);
  const int n = static_cast<int>(pts.size());
  std::map<std::pair<int, int>, int> edges;  // directed edge -> opposite vertex
  __int128 area = 0;
  std::set<int> used;
  for (size_t i = 0; i < list.size(); i += 3) {
    const int a = list[i], b = list[i + 1], c = list[i + 2];
    for (int v : {a, b, c}) {
      ASSERT_GE(v, 0);
      ASSERT_LT(v, n);
      used.insert(v);
    }
    const __int128 o = Orient(pts[a], pts[b], pts[c]);
    ASSERT_GT(o, 0) << "degenerate or clockwise triangle " << a << " " << b << " " << c;
    area += o;
    for (auto [e, opp] : {std::pair{std::pair{a, b}, c}, std::pair{std::pair{b, c}, a},
                          std::pair{std::pair{c, a}, b}}) {
      ASSERT_TRUE(edges.emplace(e, opp).second) << "overlapping triangles at edge";
    }
  }
  EXPECT_EQ(static_cast<long double>(area), static_cast<long double>(HullArea2(pts)));
  EXPECT_EQ(AsSet(list).size() * 3, list.size());
  for (const auto& [e, opp] : edges) {
    auto it = edges.find({e.second, e.first});
    if (it == edges.end()) continue;  // hull edge
    const Pt &a = pts[e.first], &b = pts[e.second], &c = pts[opp], &d = pts[it->second];
    EXPECT_NE(CGAL::side_of_oriented_circle(CgalPoint(a.x, a.y), CgalPoint(b.x, b.y),
                                            CgalPoint(c.x, c.y), CgalPoint(d.x, d.y)),
              CGAL::ON_POSITIVE_SIDE)
        << "edge " << e.first << "-" << e.second << " is not locally Delaunay";
  }
  std::set<std::pair<int32_t, int32_t>> distinct;
  std::set<std::pair<int32_t, int32_t>> covered;
  for (const Pt& p : pts) distinct.insert({p.x, p.y});
  for (int v : used) covered.insert({pts[v].x, pts[v].y});
  EXPECT_EQ(distinct, covered);
}

std::set<Triple> CgalTriangles(const std::vector<Pt>& pts) {
  using Vb = CGAL::Triangulation_vertex_base_with_info_2<int, Kernel>;
  using Tds = CGAL::Triangulation_data_structure_2<Vb>;
  using Delaunay = CGAL::Delaunay_triangulation_2<Kernel, Tds>;
  std::vector<std::pair<CgalPoint, int>> in;
  for (int i = 0; i < static_cast<int>(pts.size()); ++i) {
    in.push_back({CgalPoint(pts[i].x, pts[i].y), i});
  }
  Delaunay dt(in.begin(), in.end());
  std::set<Triple> s;
  for (auto f = dt.finite_faces_begin(); f != dt.finite_faces_end(); ++f) {
    Triple t{f->vertex(0)->info(), f->vertex(1)->info(), f->vertex(2)->info()};
    std::sort(t.begin(), t.end());
    s.insert(t);
  }
  return s;
}

std::vector<Pt> RandomPoints(std::mt19937& rng, int n, int32_t range) {
  std::uniform_int_distribution<int32_t> d(-range, range);
  std::vector<Pt> pts;
  for (int i = 0; i < n; ++i) pts.push_back({d(rng), d(rng)});
  return pts;
}

TEST(TriangleMesh, DegenerateInputGivesEmptyList) {
  EXPECT_TRUE(Triangulate({}).empty());
  EXPECT_TRUE(Triangulate({{1, 1}}).empty());
  EXPECT_TRUE(Triangulate({{1, 1}, {5, 7}}).empty());
  EXPECT_TRUE(Triangulate({{3, 3}, {3, 3}, {3, 3}, {3, 3}}).empty());
  EXPECT_TRUE(Triangulate({{0, 0}, {1, 1}, {0, 0}, {3, 3}, {2, 2}, {-7, -7}}).empty());
  // Collinear first points followed by one off the line still triangulate.
  std::vector<Pt> fan = {{0, 0}, {1, 0}, {2, 0}, {3, 0}, {0, 0}, {2, 5}};
  auto list = Triangulate(fan);
  EXPECT_EQ(list.size(), 9u);
  ExpectValidDelaunay(fan, list);

  const std::vector<Pt> tri = {{0, 0}, {10, 0}, {0, 10}};
  for (int dim : {-1, 0, 1, 3, 4, 7}) {
    EXPECT_TRUE(Triangulate(tri, 0, dim).empty()) << "dimension " << dim;
  }
  int n = 5;
  EXPECT_EQ(BuildTriangleIndexList(nullptr, 0.0f, 3, 2, 0, &n), nullptr);
  EXPECT_EQ(n, 0);
  int32_t raw[6] = {0, 0, 1, 0, 0, 1};
  EXPECT_EQ(BuildTriangleIndexList(raw, 0.0f, 3, 2, 0, nullptr), nullptr);
  EXPECT_EQ(BuildTriangleIndexList(raw, 0.0f, -3, 2, 0, &n), nullptr);

  // Float input that is not finite after scaling is refused, not triangulated.
  float bad[6] = {0.0f, 0.0f, 1.0f, 0.0f, std::numeric_limits<float>::infinity(), 1.0f};
  int* empty = BuildTriangleIndexList(bad, 1.0f, 3, 2, 0, &n);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(n, 0);
  std::free(empty);
}

TEST(TriangleMesh, MatchesCgalInGeneralPosition) {
  std::mt19937 rng(20261206);
  for (int round = 0; round < 40; ++round) {
    const int n = 3 + static_cast<int>(rng() % 300);
    auto pts = RandomPoints(rng, n, round % 2 ? 2000000 : 1000000000);
    auto list = Triangulate(pts);
    ExpectValidDelaunay(pts, list);
    EXPECT_EQ(AsSet(list), CgalTriangles(pts)) << "round " << round;
  }
}

TEST(TriangleMesh, ValidOnGridsCirclesAndNearDuplicates) {
  std::mt19937 rng(77);
  // Grid: every cell's corners are co-circular.
  std::vector<Pt> grid;
  for (int i = 0; i < 15; ++i)
    for (int j = 0; j < 12; ++j) grid.push_back({i * 10000, j * 10000});
  std::shuffle(grid.begin(), grid.end(), rng);
  ExpectValidDelaunay(grid, Triangulate(grid));

  // Points on one circle (Pythagorean radius 5^4 * 13... use exact lattice points).
  std::vector<Pt> circle;
  const int r2 = 5 * 5 * 13 * 13 * 17 * 17;  // many lattice points on this circle
  for (int x = -1105; x <= 1105; ++x) {
    for (int s : {-1, 1}) {
      int y2 = r2 - x * x;
      int y = static_cast<int>(std::lround(std::sqrt(static_cast<double>(y2))));
      if (y * y == y2) circle.push_back({x, s * y});
    }
  }
  circle.push_back({0, 0});
  std::shuffle(circle.begin(), circle.end(), rng);
  ASSERT_GT(circle.size(), 20u);
  ExpectValidDelaunay(circle, Triangulate(circle));

  // Near duplicates and exact duplicates, plus collinear runs on the hull.
  for (int round = 0; round < 20; ++round) {
    auto pts = RandomPoints(rng, 60, 30);
    for (int i = 0; i < 40; ++i) {
      Pt p = pts[rng() % pts.size()];
      p.x += static_cast<int32_t>(rng() % 3) - 1;
      pts.push_back(p);
    }
    for (int i = -30; i <= 30; i += 5) pts.push_back({i, 31});
    std::shuffle(pts.begin(), pts.end(), rng);
    ExpectValidDelaunay(pts, Triangulate(pts, round % 3 - 1 == 0 ? 0 : -1));
  }
}

TEST(TriangleMesh, RepeatableAndReentrant) {
  std::mt19937 rng(5);
  auto a = RandomPoints(rng, 3000, 5000000);
  auto b = RandomPoints(rng, 2500, 5000000);
  const auto ra = Triangulate(a);
  const auto rb = Triangulate(b);
  EXPECT_EQ(Triangulate(a), ra);  // nothing survives from one call to the next
  std::vector<int> ta[4], tb[4];
  std::thread t1([&] {
    for (auto& r : ta) r = Triangulate(a);
  });
  std::thread t2([&] {
    for (auto& r : tb) r = Triangulate(b);
  });
  t1.join();
  t2.join();
  for (const auto& r : ta) EXPECT_EQ(r, ra);
  for (const auto& r : tb) EXPECT_EQ(r, rb);
}

}  // namespace
