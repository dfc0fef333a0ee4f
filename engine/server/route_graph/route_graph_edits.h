// Adding vertices, edges and split points (internal): one piece of code for the graph
// itself and for the overlay a route query lays over it, so that a query answers exactly
// as if its points had been added to a copy of the graph. A store S offers:
//   const RouteGraph& graph() const                     floors, options and distances
//   int& vertexCounter(), int& edgeCounter()            the last ids handed out
//   const Vertex* vertex(int id) const                  the kept vertex of an id, or null
//   bool hasEdge(int id) const
//   int closeVertex(const Vertex& v, double stick) const   the vertex v sticks to, or -1
//   void alias(int id, int kept), void keepVertex(const Vertex& v)
//   void keepEdge(const Edge& e, double weight, const Vertex& src, const Vertex& dst)
//   void forFloorSegments(int subLoc, F f) const        the floor's edges in id order
#pragma once

#include <climits>
#include <cmath>
#include <iterator>
#include <vector>

#include "server/route_graph/geometry.h"
#include "server/route_graph/route_graph.h"
#include "server/utils.h"

#define RG_EDIT_LOG(level, ...) _Logger.print((level), "server/route_graph", __LINE__, __VA_ARGS__)

template <class S>
int RouteGraph::addVertexTo(S& s, Vertex v) {
  if (v.id == 0) {
    // Ids handed out must not land on an id a file already used.
    int& counter = s.vertexCounter();
    do {
      if (counter == INT_MAX) return 0;
      ++counter;
    } while (s.vertex(counter));
    v.id = counter;
  }
  RG_EDIT_LOG(3, "Add vertex #%d: [%d, %.2f, %.2f]\n", v.id, v.subLoc, v.x, v.y);
  if (s.vertex(v.id)) {
    RG_EDIT_LOG(2, "Vertex %d already exists\n", v.id);
    return 0;
  }
  const SubLocation floor = s.graph().getSubLocation(v.subLoc);
  if (floor.id < 1) {
    RG_EDIT_LOG(2, "Unable to add vertex %d: sublocation %d is not defined!\n", v.id, v.subLoc);
    return 0;
  }
  const int close = s.closeVertex(v, floor.stickDistance);
  if (close >= 0) {
    const Vertex* w = s.vertex(close);
    RG_EDIT_LOG(3, "Sticking close vertice: %d:[%d,%.2f,%.2f] and %d:[%d,%.2f,%.2f]\n", v.id, floor.id,
                v.x, v.y, w->id, floor.id, w->x, w->y);
    s.alias(v.id, w->id);
    return v.id;
  }
  s.keepVertex(v);
  return v.id;
}

template <class S>
int RouteGraph::addEdgeTo(S& s, Edge e) {
  if (e.id == 0) {
    // Ids handed out must not land on an id a file already used.
    int& counter = s.edgeCounter();
    do {
      if (counter == INT_MAX) return 0;
      ++counter;
    } while (s.hasEdge(counter));
    e.id = counter;
  }
  RG_EDIT_LOG(3, "Add edge #%d: %d -> %d\n", e.id, e.src, e.dst);
  if (s.hasEdge(e.id)) {
    RG_EDIT_LOG(1, "Duplicating edge %d\n", e.id);
    return 0;
  }
  const Vertex* a = e.src < 1 ? nullptr : s.vertex(e.src);
  const Vertex* b = e.dst < 1 ? nullptr : s.vertex(e.dst);
  if (!a || !b || e.src == e.dst) {
    RG_EDIT_LOG(1, "Invalid edge #%d: %d -> %d\n", e.id, e.src, e.dst);
    return 0;
  }
  e.src = a->id;
  e.dst = b->id;
  if (e.src == e.dst) {
    RG_EDIT_LOG(1, "Invalid edge #%d: %d -> %d\n", e.id, e.src, e.dst);
    return 0;
  }
  s.keepEdge(e, edgeWeight(s.graph(), e, *a, *b), *a, *b);
  return e.id;
}

template <class S>
int RouteGraph::addSplitPointTo(S& s, const LocationPoint& p) {
  Vertex point;
  point.subLoc = p.subLoc;
  point.x = p.x;
  point.y = p.y;
  const int id = addVertexTo(s, point);
  if (id == 0) return 0;
  // Splits are collected first: adding them changes the floor's edges.
  std::vector<Edge> splits;
  s.forFloorSegments(p.subLoc, [&](const Segment& sg) {
    const double t = GetProjection(sg.ax, sg.ay, sg.bx, sg.by, p.x, p.y, nullptr, nullptr);
    const double fx = sg.ax + t * (sg.bx - sg.ax);
    const double fy = sg.ay + t * (sg.by - sg.ay);
    if (std::fabs(p.x - fx) < kSplitEps && std::fabs(p.y - fy) < kSplitEps && t > 0 && t < 1) {
      for (const auto& [src, dst] : {std::pair{sg.src, id}, std::pair{id, sg.dst}}) {
        Edge half;
        half.subLoc = p.subLoc;
        half.src = src;
        half.dst = dst;
        half.weightCoef = sg.weightCoef;
        splits.push_back(half);
      }
    }
  });
  for (const Edge& e : splits) addEdgeTo(s, e);
  return id;
}

// The graph itself as the store of vertices and edges the shared code adds to.
class RouteGraph::Store {
 public:
  explicit Store(RouteGraph& g) : g_(g) {}
  const RouteGraph& graph() const { return g_; }
  int& vertexCounter() { return g_.vertexCounter_; }
  int& edgeCounter() { return g_.edgeCounter_; }
  const Vertex* vertex(int id) const { return g_.findVertex(id); }
  bool hasEdge(int id) const { return g_.hasEdge(id); }
  int closeVertex(const Vertex& v, double stick) const { return g_.findCloseVertex(v, stick); }
  void alias(int id, int kept) { g_.vertexAlias_[id] = kept; }
  void keepVertex(const Vertex& v) {
    auto pos = g_.vertices_.insert(v).first;
    g_.vertexIndex_[v.id] = pos;
    g_.indexCell(v);
    if (v.id >= 0) g_.graph_.addVertex(v.id);
  }
  void keepEdge(const Edge& e, double weight, const Vertex& a, const Vertex& b) {
    g_.graph_.addEdge(e.src, e.dst, weight);
    auto pos = g_.edges_.insert(e).first;
    g_.edgeIndex_[e.id] = pos;
    fileSegment(g_.segments_[e.subLoc], e, a, b);
  }
  template <class F>
  void forFloorSegments(int subLoc, F f) const {
    if (const std::vector<Segment>* segs = g_.floorSegments(subLoc))
      for (const Segment& sg : *segs) f(sg);
  }

 private:
  RouteGraph& g_;
};

#undef RG_EDIT_LOG
