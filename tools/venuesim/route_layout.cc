#include "venuesim/route_layout.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <limits>
#include <map>
#include <set>
#include <utility>

#include <tinyxml2.h>

#include "venuesim/venue.h"
#include "venuesim/xml_text.h"
#include "venuesim/zip_writer.h"

namespace venuesim {

const char kGraphTag[] = "default";
const char kGraphMember[] = "graph.xml";
const char kBarriersMember[] = "barriers.xml";
const char kZonesMember[] = "zones.xml";

namespace {

// Points of one floor closer than this are one vertex. It stays above the
// engine's stick distance (0.1 m), so the engine never merges two vertices
// the model keeps apart.
constexpr double kSameVertex = 0.15;
// How far a room's loop keeps from its walls, at most.
constexpr double kLoopInset = 0.5;
constexpr double kLiftCoef = 1.5;  // waiting for the lift: stairs win for one storey
constexpr double kEps = 1e-9;

double Dist(double x0, double y0, double x1, double y1) { return std::hypot(x1 - x0, y1 - y0); }

// A room's loop: the rectangle inset from its walls.
struct Loop {
  double x0, y0, x1, y1;
};

Loop LoopOf(const Room& r) {
  const double m = std::min(kLoopInset, 0.25 * std::min(r.x1 - r.x0, r.y1 - r.y0));
  return {r.x0 + m, r.y0 + m, r.x1 - m, r.y1 - m};
}

// Vertex positions are kept to the millimetre: they read back exactly from
// short decimals.
constexpr int kDecimals = 3;
constexpr double kOnLoop = 2e-3;

// Position of a point of the loop's outline, counter-clockwise from (x0, y0).
double Perimeter(const Loop& l, double x, double y) {
  const double w = l.x1 - l.x0, h = l.y1 - l.y0;
  if (std::fabs(y - l.y0) < kOnLoop) return x - l.x0;
  if (std::fabs(x - l.x1) < kOnLoop) return w + (y - l.y0);
  if (std::fabs(y - l.y1) < kOnLoop) return w + h + (l.x1 - x);
  return 2 * w + h + (l.y1 - y);
}

class FloorBuilder {
 public:
  FloorBuilder(const VenueFloor& floor, VenueRoutes* routes, FloorRoutes* out)
      : floor_(floor), routes_(routes), out_(out), attached_(floor.rooms.size()) {}

  void build(bool linkable) {
    for (const Wall& w : floor_.walls)
      if (!w.outer && std::fabs(w.a.y - w.b.y) <= kEps) {
        const auto [x0, x1] = std::minmax(w.a.x, w.b.x);
        horizontal_.push_back({x0, x1, w.a.y});
      }
    std::sort(horizontal_.begin(), horizontal_.end(),
              [](const Piece& a, const Piece& b) { return a.x0 < b.x0 || (a.x0 == b.x0 && a.y < b.y); });
    int corridor = -1;
    for (size_t i = 0; i < floor_.rooms.size(); ++i)
      if (floor_.rooms[i].corridor) corridor = static_cast<int>(i);
    if (corridor >= 0) {
      for (size_t i = 0; i < floor_.rooms.size(); ++i)
        if (static_cast<int>(i) != corridor) addDoor(static_cast<int>(i), corridor);
    }
    // Stairs and lift stand at the ends of the corridor, or of the biggest room.
    int main = corridor;
    if (main < 0) {
      double best = -1.0;
      for (size_t i = 0; i < floor_.rooms.size(); ++i) {
        const Room& r = floor_.rooms[i];
        const double area = (r.x1 - r.x0) * (r.y1 - r.y0);
        if (area > best) best = area, main = static_cast<int>(i);
      }
    }
    if (main >= 0 && linkable) {
      const Loop l = LoopOf(floor_.rooms[main]);
      const double ym = (l.y0 + l.y1) / 2;
      out_->stairs = attach(main, l.x0, ym, "Stairs", true);
      out_->lift = attach(main, l.x1, ym, "Lift", true);
    }
    for (size_t i = 0; i < floor_.rooms.size(); ++i) closeLoop(static_cast<int>(i));
  }

 private:
  int vertex(double x, double y, int room, const std::string& name) {
    x = RoundTo(x, kDecimals);
    y = RoundTo(y, kDecimals);
    // Vertices by cell of kSameVertex, so only the 3 x 3 cells around a new
    // point need looking at (floors may hold thousands of rooms).
    const int64_t cx = static_cast<int64_t>(std::floor(x / kSameVertex));
    const int64_t cy = static_cast<int64_t>(std::floor(y / kSameVertex));
    for (int64_t i = cx - 1; i <= cx + 1; ++i) {
      for (int64_t j = cy - 1; j <= cy + 1; ++j) {
        const auto cell = cells_.find({i, j});
        if (cell == cells_.end()) continue;
        for (int id : cell->second) {
          const RouteVertex& v = routes_->vertices[id - 1];
          if (Dist(v.x, v.y, x, y) < kSameVertex) return id;
        }
      }
    }
    RouteVertex v;
    v.id = static_cast<int>(routes_->vertices.size()) + 1;
    v.floorId = floor_.id;
    v.x = x;
    v.y = y;
    v.room = room;
    v.name = name;
    routes_->vertices.push_back(v);
    out_->vertices.push_back(v.id);
    cells_[{cx, cy}].push_back(v.id);
    return v.id;
  }

  // A vertex on the loop of a room, kept for closing the loop.
  int attach(int room, double x, double y, const std::string& name, bool elevation = false) {
    const int id = vertex(x, y, room, name);
    if (elevation) routes_->vertices[id - 1].elevation = true;
    attached_[room].push_back(id);
    return id;
  }

  void link(int a, int b) {
    if (a == b || a == 0 || b == 0) return;
    const auto key = std::minmax(a, b);
    if (!linked_.insert(key).second) return;
    out_->edges.push_back({key.first, key.second, 1.0});
  }

  // The doorway of a room towards the corridor: the widest gap between the
  // wall pieces that separate the two.
  void addDoor(int room, int corridor) {
    const Room& r = floor_.rooms[room];
    const Room& c = floor_.rooms[corridor];
    const bool south = r.y1 <= c.y0 + kEps;
    if (!south && r.y0 < c.y1 - kEps) return;  // not beside the corridor
    const double lo = south ? r.y1 : c.y1, hi = south ? c.y0 : r.y0;
    std::vector<std::pair<double, double>> covered;  // in order of their start
    double wallY = std::numeric_limits<double>::quiet_NaN();
    for (const Piece& w : horizontal_) {
      if (w.y < lo - kEps || w.y > hi + kEps) continue;
      covered.push_back({w.x0, w.x1});
      wallY = w.y;
    }
    if (covered.empty()) return;
    double from = r.x0, bestStart = 0.0, bestLen = 0.0;
    auto gap = [&](double end) {
      if (end - from > bestLen) bestLen = end - from, bestStart = from;
    };
    for (const auto& piece : covered) {
      if (piece.second <= from) continue;
      if (piece.first >= r.x1) break;
      gap(piece.first);
      from = std::max(from, piece.second);
    }
    gap(r.x1);
    if (bestLen <= 1e-6) return;
    const double xd = bestStart + bestLen / 2;
    const Loop lr = LoopOf(r), lc = LoopOf(c);
    const int inRoom = attach(room, std::clamp(xd, lr.x0, lr.x1), south ? lr.y1 : lr.y0, r.name);
    const int door = vertex(xd, wallY, -1, r.name + " door");
    const int inCorridor = attach(corridor, std::clamp(xd, lc.x0, lc.x1), south ? lc.y0 : lc.y1, c.name);
    link(inRoom, door);
    link(door, inCorridor);
  }

  // Corners and attached vertices of a room, linked around its loop.
  void closeLoop(int room) {
    const Room& r = floor_.rooms[room];
    const Loop l = LoopOf(r);
    std::vector<int>& ids = attached_[room];
    for (const auto& corner : {std::make_pair(l.x0, l.y0), std::make_pair(l.x1, l.y0),
                               std::make_pair(l.x1, l.y1), std::make_pair(l.x0, l.y1)})
      ids.push_back(vertex(corner.first, corner.second, room, r.name));
    // A corridor is open from wall to wall: a walker crosses it where they
    // meet it, not only at its ends. Every vertex on one of its long lanes
    // (a door's) is linked straight across to the other lane.
    if (r.corridor) {
      const std::vector<int> onLoop = ids;
      for (int id : onLoop) {
        const RouteVertex v = routes_->vertices[id - 1];
        const bool south = std::fabs(v.y - l.y0) < kOnLoop, north = std::fabs(v.y - l.y1) < kOnLoop;
        if (south == north || v.x <= l.x0 + kOnLoop || v.x >= l.x1 - kOnLoop) continue;
        const int across = vertex(v.x, south ? l.y1 : l.y0, room, r.name);
        ids.push_back(across);
        link(id, across);
      }
    }
    std::vector<std::pair<double, int>> around;
    for (int id : ids) {
      const RouteVertex& v = routes_->vertices[id - 1];
      around.push_back({Perimeter(l, v.x, v.y), id});
    }
    std::sort(around.begin(), around.end());
    around.erase(std::unique(around.begin(), around.end(),
                             [](const auto& a, const auto& b) { return a.second == b.second; }),
                 around.end());
    for (size_t i = 0; i + 1 < around.size(); ++i) link(around[i].second, around[i + 1].second);
    if (around.size() > 2) link(around.back().second, around.front().second);
  }

  // An inner wall piece along x.
  struct Piece {
    double x0, x1, y;
  };

  const VenueFloor& floor_;
  std::vector<Piece> horizontal_;  // by start
  VenueRoutes* routes_;
  FloorRoutes* out_;
  std::vector<std::vector<int>> attached_;
  std::set<std::pair<int, int>> linked_;
  std::map<std::pair<int64_t, int64_t>, std::vector<int>> cells_;
};

std::vector<RoutePoint> Rect(double x0, double y0, double x1, double y1) {
  return {{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}};
}

// The rectangle without its north-east quarter.
std::vector<RoutePoint> QuarterCutL(double x0, double y0, double x1, double y1) {
  const double xm = (x0 + x1) / 2, ym = (y0 + y1) / 2;
  return {{x0, y0}, {x1, y0}, {x1, ym}, {xm, ym}, {xm, y1}, {x0, y1}};
}

void AddBarriers(const VenueFloor& floor, FloorRoutes* out) {
  int id = 0;
  for (const Wall& w : floor.walls) {
    RouteBarrier b;
    b.id = ++id;
    if (!w.outer) {
      b.type = kBarrierWall;
      b.points = {{w.a.x, w.a.y}, {w.b.x, w.b.y}};
    } else {
      // The band the outer wall fills, closed, reaching past its ends so the
      // corners are covered too.
      b.type = kBarrierZone;
      const double len = Dist(w.a.x, w.a.y, w.b.x, w.b.y);
      const double h = w.thickness / 2;
      const double dx = len > 0 ? (w.b.x - w.a.x) / len * h : 0.0;
      const double dy = len > 0 ? (w.b.y - w.a.y) / len * h : 0.0;
      const double nx = -dy, ny = dx;
      b.points = {{w.a.x - dx - nx, w.a.y - dy - ny},
                  {w.b.x + dx - nx, w.b.y + dy - ny},
                  {w.b.x + dx + nx, w.b.y + dy + ny},
                  {w.a.x - dx + nx, w.a.y - dy + ny}};
    }
    out->barriers.push_back(std::move(b));
  }
}

void AddZones(const VenueFloor& floor, FloorRoutes* out) {
  int corridor = -1;
  for (size_t i = 0; i < floor.rooms.size(); ++i) {
    const Room& r = floor.rooms[i];
    if (r.corridor) corridor = static_cast<int>(i);
    RouteZone z;
    z.id = static_cast<int>(i) + 1;
    z.name = r.name;
    z.alias = std::to_string(floor.id) + "-" + r.name;
    z.color = r.corridor ? "#C0C0C0" : "#4F81BD";
    z.timeout = r.corridor ? 0 : 10;
    z.room = static_cast<int>(i);
    z.points = Rect(r.x0, r.y0, r.x1, r.y1);
    out->zones.push_back(std::move(z));
  }
  if (floor.rooms.empty()) return;
  RouteZone l;
  l.id = static_cast<int>(floor.rooms.size()) + 1;
  l.color = "#F79646";
  l.timeout = 10;
  const Room& first = floor.rooms[0];
  l.name = first.name + " with frontage";
  l.alias = std::to_string(floor.id) + "-" + first.name + "-L";
  const Room* c = corridor >= 0 ? &floor.rooms[corridor] : nullptr;
  // The first room together with the corridor in front of it and of its
  // neighbour; a room with no neighbour, or a hall, gets its own L instead.
  const double x2 = c ? std::min(c->x1, first.x1 + (first.x1 - first.x0)) : 0.0;
  if (c && !first.corridor && first.y1 <= c->y0 + kEps && x2 - first.x1 >= 0.5) {
    l.points = {{first.x0, first.y0}, {first.x1, first.y0}, {first.x1, c->y0},
                {x2, c->y0},          {x2, c->y1},          {first.x0, c->y1}};
  } else {
    l.points = QuarterCutL(first.x0, first.y0, first.x1, first.y1);
  }
  out->zones.push_back(std::move(l));
}

// Edge weight as the engine computes it.
double LinkWeight(const VenueRoutes& routes, int a, int b, double coef) {
  const RouteVertex* va = routes.vertex(a);
  const RouteVertex* vb = routes.vertex(b);
  if (!va || !vb) return std::numeric_limits<double>::quiet_NaN();
  const double d = va->floorId == vb->floorId
                       ? Dist(va->x, va->y, vb->x, vb->y)
                       : std::max(10.0, std::fabs(FloorAltitude(va->floorId) - FloorAltitude(vb->floorId)));
  return coef * d;
}

// Fractions of the floor size to 1e-9: well below a millimetre on any floor.
std::string Kx(double v, double size) { return FormatRounded(size > 0 ? v / size : 0.0, 9); }

void WriteEdge(tinyxml2::XMLElement* parent, const VenueRoutes& routes, int id, int src, int dst, double coef) {
  tinyxml2::XMLElement* e = parent->InsertNewChildElement("Edge");
  e->SetAttribute("id", id);
  e->SetAttribute("src", src);
  e->SetAttribute("dst", dst);
  e->SetAttribute("weight", FormatRounded(LinkWeight(routes, src, dst, coef), 2).c_str());
  e->SetAttribute("weight_coef", FormatDouble(coef).c_str());
}

}  // namespace

const RouteVertex* VenueRoutes::vertex(int id) const {
  if (id < 1 || id > static_cast<int>(vertices.size())) return nullptr;
  return &vertices[id - 1];
}

const FloorRoutes* VenueRoutes::floor(int floorId) const {
  for (const FloorRoutes& f : floors)
    if (f.floorId == floorId) return &f;
  return nullptr;
}

double FloorAltitude(int floorId) { return (floorId - 1) * kStoreyHeight; }

void BuildVenueRoutes(Venue* venue) {
  VenueRoutes routes;
  const bool linkable = venue->floors.size() > 1;
  for (const VenueFloor& floor : venue->floors) {
    FloorRoutes fr;
    fr.floorId = floor.id;
    fr.altitude = FloorAltitude(floor.id);
    FloorBuilder(floor, &routes, &fr).build(linkable);
    AddBarriers(floor, &fr);
    AddZones(floor, &fr);
    routes.floors.push_back(std::move(fr));
  }
  // Stairs join neighbouring floors; the lift stops on every floor.
  for (size_t i = 0; i < routes.floors.size(); ++i) {
    for (size_t j = i + 1; j < routes.floors.size(); ++j) {
      const FloorRoutes& a = routes.floors[i];
      const FloorRoutes& b = routes.floors[j];
      if (j == i + 1 && a.stairs && b.stairs) routes.floorLinks.push_back({a.stairs, b.stairs, 1.0});
      if (a.lift && b.lift) routes.floorLinks.push_back({a.lift, b.lift, kLiftCoef});
    }
  }
  venue->routes = std::move(routes);
}

VenueRoutes RoutesOf(const Venue& venue) {
  if (!venue.routes.empty() || venue.floors.empty()) return venue.routes;
  Venue copy;
  copy.setup = venue.setup;
  copy.floors = venue.floors;
  BuildVenueRoutes(&copy);
  return copy.routes;
}

void AddGraphFileEntry(tinyxml2::XMLElement* location) {
  tinyxml2::XMLElement* files = location->InsertNewChildElement("Files");
  tinyxml2::XMLElement* file = files->InsertNewChildElement("File");
  file->SetAttribute("type", "graph:xml");
  file->SetAttribute("name", kGraphMember);
  file->SetAttribute("tag", kGraphTag);
}

std::string GraphXml(const Venue& venue) {
  const VenueRoutes routes = RoutesOf(venue);
  tinyxml2::XMLDocument doc;
  tinyxml2::XMLElement* root = StartLocationDocument(doc, venue.setup.locationId);
  tinyxml2::XMLText* text = doc.NewText(("Corridors, rooms, stairs and lift of " + venue.setup.locationName).c_str());
  text->SetCData(true);
  root->InsertNewChildElement("Description")->InsertEndChild(text);
  int edgeId = 0;
  for (const FloorRoutes& fr : routes.floors) {
    tinyxml2::XMLElement* sub = root->InsertNewChildElement("Sublocation");
    sub->SetAttribute("id", fr.floorId);
    tinyxml2::XMLElement* options = sub->InsertNewChildElement("Options");
    options->SetAttribute("smooth_radius", "0");
    options->SetAttribute("stick_distance", "0.1");
    options->SetAttribute("barriers_enabled", "true");
    for (int id : fr.vertices) {
      const RouteVertex& v = routes.vertices[id - 1];
      tinyxml2::XMLElement* e = sub->InsertNewChildElement("Vertex");
      e->SetAttribute("id", v.id);
      e->SetAttribute("x", FormatDouble(v.x).c_str());
      e->SetAttribute("y", FormatDouble(v.y).c_str());
      if (v.elevation) e->SetAttribute("is_elevation", "1");
      e->SetAttribute("name", v.name.c_str());
    }
    for (const RouteLink& l : fr.edges) {
      WriteEdge(sub, routes, ++edgeId, l.a, l.b, l.weightCoef);
      WriteEdge(sub, routes, ++edgeId, l.b, l.a, l.weightCoef);
    }
  }
  tinyxml2::XMLElement* external = root->InsertNewChildElement("External");
  for (const RouteLink& l : routes.floorLinks) {
    WriteEdge(external, routes, ++edgeId, l.a, l.b, l.weightCoef);
    WriteEdge(external, routes, ++edgeId, l.b, l.a, l.weightCoef);
  }
  return DocumentText(doc);
}

std::string BarriersXml(const Venue& venue) {
  const VenueRoutes routes = RoutesOf(venue);
  tinyxml2::XMLDocument doc;
  tinyxml2::XMLElement* root = StartLocationDocument(doc, venue.setup.locationId);
  for (const FloorRoutes& fr : routes.floors) {
    tinyxml2::XMLElement* sub = root->InsertNewChildElement("Sublocation");
    sub->SetAttribute("id", fr.floorId);
    for (const RouteBarrier& b : fr.barriers) {
      tinyxml2::XMLElement* e = sub->InsertNewChildElement("Barrier");
      e->SetAttribute("id", b.id);
      e->SetAttribute("type", b.type == kBarrierZone ? "zone" : "wall");
      for (const RoutePoint& p : b.points) {
        tinyxml2::XMLElement* c = e->InsertNewChildElement("coord");
        c->SetAttribute("kx", Kx(p.x, venue.setup.width).c_str());
        c->SetAttribute("ky", Kx(p.y, venue.setup.height).c_str());
      }
    }
  }
  return DocumentText(doc);
}

std::string ZonesXml(const Venue& venue) {
  const VenueRoutes routes = RoutesOf(venue);
  tinyxml2::XMLDocument doc;
  tinyxml2::XMLElement* root = StartLocationDocument(doc, venue.setup.locationId);
  for (const FloorRoutes& fr : routes.floors) {
    tinyxml2::XMLElement* sub = root->InsertNewChildElement("Sublocation");
    sub->SetAttribute("id", fr.floorId);
    for (const RouteZone& z : fr.zones) {
      tinyxml2::XMLElement* e = sub->InsertNewChildElement("Zone");
      e->SetAttribute("id", z.id);
      e->SetAttribute("name", z.name.c_str());
      e->SetAttribute("color", z.color.c_str());
      e->SetAttribute("alias", z.alias.c_str());
      e->SetAttribute("timeout", z.timeout);
      e->SetAttribute("type", "polygon");
      tinyxml2::XMLElement* polygon = e->InsertNewChildElement("Polygon");
      for (const RoutePoint& p : z.points) {
        tinyxml2::XMLElement* v = polygon->InsertNewChildElement("Vertex");
        v->SetAttribute("kx", Kx(p.x, venue.setup.width).c_str());
        v->SetAttribute("ky", Kx(p.y, venue.setup.height).c_str());
      }
    }
  }
  return DocumentText(doc);
}

void AppendRouteMembers(const Venue& venue, std::vector<ArchiveMember>* members) {
  members->push_back({kGraphMember, GraphXml(venue)});
  members->push_back({kBarriersMember, BarriersXml(venue)});
  members->push_back({kZonesMember, ZonesXml(venue)});
}

int NearestRouteVertex(const VenueRoutes& routes, const Venue& venue, int floorId, double x, double y) {
  const FloorRoutes* fr = routes.floor(floorId);
  if (!fr) return 0;
  int room = -1;
  for (const VenueFloor& f : venue.floors) {
    if (f.id != floorId) continue;
    for (size_t i = 0; i < f.rooms.size() && room < 0; ++i) {
      const Room& r = f.rooms[i];
      if (x >= r.x0 && x <= r.x1 && y >= r.y0 && y <= r.y1) room = static_cast<int>(i);
    }
  }
  auto nearest = [&](bool sameRoom) {
    int best = 0;
    double bestD = std::numeric_limits<double>::infinity();
    for (int id : fr->vertices) {
      const RouteVertex& v = routes.vertices[id - 1];
      if (sameRoom && v.room != room) continue;
      const double d = Dist(v.x, v.y, x, y);
      if (d < bestD) bestD = d, best = id;
    }
    return best;
  };
  const int inRoom = room >= 0 ? nearest(true) : 0;
  return inRoom ? inRoom : nearest(false);
}

}  // namespace venuesim
