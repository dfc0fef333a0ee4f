// Route graphs, barriers and zones of generated venues, judged by the engine's
// own readers and route finding: the archive loads them without complaint,
// routes between any walkable points cross floors by stairs or lift and never
// pass through a wall, and the zones answer for the rooms.
#include <cmath>

#include <gtest/gtest.h>

#include "engine/server/log_capture.h"
#include "server/route_graph/route_graph.h"
#include "venue_test_util.h"
#include "venuesim/generator.h"
#include "venuesim/rng.h"
#include "venuesim/route_layout.h"
#include "venuesim/venue_archive.h"
#include "wifipos/navigation_map/navigation_map.h"

using namespace venuesim;
using venuesim_test::TempDir;

namespace {

struct Loaded {
  Venue venue;
  NavigationMap map;
};

// Generates the layout, writes its archive and loads it the engine's way.
void GenerateAndLoad(const VenueSpec& setup, Loaded* out) {
  std::string error;
  ASSERT_EQ(GenerateLayout(setup, &out->venue, &error), kOk) << error;
  TempDir dir;
  const std::string path = dir.file("map.mvz");
  ASSERT_EQ(WriteVenueArchive(out->venue, path, &error), kOk) << error;
  LogCapture log(11);
  ASSERT_EQ(out->map.setPathToNavArchive(path.c_str()), 0);
  ASSERT_EQ(out->map.parseAllFiles(false), 0);
  EXPECT_FALSE(log.contains("WARNING in parseGraph")) << log.text();
  EXPECT_FALSE(log.contains("WARNING in parseZones")) << log.text();
}

const VenueFloor& FloorOf(const Venue& v, int id) { return v.floors[static_cast<size_t>(id - 1)]; }

LocationPoint RandomWalkable(const Venue& v, int floorId, Rng& rng) {
  const VenueFloor& f = FloorOf(v, floorId);
  for (;;) {
    const double x = rng.uniform(0.0, v.setup.width), y = rng.uniform(0.0, v.setup.height);
    if (f.grid.clear(x, y, 0.02)) return LocationPoint(floorId, x, y);
  }
}

// Every 2 cm of the segment lies on a walkable pixel.
bool Walkable(const VenueFloor& f, double x0, double y0, double x1, double y1) {
  const int n = 1 + static_cast<int>(std::hypot(x1 - x0, y1 - y0) / 0.02);
  for (int i = 0; i <= n; ++i) {
    const double t = static_cast<double>(i) / n;
    if (!f.grid.walkable(x0 + t * (x1 - x0), y0 + t * (y1 - y0))) return false;
  }
  return true;
}

VenueSpec Spec(uint64_t seed, int floors) {
  VenueSpec s = venuesim_test::SmallSpec(seed);
  s.floors = floors;
  return s;
}

}  // namespace

// Plain venues, an open hall, and tight geometry (narrow corridor, thick walls,
// small rooms, narrow doors): all of it read back as generated.
TEST(RouteLayoutTest, ArchivesCarryTheGraphBarriersAndZonesOfTheModel) {
  std::vector<VenueSpec> specs = {Spec(1, 1), Spec(2, 2), Spec(3, 3), Spec(5, 5), VenueSpec()};
  VenueSpec hall = Spec(6, 2);
  hall.height = 7.0;
  VenueSpec tight = Spec(7, 3);
  tight.corridorWidth = 1.0;
  tight.wallThickness = 0.6;
  tight.roomWidth = 2.0;
  tight.doorWidth = 0.8;
  specs.push_back(hall);
  specs.push_back(tight);
  for (const VenueSpec& setup : specs) {
    SCOPED_TRACE("seed " + std::to_string(setup.seed));
    Loaded l;
    ASSERT_NO_FATAL_FAILURE(GenerateAndLoad(setup, &l));
    const VenueRoutes& model = l.venue.routes;
    ASSERT_EQ(l.map.getGraphs().size(), 1u);
    const RouteGraph& g = l.map.getGraphs()[0];
    EXPECT_EQ(g.getTag(), "default");
    EXPECT_EQ(g.getName(), "graph.xml");
    size_t edges = 2 * model.floorLinks.size(), barriers = 0;
    for (const RouteLink& e : model.floorLinks) EXPECT_TRUE(model.vertex(e.a)->elevation && model.vertex(e.b)->elevation);
    for (const FloorRoutes& f : model.floors) {
      edges += 2 * f.edges.size();
      for (const RouteLink& e : f.edges) {
        const RouteVertex& a = *model.vertex(e.a);
        const RouteVertex& b = *model.vertex(e.b);
        EXPECT_TRUE(Walkable(FloorOf(l.venue, f.floorId), a.x, a.y, b.x, b.y)) << a.name << " - " << b.name;
      }
      barriers += f.barriers.size();
      EXPECT_DOUBLE_EQ(g.getSubLocation(f.floorId).altitude, f.altitude);
      // Stairs and lift are the elevation points, on every floor of a multi-floor venue.
      std::vector<int> lifts;
      for (const RouteGraph::Vertex& v : g.getElevationPoints(f.floorId)) lifts.push_back(v.id);
      EXPECT_EQ(lifts, setup.floors > 1 ? std::vector<int>({f.stairs, f.lift}) : std::vector<int>());
      const std::vector<Zone> zones = l.map.getZones().getZones(f.floorId);
      ASSERT_EQ(zones.size(), f.zones.size());
      for (size_t i = 0; i < zones.size(); ++i) EXPECT_EQ(zones[i].name, f.zones[i].name);
    }
    // Nothing was merged or dropped on reading.
    ASSERT_EQ(static_cast<size_t>(std::distance(g.vertexBegin(), g.vertexEnd())), model.vertices.size());
    EXPECT_EQ(static_cast<size_t>(std::distance(g.edgeBegin(), g.edgeEnd())), edges);
    EXPECT_EQ(static_cast<size_t>(std::distance(g.barrierBegin(), g.barrierEnd())), barriers);
    for (const RouteVertex& v : model.vertices) {
      const RouteGraph::Vertex got = g.getVertex(v.id);
      EXPECT_EQ(got.subLoc, v.floorId);
      EXPECT_EQ(got.x, v.x);
      EXPECT_EQ(got.y, v.y);
      // Every vertex is on walkable ground and reachable from the first one.
      EXPECT_TRUE(FloorOf(l.venue, v.floorId).grid.walkable(v.x, v.y)) << v.name;
      EXPECT_FALSE(ShortestRoute(model, 1, v.id).empty()) << v.id;
    }
    // A venue assembled without routes writes the ones its floors give.
    Venue bare = l.venue;
    bare.routes = VenueRoutes();
    EXPECT_EQ(GraphXml(bare), GraphXml(l.venue));
    EXPECT_EQ(ZonesXml(bare), ZonesXml(l.venue));
  }
}

// Routes found by the engine between random walkable points start and end at
// those points, change floor with an event per change, and every straight
// piece stays on walkable ground; routes on the model do the same.
TEST(RouteLayoutTest, RoutesJoinAnyWalkablePointsWithoutCrossingWalls) {
  VenueSpec tight = Spec(21, 2);
  tight.wallThickness = 0.4;
  tight.corridorWidth = 1.4;
  for (const VenueSpec& setup : {Spec(20, 3), tight, VenueSpec()}) {
    Loaded l;
    ASSERT_NO_FATAL_FAILURE(GenerateAndLoad(setup, &l));
    const Venue& v = l.venue;
    const RouteGraph& g = l.map.getGraphs()[0];
    Rng rng(setup.seed * 31 + 7);
    for (int k = 0; k < 60; ++k) {
      const int fa = rng.uniformInt(1, setup.floors), fb = rng.uniformInt(1, setup.floors);
      const LocationPoint a = RandomWalkable(v, fa, rng), b = RandomWalkable(v, fb, rng);
      SCOPED_TRACE(std::to_string(fa) + ":" + std::to_string(a.x) + "," + std::to_string(a.y) + " -> " +
                   std::to_string(fb) + ":" + std::to_string(b.x) + "," + std::to_string(b.y));
      const RoutePath r = g.getPath(a, b);
      ASSERT_GE(r.points.size(), 2u);
      // No barrier clips the ends; a point closer than the stick distance to a
      // vertex is taken at that vertex.
      EXPECT_LT(std::hypot(r.points.front().x - a.x, r.points.front().y - a.y), 0.1);
      EXPECT_LT(std::hypot(r.points.back().x - b.x, r.points.back().y - b.y), 0.1);
      EXPECT_EQ(r.points.back().subLoc, fb);
      int changes = 0;
      for (const RouteEvent& e : r.events) changes += e.type == 3;
      EXPECT_EQ(changes > 0, fa != fb);
      for (size_t i = 1; i < r.points.size(); ++i) {
        const LocationPoint& p = r.points[i - 1];
        const LocationPoint& q = r.points[i];
        if (p.subLoc == q.subLoc) {
          EXPECT_TRUE(Walkable(FloorOf(v, p.subLoc), p.x, p.y, q.x, q.y)) << i;
        }
      }
      // The same walk on the model: into the graph at the nearest vertex of the
      // point's room, along linked vertices, out at the other end.
      const int va = NearestRouteVertex(v.routes, v, fa, a.x, a.y);
      const int vb = NearestRouteVertex(v.routes, v, fb, b.x, b.y);
      const RouteVertex* sa = v.routes.vertex(va);
      const RouteVertex* sb = v.routes.vertex(vb);
      ASSERT_TRUE(sa && sb);
      EXPECT_TRUE(Walkable(FloorOf(v, fa), a.x, a.y, sa->x, sa->y));
      EXPECT_TRUE(Walkable(FloorOf(v, fb), sb->x, sb->y, b.x, b.y));
      // Every model edge is walkable (checked on reading), so a found path is too.
      const std::vector<int> path = ShortestRoute(v.routes, va, vb);
      ASSERT_FALSE(path.empty());
      EXPECT_TRUE(path.front() == va && path.back() == vb);
    }
    // A straight step from one room into the next stops at the wall between them.
    for (const VenueFloor& f : v.floors) {
      const Room& r0 = f.rooms[0];
      const Room& r1 = f.rooms[1];
      const LocationPoint from(f.id, (r0.x0 + r0.x1) / 2, (r0.y0 + r0.y1) / 2);
      const LocationPoint stop = g.getBarrierIntersection(from, LocationPoint(f.id, (r1.x0 + r1.x1) / 2, from.y));
      EXPECT_NEAR(stop.x, (r0.x1 + r1.x0) / 2, 1e-6);
    }
    // Unknown vertices have no route.
    EXPECT_TRUE(ShortestRoute(v.routes, 0, 1).empty());
    EXPECT_TRUE(ShortestRoute(v.routes, 1, static_cast<int>(v.routes.vertices.size()) + 1).empty());
  }
}

// Every point of a room lies in that room's zone and in no other room's; the
// L-shaped zone holds its own corner but not the notch cut out of it.
TEST(RouteLayoutTest, ZonesAnswerForRoomsAndLShapesStayConcave) {
  VenueSpec hall = Spec(31, 1);
  hall.height = 7.0;
  for (const VenueSpec& setup : {Spec(30, 2), hall}) {
    Loaded l;
    ASSERT_NO_FATAL_FAILURE(GenerateAndLoad(setup, &l));
    const ZoneMap& zones = l.map.getZones();
    Rng rng(setup.seed);
    for (const VenueFloor& f : l.venue.floors) {
      for (size_t r = 0; r < f.rooms.size(); ++r) {
        const Room& room = f.rooms[r];
        for (int k = 0; k < 20; ++k) {
          const double x = rng.uniform(room.x0, room.x1), y = rng.uniform(room.y0, room.y1);
          int rooms = 0;
          bool own = false;
          for (const Zone& z : zones.getZones(f.id, x, y)) {
            const RouteZone& made = l.venue.routes.floor(f.id)->zones[static_cast<size_t>(z.id - 1)];
            rooms += made.room >= 0;
            own = own || made.room == static_cast<int>(r);
          }
          EXPECT_TRUE(own && rooms == 1) << room.name << " " << x << "," << y;
        }
      }
      const RouteZone& lz = l.venue.routes.floor(f.id)->zones.back();
      ASSERT_EQ(lz.room, -1);
      // The reflex corner: the notch lies between its two edges.
      int reflex = 0;
      const size_t n = lz.points.size();
      for (size_t i = 0; i < n; ++i) {
        const RoutePoint& p = lz.points[(i + n - 1) % n];
        const RoutePoint& c = lz.points[i];
        const RoutePoint& q = lz.points[(i + 1) % n];
        if ((c.x - p.x) * (q.y - c.y) - (c.y - p.y) * (q.x - c.x) >= 0) continue;
        ++reflex;
        const double ux = (p.x - c.x) / std::hypot(p.x - c.x, p.y - c.y) + (q.x - c.x) / std::hypot(q.x - c.x, q.y - c.y);
        const double uy = (p.y - c.y) / std::hypot(p.x - c.x, p.y - c.y) + (q.y - c.y) / std::hypot(q.x - c.x, q.y - c.y);
        auto inL = [&](double s) {
          for (const Zone& z : zones.getZones(f.id, c.x + s * ux, c.y + s * uy))
            if (z.id == lz.id) return true;
          return false;
        };
        EXPECT_FALSE(inL(0.2)) << lz.name;
        EXPECT_TRUE(inL(-0.2)) << lz.name;
      }
      EXPECT_EQ(reflex, 1) << lz.name;
    }
  }
}
