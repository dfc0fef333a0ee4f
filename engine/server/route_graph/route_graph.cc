#include "server/route_graph/route_graph.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <iterator>
#include <limits>

#include "server/route_graph/route_graph_edits.h"
#include "server/utils.h"

// Every message of the route graph is filed under one source name, whatever
// file of the module writes it.
#define RG_LOG(level, ...) _Logger.print((level), "server/route_graph", __LINE__, __VA_ARGS__)

namespace {

constexpr double kMinWeight = 1e-8;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Reads a number the way "%lf" would: leading blanks skipped, the leading
// numeric part taken; unreadable text gives NaN.
double ReadDouble(const std::string& text) {
  const char* s = text.c_str();
  char* end = nullptr;
  const double v = std::strtod(s, &end);
  return end == s ? kNaN : v;
}

double AtLeastMinWeight(double w) { return w >= kMinWeight ? w : kMinWeight; }

// Cells of the vertex neighbourhood index: 1 m squares, clamped far out so
// that the cell number always fits (the clamping keeps the order, so a range
// of cells still covers every point of a range of coordinates).
constexpr double kCellSize = 1.0;
constexpr int64_t kCellLimit = int64_t{1} << 30;
constexpr int64_t kMaxCellsScanned = 64;

int64_t CellOf(double c) {
  const double f = std::floor(c / kCellSize);
  if (!(f > -static_cast<double>(kCellLimit))) return -kCellLimit;
  if (f > static_cast<double>(kCellLimit)) return kCellLimit;
  return static_cast<int64_t>(f);
}

uint64_t CellKey(int64_t cx, int64_t cy) {
  return (static_cast<uint64_t>(static_cast<uint32_t>(cx)) << 32) | static_cast<uint32_t>(cy);
}

}  // namespace

RouteGraph::RouteGraph() = default;

RouteGraph::RouteGraph(const std::string& tag, const std::string& name) : tag_(tag), name_(name) {}

RouteGraph::RouteGraph(const RouteGraph& other)
    : location_(other.location_),
      tag_(other.tag_),
      name_(other.name_),
      description_(other.description_),
      subLocations_(other.subLocations_),
      vertices_(other.vertices_),
      edges_(other.edges_),
      barriers_(other.barriers_),
      vertexAlias_(other.vertexAlias_),
      graph_(other.graph_),
      vertexCells_(other.vertexCells_),
      segments_(other.segments_),
      vertexCounter_(other.vertexCounter_),
      edgeCounter_(other.edgeCounter_) {
  rebuildIndexes();
}

// Moving a std::set keeps its nodes, so the moved indexes stay valid.
RouteGraph::RouteGraph(RouteGraph&& other) noexcept = default;
RouteGraph& RouteGraph::operator=(RouteGraph&& other) noexcept = default;

RouteGraph& RouteGraph::operator=(const RouteGraph& other) {
  if (this == &other) return *this;
  location_ = other.location_;
  tag_ = other.tag_;
  name_ = other.name_;
  description_ = other.description_;
  subLocations_ = other.subLocations_;
  vertices_ = other.vertices_;
  edges_ = other.edges_;
  barriers_ = other.barriers_;
  vertexAlias_ = other.vertexAlias_;
  graph_ = other.graph_;
  vertexCells_ = other.vertexCells_;
  segments_ = other.segments_;
  vertexCounter_ = other.vertexCounter_;
  edgeCounter_ = other.edgeCounter_;
  rebuildIndexes();
  return *this;
}

namespace {

// Fills an id index from a set ordered by (floor, id): sorting by id first
// lets every insertion go to the end of the index.
template <class Set, class Index>
void BuildIndex(Set& set, Index& index) {
  std::vector<std::pair<int, typename Set::iterator>> entries;
  entries.reserve(set.size());
  for (auto it = set.begin(); it != set.end(); ++it) entries.emplace_back(it->id, it);
  std::stable_sort(entries.begin(), entries.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  index.clear();
  for (const auto& [id, it] : entries) index.emplace_hint(index.end(), id, it);
}

}  // namespace

void RouteGraph::rebuildIndexes() {
  BuildIndex(vertices_, vertexIndex_);
  BuildIndex(edges_, edgeIndex_);
}

void RouteGraph::clear() { *this = RouteGraph(); }

bool RouteGraph::isEmpty() const {
  return location_ == 0 && subLocations_.empty() && vertices_.empty() && edges_.empty();
}

// ---------------------------------------------------------------- floors ---

void RouteGraph::addSubLocation(const SubLocation& s) { subLocations_.insert(s); }

RouteGraph::SubLocation RouteGraph::getSubLocation(int id) const {
  SubLocation key;
  key.id = id;
  auto it = subLocations_.find(key);
  return it == subLocations_.end() ? SubLocation() : *it;
}

RouteGraph::SubLocation* RouteGraph::findSubLocation(int id) {
  SubLocation key;
  key.id = id;
  auto it = subLocations_.find(key);
  // Options are not part of the set order, so they may be changed in place.
  return it == subLocations_.end() ? nullptr : const_cast<SubLocation*>(&*it);
}

double RouteGraph::getDistance(int subLoc1, double x1, double y1, int subLoc2, double x2,
                               double y2) const {
  const SubLocation s1 = getSubLocation(subLoc1);
  const SubLocation s2 = getSubLocation(subLoc2);
  if (s1.id < 1 || s2.id < 1) {
    RG_LOG(1, "Invalid sublocation %d or %d\n", subLoc1, subLoc2);
    return kNaN;
  }
  if (s1.id != s2.id) return std::max(10.0, std::fabs(s1.altitude - s2.altitude));
  const double dx = x1 - x2;
  const double dy = y1 - y2;
  return std::sqrt(dx * dx + dy * dy);
}

double RouteGraph::getDistance(const LocationPoint& a, const LocationPoint& b) const {
  return getDistance(a.subLoc, a.x, a.y, b.subLoc, b.x, b.y);
}

// -------------------------------------------------------------- vertices ---

int RouteGraph::resolve(int id) const {
  auto it = vertexAlias_.find(id);
  return it == vertexAlias_.end() ? id : it->second;
}

RouteGraph::VertexSet::const_iterator RouteGraph::floorVertices(int subLoc, int minId) const {
  Vertex key;
  key.subLoc = subLoc;
  key.id = minId;
  return vertices_.lower_bound(key);
}

RouteGraph::EdgeSet::const_iterator RouteGraph::floorEdges(int subLoc, int minId) const {
  Edge key;
  key.subLoc = subLoc;
  key.id = minId;
  return edges_.lower_bound(key);
}

int RouteGraph::addVertex(Vertex v) {
  Store s(*this);
  return addVertexTo(s, v);
}

int RouteGraph::findCloseVertex(const Vertex& v, double stick) const {
  // A vertex without a finite position is near nothing.
  if (!std::isfinite(v.x) || !std::isfinite(v.y) || !(stick > 0.0)) return -1;
  auto near = [&](const Vertex& w) {
    const double dx = w.x - v.x;
    const double dy = w.y - v.y;
    return w.id != v.id && std::sqrt(dx * dx + dy * dy) < stick;
  };
  const int64_t x0 = CellOf(v.x - stick), x1 = CellOf(v.x + stick);
  const int64_t y0 = CellOf(v.y - stick), y1 = CellOf(v.y + stick);
  if ((x1 - x0 + 1) * (y1 - y0 + 1) > kMaxCellsScanned) {
    // A stick distance wider than a few cells: walk the floor in id order.
    for (auto it = floorVertices(v.subLoc, 0); it != vertices_.end() && it->subLoc == v.subLoc; ++it)
      if (near(*it)) return it->id;
    return -1;
  }
  auto floorCells = vertexCells_.find(v.subLoc);
  if (floorCells == vertexCells_.end()) return -1;
  int best = -1;
  for (int64_t cx = x0; cx <= x1; ++cx)
    for (int64_t cy = y0; cy <= y1; ++cy) {
      auto cell = floorCells->second.find(CellKey(cx, cy));
      if (cell == floorCells->second.end()) continue;
      for (int id : cell->second)
        if ((best < 0 || id < best) && near(*vertexIndex_.at(id))) best = id;
    }
  return best;
}

void RouteGraph::indexCell(const Vertex& v) {
  if (v.id < 0 || !std::isfinite(v.x) || !std::isfinite(v.y)) return;
  vertexCells_[v.subLoc][CellKey(CellOf(v.x), CellOf(v.y))].push_back(v.id);
}

void RouteGraph::unindexCell(const Vertex& v) {
  if (v.id < 0 || !std::isfinite(v.x) || !std::isfinite(v.y)) return;
  auto floorCells = vertexCells_.find(v.subLoc);
  if (floorCells == vertexCells_.end()) return;
  auto cell = floorCells->second.find(CellKey(CellOf(v.x), CellOf(v.y)));
  if (cell == floorCells->second.end()) return;
  auto& ids = cell->second;
  for (size_t i = 0; i < ids.size(); ++i)
    if (ids[i] == v.id) {
      ids[i] = ids.back();
      ids.pop_back();
      break;
    }
  if (ids.empty()) floorCells->second.erase(cell);
}

const RouteGraph::Vertex* RouteGraph::findVertex(int id) const {
  auto it = vertexIndex_.find(resolve(id));
  return it == vertexIndex_.end() ? nullptr : &*it->second;
}

bool RouteGraph::hasVertex(int id) const { return vertexIndex_.count(resolve(id)) != 0; }

RouteGraph::Vertex RouteGraph::getVertex(int id) const {
  auto it = vertexIndex_.find(resolve(id));
  return it == vertexIndex_.end() ? Vertex() : *it->second;
}

void RouteGraph::removeVertex(int id) {
  const int r = resolve(id);
  auto vit = vertexIndex_.find(r);
  if (vit == vertexIndex_.end()) return;
  for (auto it = vertexAlias_.begin(); it != vertexAlias_.end();) {
    if (it->second == r)
      it = vertexAlias_.erase(it);
    else
      ++it;
  }
  std::vector<int> incident;
  for (const Edge& e : edges_)
    if (e.src == r || e.dst == r) incident.push_back(e.id);
  for (int eid : incident) removeEdge(eid);
  unindexCell(*vit->second);
  vertices_.erase(vit->second);
  vertexIndex_.erase(vit);
  graph_.removeVertex(r);
}

void RouteGraph::moveVertex(int id, double x, double y) {
  const int r = resolve(id);
  auto vit = vertexIndex_.find(r);
  if (vit == vertexIndex_.end()) return;
  // Coordinates take no part in the set order.
  Vertex& v = const_cast<Vertex&>(*vit->second);
  unindexCell(v);
  v.x = x;
  v.y = y;
  indexCell(v);
  for (const Edge& e : edges_)
    if (e.src == r || e.dst == r) graph_.addEdge(e.src, e.dst, mirrorWeight(e));
  for (auto& [floor, segs] : segments_)
    for (Segment& sg : segs) {
      if (sg.src == r) {
        sg.ax = x;
        sg.ay = y;
      }
      if (sg.dst == r) {
        sg.bx = x;
        sg.by = y;
      }
    }
}

void RouteGraph::setVertexName(int id, const std::string& name) {
  auto vit = vertexIndex_.find(resolve(id));
  if (vit != vertexIndex_.end()) const_cast<Vertex&>(*vit->second).name = name;
}

void RouteGraph::setVertexExternal(int id, bool external) {
  auto vit = vertexIndex_.find(resolve(id));
  if (vit != vertexIndex_.end()) const_cast<Vertex&>(*vit->second).isElevation = external;
}

std::vector<RouteGraph::Vertex> RouteGraph::getElevationPoints() const {
  std::vector<Vertex> out;
  for (const Vertex& v : vertices_)
    if (v.isElevation) out.push_back(v);
  return out;
}

std::vector<RouteGraph::Vertex> RouteGraph::getElevationPoints(int subLoc) const {
  std::vector<Vertex> out;
  for (auto it = floorVertices(subLoc, 0); it != vertices_.end() && it->subLoc == subLoc; ++it)
    if (it->isElevation) out.push_back(*it);
  return out;
}

// ----------------------------------------------------------------- edges ---

double RouteGraph::mirrorWeight(const Edge& e) const {
  const Vertex* a = findVertex(e.src);
  const Vertex* b = findVertex(e.dst);
  return a && b ? edgeWeight(*this, e, *a, *b) : kMinWeight;
}

double RouteGraph::edgeWeight(const RouteGraph& g, const Edge& e, const Vertex& a, const Vertex& b) {
  return AtLeastMinWeight(e.weightCoef * g.getDistance(a.subLoc, a.x, a.y, b.subLoc, b.x, b.y));
}

int RouteGraph::addEdge(Edge e) {
  Store s(*this);
  return addEdgeTo(s, e);
}

void RouteGraph::fileSegment(std::vector<Segment>& segs, const Edge& e, const Vertex& a, const Vertex& b) {
  const Segment sg{e.id, e.src, e.dst, a.subLoc, b.subLoc, e.weightCoef, a.x, a.y, b.x, b.y};
  // Generated ids usually come last, so this is mostly an append.
  auto at = segs.end();
  while (at != segs.begin() && std::prev(at)->id > e.id) --at;
  segs.insert(at, sg);
}

void RouteGraph::removeSegment(const Edge& e) {
  auto floor = segments_.find(e.subLoc);
  if (floor == segments_.end()) return;
  auto& segs = floor->second;
  for (auto it = segs.begin(); it != segs.end(); ++it)
    if (it->id == e.id) {
      segs.erase(it);
      break;
    }
  if (segs.empty()) segments_.erase(floor);
}

const std::vector<RouteGraph::Segment>* RouteGraph::floorSegments(int subLoc) const {
  auto it = segments_.find(subLoc);
  return it == segments_.end() ? nullptr : &it->second;
}

bool RouteGraph::hasEdge(int id) const { return edgeIndex_.count(id) != 0; }

RouteGraph::Edge RouteGraph::getEdge(int id) const {
  auto it = edgeIndex_.find(id);
  return it == edgeIndex_.end() ? Edge() : *it->second;
}

RouteGraph::Edge RouteGraph::getEdge(int subLoc, int src, int dst) const {
  src = getVertex(src).id;
  dst = getVertex(dst).id;
  for (auto it = floorEdges(subLoc, 0); it != edges_.end() && it->subLoc == subLoc; ++it)
    if (it->src == src && it->dst == dst) return *it;
  return Edge();
}

void RouteGraph::restoreMirror(int src, int dst) {
  const Edge* keep = nullptr;
  for (const Edge& e : edges_)
    if (e.src == src && e.dst == dst) keep = &e;
  if (keep) graph_.addEdge(src, dst, mirrorWeight(*keep));
}

void RouteGraph::removeEdge(int id) {
  auto it = edgeIndex_.find(id);
  if (it == edgeIndex_.end()) return;
  const Edge e = *it->second;
  graph_.removeEdge(e.src, e.dst);
  removeSegment(e);
  edges_.erase(it->second);
  edgeIndex_.erase(it);
  // Another stored edge with the same ends still provides the way.
  restoreMirror(e.src, e.dst);
}

void RouteGraph::setEdgeWeight(int id, double coef) {
  auto it = edgeIndex_.find(id);
  if (it == edgeIndex_.end()) return;
  Edge& e = const_cast<Edge&>(*it->second);
  e.weightCoef = coef >= kMinWeight ? coef : kMinWeight;
  if (auto floor = segments_.find(e.subLoc); floor != segments_.end())
    for (Segment& sg : floor->second)
      if (sg.id == e.id) sg.weightCoef = e.weightCoef;
  graph_.removeEdge(e.src, e.dst);
  graph_.addEdge(e.src, e.dst, mirrorWeight(e));
}

double RouteGraph::getEdgeWeight(int id) const {
  auto it = edgeIndex_.find(id);
  if (it == edgeIndex_.end()) return kNaN;
  const Vertex a = getVertex(it->second->src);
  const Vertex b = getVertex(it->second->dst);
  if (a.subLoc != b.subLoc) return kNaN;
  const double dx = a.x - b.x;
  const double dy = a.y - b.y;
  return AtLeastMinWeight(it->second->weightCoef * std::sqrt(dx * dx + dy * dy));
}

// ---------------------------------------------------------- floor options ---

void RouteGraph::setSmoothRadius(int subLoc, double radius) {
  if (SubLocation* s = findSubLocation(subLoc)) s->smoothRadius = radius;
}

void RouteGraph::setSmoothRadius(double radius) {
  for (const SubLocation& s : subLocations_) const_cast<SubLocation&>(s).smoothRadius = radius;
}

void RouteGraph::setStickDistance(int subLoc, double distance) {
  if (SubLocation* s = findSubLocation(subLoc)) s->stickDistance = distance >= 0.1 ? distance : 0.1;
}

void RouteGraph::setStickDistance(double distance) {
  for (const SubLocation& s : subLocations_)
    const_cast<SubLocation&>(s).stickDistance = distance >= 0.1 ? distance : 0.1;
}

void RouteGraph::setBarriersEnabled(int subLoc, bool enabled) {
  if (SubLocation* s = findSubLocation(subLoc)) s->barriersEnabled = enabled;
}

void RouteGraph::setBarriersEnabled(bool enabled) {
  for (const SubLocation& s : subLocations_) const_cast<SubLocation&>(s).barriersEnabled = enabled;
}

double RouteGraph::getSmoothRadius(int subLoc) const {
  const SubLocation s = getSubLocation(subLoc);
  return s.id < 1 ? 0.0 : s.smoothRadius;
}

double RouteGraph::getStickDistance(int subLoc) const {
  const SubLocation s = getSubLocation(subLoc);
  return s.id < 1 ? kNaN : s.stickDistance;
}

bool RouteGraph::getBarriersEnabled(int subLoc) const {
  const SubLocation s = getSubLocation(subLoc);
  return s.id < 1 ? false : s.barriersEnabled;
}

bool RouteGraph::setParam(const std::string& key, const std::string& value) {
  bool result = false;
  std::vector<int> ids;
  for (const SubLocation& s : subLocations_) ids.push_back(s.id);
  for (int id : ids) {
    const std::string prefix = "subLoc[" + std::to_string(id) + "].";
    if (key == prefix + "smooth_radius" || key == "smooth_radius") {
      const double v = ReadDouble(value);
      if (!(v >= 0.0)) return false;
      setSmoothRadius(id, v);
      result = true;
    }
    if (key == prefix + "stick_distance" || key == "stick_distance") {
      const double v = ReadDouble(value);
      if (!(v >= 0.0)) return false;
      setStickDistance(id, v);
      result = true;
    }
    if (key == prefix + "barriers_enabled" || key == "barriers_enabled") {
      setBarriersEnabled(id, value == "true");
      result = true;
    }
  }
  if (key == "name") {
    name_ = value;
    result = true;
  }
  if (key == "description") {
    description_ = value;
    result = true;
  }
  return result;
}
