// Route queries: projection onto the graph, barrier clipping, splicing points
// into the graph, and routes from one point to one or many targets. A query
// never changes the graph: the start, the targets and their joining edges are
// laid over it, and answer exactly as if they had been added to a copy.
#include <algorithm>
#include <climits>
#include <cmath>
#include <limits>
#include <map>
#include <unordered_map>
#include <unordered_set>

#include "server/route_graph/geometry.h"
#include "server/route_graph/route_graph.h"
#include "server/route_graph/route_graph_edits.h"
#include "server/route_graph/smoothing.h"
#include "server/utils.h"

#define RG_LOG(level, ...) _Logger.print((level), "server/route_graph", __LINE__, __VA_ARGS__)

namespace {

constexpr double kEps = 1e-8;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

bool Finite(const LocationPoint& p) { return std::isfinite(p.x) && std::isfinite(p.y); }

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

class RouteGraph::Query {
 public:
  explicit Query(const RouteGraph& base)
      : base_(base), vertexCounter_(base.vertexCounter_), edgeCounter_(base.edgeCounter_) {}

  // The vertex an id stands for (merged ids resolved), or null.
  const Vertex* vertex(int id) const {
    const int r = resolve(id);
    auto it = vertexAt_.find(r);
    if (it != vertexAt_.end()) return &vertices_[it->second];
    auto b = base_.vertexIndex_.find(r);
    return b == base_.vertexIndex_.end() ? nullptr : &*b->second;
  }

  // The id the search graph holds for an id handed out by addVertex.
  int kept(int id) const {
    const Vertex* v = id == 0 ? nullptr : vertex(id);
    return v ? v->id : 0;
  }

  // The points and edges of a query go through the graph's own code for adding them, with
  // this overlay as their store.
  int addVertex(const LocationPoint& p) { return addVertexTo(*this, PointVertex(p)); }
  int addEdge(const Edge& e) { return addEdgeTo(*this, e); }
  int addSplitPoint(const LocationPoint& p) { return addSplitPointTo(*this, p); }

  // The store the shared code adds to: the graph's vertices and edges with the query's own
  // laid over them.
  const RouteGraph& graph() const { return base_; }
  int& vertexCounter() { return vertexCounter_; }
  int& edgeCounter() { return edgeCounter_; }
  bool hasEdge(int id) const { return edgeIds_.count(id) != 0 || base_.hasEdge(id); }
  // The graph's vertex v sticks to, or one of the query's own with a smaller id.
  int closeVertex(const Vertex& v, double stick) const {
    int close = base_.findCloseVertex(v, stick);
    for (const Vertex& w : vertices_) {
      if (w.subLoc != v.subLoc || w.id == v.id || (close >= 0 && w.id > close)) continue;
      if (GetDist(w.x, w.y, v.x, v.y) < stick) close = w.id;
    }
    return close;
  }
  void alias(int id, int kept) { alias_[id] = kept; }
  void keepVertex(const Vertex& v) {
    vertexAt_[v.id] = vertices_.size();
    vertices_.push_back(v);
  }
  void keepEdge(const Edge& e, double weight, const Vertex& a, const Vertex& b) {
    arcs_.emplace_back(e.src, e.dst, weight);
    edgeIds_.insert(e.id);
    fileSegment(segments_[e.subLoc], e, a, b);
  }
  // The floor's edges are the graph's and the ones this query added, in id order.
  template <class F>
  void forFloorSegments(int subLoc, F f) const {
    static const std::vector<Segment> kNone;
    const std::vector<Segment>* stored = base_.floorSegments(subLoc);
    auto own = segments_.find(subLoc);
    const std::vector<Segment>& mine = own == segments_.end() ? kNone : own->second;
    const std::vector<Segment>& theirs = stored ? *stored : kNone;
    size_t i = 0, j = 0;
    while (i < theirs.size() || j < mine.size()) {
      if (j == mine.size() || (i < theirs.size() && theirs[i].id < mine[j].id))
        f(theirs[i++]);
      else
        f(mine[j++]);
    }
  }

  // A start nearer to a target's own edge (from the target's projection to
  // the target) than to the graph walks straight onto that edge instead of
  // out to the graph and back along the edge: a walker standing beside the
  // target is that far from it, not twice its distance to the graph. The
  // step onto the edge must be as free of barriers as the start's own.
  void reachTargetEdge(const LocationPoint& from, int start, const LocationPoint& pf,
                       const LocationPoint& pt, const LocationPoint& to, int target) {
    if (start == 0 || target == 0 || pt.subLoc < 1 || to.subLoc != from.subLoc || pt.subLoc != from.subLoc)
      return;
    const double dx = to.x - pt.x, dy = to.y - pt.y;
    const double len2 = dx * dx + dy * dy;
    double t = len2 > kEps ? ((from.x - pt.x) * dx + (from.y - pt.y) * dy) / len2 : 1.0;
    t = std::clamp(t, 0.0, 1.0);
    const LocationPoint foot(from.subLoc, pt.x + t * dx, pt.y + t * dy);
    const double step = GetDist(from.x, from.y, foot.x, foot.y);
    if (!(step < GetDist(from.x, from.y, pf.x, pf.y))) return;
    const LocationPoint clear = base_.getBarrierIntersection(from, foot);
    if (std::fabs(clear.x - foot.x) > kEps || std::fabs(clear.y - foot.y) > kEps) return;
    const int onEdge = addVertex(foot);
    if (onEdge == 0) return;
    addEdge(Link(from.subLoc, start, onEdge, 1.0));
    addEdge(Link(from.subLoc, onEdge, target, 1.0));
  }

  double search(int src, int dst, std::vector<int>* path, Graph::Labels* labels) const {
    return base_.graph_.getPath(src, dst, path, labels, arcs_);
  }

  // Turns a vertex path into a smoothed route with turn and floor-change
  // events.
  RoutePath assemble(const std::vector<int>& path, int startSubLoc) const {
    RoutePath route;
    int cur = startSubLoc;
    std::vector<LocationPoint> run;
    for (int id : path) {
      const Vertex* v = vertex(id);
      if (!v) return RoutePath();
      if (v->subLoc != cur && !run.empty()) {
        CloseRun(base_, cur, run, route);
        route.events.emplace_back(3, v->subLoc, route.length);
        if (!route.points.empty()) {
          const double d = base_.getDistance(route.points.back(), LocationPoint(v->subLoc, v->x, v->y));
          if (std::isfinite(d)) route.length += d;
        }
        run.clear();
      }
      cur = v->subLoc;
      const LocationPoint p(cur, v->x, v->y);
      // Consecutive equal points would be zero-length legs for the rounding.
      if (!run.empty() && std::fabs(run.back().x - p.x) < kEps && std::fabs(run.back().y - p.y) < kEps)
        continue;
      run.push_back(p);
    }
    if (!run.empty()) CloseRun(base_, cur, run, route);
    return route;
  }

 private:
  int resolve(int id) const {
    auto it = alias_.find(id);
    return it == alias_.end() ? base_.resolve(id) : it->second;
  }

  const RouteGraph& base_;
  int vertexCounter_;
  int edgeCounter_;
  std::vector<Vertex> vertices_;
  std::unordered_map<int, size_t> vertexAt_;
  std::unordered_map<int, int> alias_;
  std::unordered_set<int> edgeIds_;
  std::map<int, std::vector<Segment>> segments_;
  std::vector<Graph::Edge> arcs_;
};

bool Barrier::containsPoint(const LocationPoint& p) const {
  if (subLoc != p.subLoc || type != 1) return false;
  const size_t n = points.size();
  size_t crossings = 0;
  for (size_t i = 0; i < n; ++i) {
    const LocationPoint& a = points[i];
    const LocationPoint& b = points[(i + 1) % n];
    if (PointOnLine(p.x, p.y, a.x, a.y, b.x, b.y)) return true;
    if (XRayIntersectsLine(p.x, p.y, a.x, a.y, b.x, b.y)) ++crossings;
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
  Store s(*this);
  return addSplitPointTo(s, p);
}

RoutePath RouteGraph::getPath(const LocationPoint& fromPoint, const LocationPoint& toPoint) const {
  const LocationPoint pf = getProjection(fromPoint);
  const LocationPoint pt = getProjection(toPoint);
  if (pf.subLoc < 1 || pt.subLoc < 1) return RoutePath();
  const LocationPoint from = getBarrierIntersection(pf, fromPoint);
  const LocationPoint to = getBarrierIntersection(pt, toPoint);

  Query g(*this);
  const int a = g.addVertex(from);
  const int b = g.addVertex(to);
  const int sa = g.addSplitPoint(pf);
  const int sb = g.addSplitPoint(pt);
  if (a == 0 || b == 0 || sa == 0 || sb == 0) return RoutePath();
  g.addEdge(Link(from.subLoc, a, sa, 1.0));
  g.addEdge(Link(to.subLoc, sb, b, 1.0));
  g.reachTargetEdge(from, a, pf, pt, to, b);

  // A start or target that was merged into a close vertex is searched from
  // (or to) that vertex.
  std::vector<int> path;
  const double len = g.search(g.kept(a), g.kept(b), &path, nullptr);
  if (!(len > 0.0)) return RoutePath();
  return g.assemble(path, from.subLoc);
}

std::vector<RoutePath> RouteGraph::getPaths(const LocationPoint& fromPoint,
                                            const std::vector<LocationPoint>& targets) const {
  std::vector<RoutePath> result(targets.size());
  if (targets.empty()) return result;
  const LocationPoint pf = getProjection(fromPoint);
  if (pf.subLoc < 1) return result;
  const LocationPoint from = getBarrierIntersection(pf, fromPoint);
  Query g(*this);
  const int a = g.addVertex(from);
  const int sa = g.addSplitPoint(pf);
  if (a == 0 || sa == 0) return result;
  g.addEdge(Link(from.subLoc, a, sa, 1.0));

  std::vector<int> ids(targets.size(), 0);
  std::vector<LocationPoint> ends(targets.size());
  for (size_t i = 0; i < targets.size(); ++i) {
    const LocationPoint pt = getProjection(targets[i]);
    const LocationPoint to = getBarrierIntersection(pt, targets[i]);
    ids[i] = g.addVertex(to);
    ends[i] = to;
    const int st = g.addSplitPoint(pt);
    g.addEdge(Link(to.subLoc, st, ids[i], 1.0));
    g.reachTargetEdge(from, a, pf, pt, to, ids[i]);
  }

  const int start = g.kept(a);
  Graph::Labels labels;
  g.search(start, start, nullptr, &labels);
  for (size_t i = 0; i < targets.size(); ++i) {
    const int target = g.kept(ids[i]);
    if (target == 0) continue;
    // A walker standing at a target has arrived: the route is the step to
    // it, shorter than the floor's stick distance, not no route at all (a
    // route without points would never end).
    if (target == start) {
      result[i].points.push_back(from);
      if (GetDist(from.x, from.y, ends[i].x, ends[i].y) >= kEps) {
        result[i].points.push_back(ends[i]);
        result[i].length = GetDist(from.x, from.y, ends[i].x, ends[i].y);
      }
      continue;
    }
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
    const std::vector<int> path(chain.rbegin(), chain.rend());
    result[i] = g.assemble(path, from.subLoc);
  }
  return result;
}
