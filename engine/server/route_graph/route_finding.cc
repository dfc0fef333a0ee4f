// Route queries: projection onto the graph, barrier clipping, splicing points
// into the graph, and routes from one point to one or many targets. Every
// query works on its own copy of the graph.
#include <climits>
#include <cmath>
#include <limits>

#include "server/route_graph/geometry.h"
#include "server/route_graph/route_graph.h"
#include "server/route_graph/smoothing.h"

namespace {

constexpr double kEps = 1e-8;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Point-on-segment and ray-crossing tests, the same ones zones use, so that a
// zone barrier and a zone of the same outline agree on what is inside.
bool OnSegment(double px, double py, double x1, double y1, double x2, double y2) {
  const double dax = x1 - px, day = y1 - py;
  const double dbx = x2 - px, dby = y2 - py;
  return std::fabs(dby * dax - day * dbx) < kEps && dax * dbx + day * dby < kEps;
}

bool RayCrosses(double px, double py, double x1, double y1, double x2, double y2) {
  constexpr double kDelta = 1e-4;
  if (std::fabs(py - y1) < kEps) y1 += kDelta;
  if (std::fabs(py - y2) < kEps) y2 += kDelta;
  if (y1 < py && py < y2) return (y1 - y2) * px + (y2 - py) * x1 + (py - y1) * x2 + kEps > 0;
  if (y2 < py && py < y1) return (y2 - y1) * px + (py - y2) * x1 + (y1 - py) * x2 + kEps > 0;
  return false;
}

bool Finite(const LocationPoint& p) { return std::isfinite(p.x) && std::isfinite(p.y); }

// Resolves an id that was merged into a stored vertex to that vertex, which is
// the one the search graph holds.
int Kept(const RouteGraph& g, int id) { return id == 0 ? 0 : g.getVertex(id).id; }

// Closes one single-floor stretch: smooths it and appends its points and turn
// events to the route. Degenerate input (repeated points) is never passed on,
// and anything non-finite that smoothing might produce is left out.
void CloseRun(const RouteGraph& graph, int subLoc, const std::vector<LocationPoint>& run,
              RoutePath& route) {
  std::vector<RouteEvent> events;
  const std::vector<LocationPoint> smoothed = GetSmoothPath(run, graph.getSmoothRadius(subLoc), &events);
  for (const RouteEvent& e : events) {
    if (!std::isfinite(e.distance)) continue;
    route.events.emplace_back(e.type, e.value, e.distance + route.length);
  }
  bool first = true;
  for (const LocationPoint& p : smoothed) {
    if (!Finite(p)) continue;
    // Arcs of neighbouring corners may meet in one point; keep it once.
    if (!route.points.empty() && route.points.back().subLoc == p.subLoc &&
        std::fabs(route.points.back().x - p.x) < kEps && std::fabs(route.points.back().y - p.y) < kEps)
      continue;
    // The first point of a stretch follows a floor change, already counted.
    if (!first && !route.points.empty()) {
      const double d = graph.getDistance(route.points.back(), p);
      if (std::isfinite(d)) route.length += d;
    }
    route.points.push_back(p);
    first = false;
  }
}

// Turns a vertex path of the working copy `g` into a smoothed route with turn
// and floor-change events; options and distances come from `graph`.
RoutePath AssembleRoute(const RouteGraph& graph, const RouteGraph& g, const std::vector<int>& path,
                        int startSubLoc) {
  RoutePath route;
  int cur = startSubLoc;
  std::vector<LocationPoint> run;
  for (int id : path) {
    const RouteGraph::Vertex v = g.getVertex(id);
    if (v.subLoc != cur && !run.empty()) {
      CloseRun(graph, cur, run, route);
      route.events.emplace_back(3, v.subLoc, route.length);
      if (!route.points.empty()) {
        const double d = graph.getDistance(route.points.back(), LocationPoint(v.subLoc, v.x, v.y));
        if (std::isfinite(d)) route.length += d;
      }
      run.clear();
    }
    cur = v.subLoc;
    const LocationPoint p(cur, v.x, v.y);
    // Consecutive equal points would be zero-length legs for the rounding.
    if (!run.empty() && std::fabs(run.back().x - p.x) < kEps && std::fabs(run.back().y - p.y) < kEps)
      continue;
    run.push_back(p);
  }
  if (!run.empty()) CloseRun(graph, cur, run, route);
  return route;
}

RouteGraph::Vertex PointVertex(const LocationPoint& p) {
  RouteGraph::Vertex v;
  v.subLoc = p.subLoc;
  v.x = p.x;
  v.y = p.y;
  return v;
}

RouteGraph::Edge Link(int subLoc, int src, int dst, double coef) {
  RouteGraph::Edge e;
  e.subLoc = subLoc;
  e.src = src;
  e.dst = dst;
  e.weightCoef = coef;
  return e;
}

}  // namespace

bool Barrier::containsPoint(const LocationPoint& p) const {
  if (subLoc != p.subLoc || type != 1) return false;
  const size_t n = points.size();
  size_t crossings = 0;
  for (size_t i = 0; i < n; ++i) {
    const LocationPoint& a = points[i];
    const LocationPoint& b = points[(i + 1) % n];
    if (OnSegment(p.x, p.y, a.x, a.y, b.x, b.y)) return true;
    if (RayCrosses(p.x, p.y, a.x, a.y, b.x, b.y)) ++crossings;
  }
  return crossings % 2 == 1;
}

LocationPoint RouteGraph::getProjection(const LocationPoint& p) const {
  LocationPoint result(0, 0.0, 0.0);
  const std::vector<Segment>* segs = floorSegments(p.subLoc);
  if (!segs) return result;
  double best = kNaN;
  for (const Segment& sg : *segs) {
    const double dx = sg.bx - sg.ax, dy = sg.by - sg.ay;
    const double len2 = dx * dx + dy * dy;
    LocationPoint cand;
    if (len2 > kEps) {
      const double t = ((p.x - sg.ax) * dx + (p.y - sg.ay) * dy) / len2;
      if (t < 0)
        cand = LocationPoint(sg.srcSubLoc, sg.ax, sg.ay);
      else if (t > 1)
        cand = LocationPoint(sg.dstSubLoc, sg.bx, sg.by);
      else
        cand = LocationPoint(p.subLoc, sg.ax + t * dx, sg.ay + t * dy);
    } else {
      cand = LocationPoint(p.subLoc, sg.ax, sg.ay);
    }
    const double dist = cand.subLoc == p.subLoc ? GetDist(p.x, p.y, cand.x, cand.y) : kNaN;
    if (std::isnan(best) || best > dist) {
      result = cand;
      best = dist;
    }
  }
  return result;
}

LocationPoint RouteGraph::getBarrierIntersection(const LocationPoint& from, const LocationPoint& to) const {
  const SubLocation floor = getSubLocation(from.subLoc);
  if (floor.id < 1 || !floor.barriersEnabled) return to;
  Barrier key;
  key.subLoc = from.subLoc;
  key.id = INT_MIN;
  const auto first = barriers_.lower_bound(key);
  for (auto it = first; it != barriers_.end() && it->subLoc == from.subLoc; ++it)
    if (it->containsPoint(from)) return from;
  double tmin = 1.0;
  for (auto it = first; it != barriers_.end() && it->subLoc == from.subLoc; ++it) {
    const size_t n = it->points.size();
    size_t segments = 0;
    if (it->type == 1) segments = n;
    else if (it->type == 2 && n > 0) segments = n - 1;
    for (size_t i = 0; i < segments; ++i) {
      const LocationPoint& s1 = it->points[i];
      const LocationPoint& s2 = it->points[(i + 1) % n];
      const double t = GetIntersection(from.x, from.y, to.x, to.y, s1.x, s1.y, s2.x, s2.y, nullptr, nullptr);
      if (!std::isnan(t)) tmin = std::min(tmin, t);
    }
  }
  return LocationPoint(from.subLoc, from.x + tmin * (to.x - from.x), from.y + tmin * (to.y - from.y));
}

int RouteGraph::addSplitPoint(const LocationPoint& p) {
  const int id = addVertex(PointVertex(p));
  if (id == 0) return 0;
  const std::vector<Segment>* segs = floorSegments(p.subLoc);
  if (!segs) return id;
  // Splits are collected first: adding them changes the floor's edges.
  std::vector<Edge> splits;
  for (const Segment& sg : *segs) {
    const double t = GetProjection(sg.ax, sg.ay, sg.bx, sg.by, p.x, p.y, nullptr, nullptr);
    const double fx = sg.ax + t * (sg.bx - sg.ax);
    const double fy = sg.ay + t * (sg.by - sg.ay);
    if (std::fabs(p.x - fx) < kEps && std::fabs(p.y - fy) < kEps && t > 0 && t < 1) {
      splits.push_back(Link(p.subLoc, sg.src, id, sg.weightCoef));
      splits.push_back(Link(p.subLoc, id, sg.dst, sg.weightCoef));
    }
  }
  for (const Edge& e : splits) addEdge(e);
  return id;
}

RoutePath RouteGraph::getPath(const LocationPoint& fromPoint, const LocationPoint& toPoint) const {
  const LocationPoint pf = getProjection(fromPoint);
  const LocationPoint pt = getProjection(toPoint);
  if (pf.subLoc < 1 || pt.subLoc < 1) return RoutePath();
  const LocationPoint from = getBarrierIntersection(pf, fromPoint);
  const LocationPoint to = getBarrierIntersection(pt, toPoint);

  RouteGraph g(*this);
  const int a = g.addVertex(PointVertex(from));
  const int b = g.addVertex(PointVertex(to));
  const int sa = g.addSplitPoint(pf);
  const int sb = g.addSplitPoint(pt);
  if (a == 0 || b == 0 || sa == 0 || sb == 0) return RoutePath();
  g.addEdge(Link(from.subLoc, a, sa, 1.0));
  g.addEdge(Link(to.subLoc, sb, b, 1.0));

  // A start or target that was merged into a close vertex is searched from
  // (or to) that vertex.
  std::vector<int> path;
  const double len = g.graph_.getPath(Kept(g, a), Kept(g, b), &path, nullptr);
  if (!(len > 0.0)) return RoutePath();
  return AssembleRoute(*this, g, path, from.subLoc);
}

std::vector<RoutePath> RouteGraph::getPaths(const LocationPoint& fromPoint,
                                            const std::vector<LocationPoint>& targets) const {
  std::vector<RoutePath> result(targets.size());
  if (targets.empty()) return result;
  const LocationPoint pf = getProjection(fromPoint);
  if (pf.subLoc < 1) return result;
  const LocationPoint from = getBarrierIntersection(pf, fromPoint);
  RouteGraph g(*this);
  const int a = g.addVertex(PointVertex(from));
  const int sa = g.addSplitPoint(pf);
  if (a == 0 || sa == 0) return result;
  g.addEdge(Link(from.subLoc, a, sa, 1.0));

  std::vector<int> ids(targets.size(), 0);
  for (size_t i = 0; i < targets.size(); ++i) {
    const LocationPoint pt = getProjection(targets[i]);
    const LocationPoint to = getBarrierIntersection(pt, targets[i]);
    ids[i] = g.addVertex(PointVertex(to));
    const int st = g.addSplitPoint(pt);
    g.addEdge(Link(to.subLoc, st, ids[i], 1.0));
  }

  const int start = Kept(g, a);
  Graph::Labels labels;
  g.graph_.getPath(start, start, nullptr, &labels);
  for (size_t i = 0; i < targets.size(); ++i) {
    const int target = Kept(g, ids[i]);
    // A target at the start is no route, as it is for a single route.
    if (target == 0 || target == start) continue;
    std::vector<int> chain;
    int cur = target;
    bool complete = true;
    while (cur >= 0 && chain.size() <= labels.size()) {
      auto it = labels.find(cur);
      if (it == labels.end()) {
        complete = false;
        break;
      }
      chain.push_back(cur);
      cur = it->second.first;
    }
    if (!complete || cur >= 0) continue;
    std::vector<int> path(chain.rbegin(), chain.rend());
    result[i] = AssembleRoute(*this, g, path, from.subLoc);
  }
  return result;
}
