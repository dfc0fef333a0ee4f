// Route graphs, barriers and zones of generated venues, judged by the engine's
// own readers and route finding: the archive loads them without complaint,
// every link and vertex lies on walkable ground, routes between walkable
// points cross floors by stairs or lift and never pass through a wall, and
// the zones answer for the rooms.
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

namespace {

struct Loaded {
  Venue venue;
  NavigationMap map{EngineBehaviour::kit()};
};

void GenerateAndLoad(const VenueSpec& setup, Loaded* out) {
  std::string error;
  ASSERT_EQ(GenerateLayout(setup, &out->venue, &error), kOk) << error;
  venuesim_test::TempDir dir;
  const std::string path = dir.file("map.mvz");
  ASSERT_EQ(WriteVenueArchive(out->venue, path, &error), kOk) << error;
  LogCapture log(11);
  ASSERT_EQ(out->map.setPathToNavArchive(path.c_str()), 0);
  ASSERT_EQ(out->map.parseAllFiles(false), 0);
  EXPECT_FALSE(log.contains("WARNING in parseGraph")) << log.text();
  EXPECT_FALSE(log.contains("WARNING in parseZones")) << log.text();
}

const VenueFloor& FloorOf(const Venue& v, int id) { return v.floors[static_cast<size_t>(id - 1)]; }

// Every 2 cm of the segment lies on a walkable pixel.
bool Walkable(const VenueFloor& f, double x0, double y0, double x1, double y1) {
  const int n = 1 + static_cast<int>(std::hypot(x1 - x0, y1 - y0) / 0.02);
  for (int i = 0; i <= n; ++i) {
    const double t = static_cast<double>(i) / n;
    if (!f.grid.walkable(x0 + t * (x1 - x0), y0 + t * (y1 - y0))) return false;
  }
  return true;
}

std::vector<VenueSpec> Specs() {
  VenueSpec three = venuesim_test::SmallSpec(3);
  three.floors = 3;
  VenueSpec hall = venuesim_test::SmallSpec(6);
  hall.height = 7.0;  // too shallow for rooms: one open hall
  VenueSpec tight = venuesim_test::SmallSpec(7);
  tight.corridorWidth = 1.0;
  tight.wallThickness = 0.6;
  tight.roomWidth = 2.0;
  tight.doorWidth = 0.8;
  VenueSpec one = venuesim_test::SmallSpec(8);
  one.floors = 1;  // nowhere to go: no stairs, no lift
  return {three, hall, tight, one};
}

TEST(RouteLayoutTest, GraphsLieOnWalkableGroundAndRoutesKeepToIt) {
  for (const VenueSpec& setup : Specs()) {
    SCOPED_TRACE("seed " + std::to_string(setup.seed));
    Loaded l;
    ASSERT_NO_FATAL_FAILURE(GenerateAndLoad(setup, &l));
    const Venue& v = l.venue;
    const VenueRoutes& model = v.routes;
    ASSERT_EQ(l.map.getGraphs().size(), 1u);
    const RouteGraph& g = l.map.getGraphs()[0];
    size_t edges = 2 * model.floorLinks.size();
    for (const RouteLink& e : model.floorLinks) {
      EXPECT_TRUE(model.vertex(e.a)->elevation && model.vertex(e.b)->elevation);
      EXPECT_NE(model.vertex(e.a)->floorId, model.vertex(e.b)->floorId);
    }
    for (const FloorRoutes& f : model.floors) {
      edges += 2 * f.edges.size();
      for (const RouteLink& e : f.edges) {
        const RouteVertex& a = *model.vertex(e.a);
        const RouteVertex& b = *model.vertex(e.b);
        EXPECT_EQ(a.floorId, f.floorId);
        EXPECT_TRUE(Walkable(FloorOf(v, f.floorId), a.x, a.y, b.x, b.y)) << a.name << " - " << b.name;
      }
      EXPECT_DOUBLE_EQ(g.getSubLocation(f.floorId).altitude, f.altitude);
      std::vector<int> lifts;
      for (const RouteGraph::Vertex& e : g.getElevationPoints(f.floorId)) lifts.push_back(e.id);
      EXPECT_EQ(lifts, setup.floors > 1 ? std::vector<int>({f.stairs, f.lift}) : std::vector<int>());
      EXPECT_EQ(l.map.getZones().getZones(f.floorId).size(), f.zones.size());
    }
    // Nothing merged or dropped on reading; every vertex on walkable ground.
    ASSERT_EQ(static_cast<size_t>(std::distance(g.vertexBegin(), g.vertexEnd())), model.vertices.size());
    EXPECT_EQ(static_cast<size_t>(std::distance(g.edgeBegin(), g.edgeEnd())), edges);
    for (const RouteVertex& rv : model.vertices) {
      EXPECT_EQ(g.getVertex(rv.id).subLoc, rv.floorId);
      EXPECT_TRUE(FloorOf(v, rv.floorId).grid.walkable(rv.x, rv.y)) << rv.name;
      // Links meeting at one place share one vertex.
      for (const RouteVertex& other : model.vertices) {
        if (other.id > rv.id && other.floorId == rv.floorId) {
          EXPECT_GT(std::hypot(other.x - rv.x, other.y - rv.y), 0.01) << rv.name << " and " << other.name;
        }
      }
    }
    // An outer wall's barrier is the band it fills, a rectangle: equal
    // diagonals that halve each other.
    for (const FloorRoutes& f : model.floors) {
      for (const RouteBarrier& b : f.barriers) {
        if (b.type != kBarrierZone) continue;
        ASSERT_EQ(b.points.size(), 4u);
        const RoutePoint* q = b.points.data();
        EXPECT_NEAR(std::hypot(q[2].x - q[0].x, q[2].y - q[0].y), std::hypot(q[3].x - q[1].x, q[3].y - q[1].y), 1e-9);
        EXPECT_NEAR(q[0].x + q[2].x, q[1].x + q[3].x, 1e-9);
        EXPECT_NEAR(q[0].y + q[2].y, q[1].y + q[3].y, 1e-9);
      }
    }

    // Routes between random walkable points: from one end to the other, a
    // floor-change event when the floors differ, walkable straight pieces.
    Rng rng(setup.seed * 31 + 7);
    for (int k = 0; k < 40; ++k) {
      const int fa = rng.uniformInt(1, setup.floors), fb = rng.uniformInt(1, setup.floors);
      auto pick = [&](int floorId) {
        for (;;) {
          const double x = rng.uniform(0.0, setup.width), y = rng.uniform(0.0, setup.height);
          if (FloorOf(v, floorId).grid.clear(x, y, 0.02)) return LocationPoint(floorId, x, y);
        }
      };
      const LocationPoint a = pick(fa), b = pick(fb);
      SCOPED_TRACE(std::to_string(fa) + ":" + std::to_string(a.x) + "," + std::to_string(a.y) + " -> " +
                   std::to_string(fb) + ":" + std::to_string(b.x) + "," + std::to_string(b.y));
      const RoutePath r = g.getPath(a, b);
      ASSERT_GE(r.points.size(), 2u);
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
      // Into the model at the nearest vertex of the point's room, reached in a straight line.
      const RouteVertex* sa = model.vertex(NearestRouteVertex(model, v, fa, a.x, a.y));
      ASSERT_TRUE(sa);
      EXPECT_TRUE(Walkable(FloorOf(v, fa), a.x, a.y, sa->x, sa->y));
    }
    // The wall barriers stand where the walls are: a straight step from one
    // room towards the next stops at the wall between them.
    for (const VenueFloor& f : v.floors) {
      if (f.rooms.size() < 2 || f.rooms[0].corridor || f.rooms[1].corridor) continue;
      const Room& r0 = f.rooms[0];
      const Room& r1 = f.rooms[1];
      const LocationPoint from(f.id, (r0.x0 + r0.x1) / 2, (r0.y0 + r0.y1) / 2);
      const LocationPoint stop = g.getBarrierIntersection(from, LocationPoint(f.id, (r1.x0 + r1.x1) / 2, from.y));
      EXPECT_NEAR(stop.x, (r0.x1 + r1.x0) / 2, 1e-6) << r0.name << " | " << r1.name;
    }
  }
}

// A corridor is crossed where a walker meets it: from any door to any other
// the route is no longer than the way straight out of the one door, along the
// corridor and straight into the other, never out to the corridor's end and
// back along its other side.
TEST(RouteLayoutTest, CorridorsAreCrossedAtTheDoors) {
  VenueSpec wide = venuesim_test::SmallSpec(12);
  wide.width = 60.0;
  wide.height = 30.0;
  std::vector<VenueSpec> specs = Specs();
  specs.push_back(wide);
  for (const VenueSpec& setup : specs) {
    SCOPED_TRACE("seed " + std::to_string(setup.seed));
    Loaded l;
    ASSERT_NO_FATAL_FAILURE(GenerateAndLoad(setup, &l));
    const RouteGraph& g = l.map.getGraphs()[0];
    int across = 0;
    for (const FloorRoutes& f : l.venue.routes.floors) {
      const std::vector<Room>& rooms = FloorOf(l.venue, f.floorId).rooms;
      // Each door with the vertex of the corridor's lane it leads onto.
      std::vector<std::pair<const RouteVertex*, const RouteVertex*>> doors;
      for (const RouteLink& e : f.edges) {
        const RouteVertex* a = l.venue.routes.vertex(e.a);
        const RouteVertex* b = l.venue.routes.vertex(e.b);
        if (a->room >= 0) std::swap(a, b);
        if (a->room < 0 && b->room >= 0 && rooms[static_cast<size_t>(b->room)].corridor) doors.push_back({a, b});
      }
      for (const auto& [a, laneA] : doors) {
        for (const auto& [b, laneB] : doors) {
          if (a == b) continue;
          const RoutePath r = g.getPath(LocationPoint(f.floorId, a->x, a->y), LocationPoint(f.floorId, b->x, b->y));
          const double straight = std::hypot(a->x - laneA->x, a->y - laneA->y) + std::fabs(laneA->x - laneB->x) +
                                  std::fabs(laneA->y - laneB->y) + std::hypot(laneB->x - b->x, laneB->y - b->y);
          // Where two doors nearly face each other the crossing may even be a little shorter.
          EXPECT_LE(r.length, straight + 1e-6) << a->name << " -> " << b->name;
          across += laneA->y != laneB->y;
        }
      }
    }
    // The hall has no doors; every other venue has rooms on both sides.
    EXPECT_EQ(across > 0, setup.height > 10.0);
  }
}

// Every point of a room lies in that room's zone and in no other room's; the
// L-shaped zone of each floor holds its own corner but not the notch cut out of it.
TEST(RouteLayoutTest, ZonesAnswerForTheirRooms) {
  VenueSpec setup = venuesim_test::SmallSpec(30);
  Loaded l;
  ASSERT_NO_FATAL_FAILURE(GenerateAndLoad(setup, &l));
  const ZoneMap& zones = l.map.getZones();
  Rng rng(setup.seed);
  for (const VenueFloor& f : l.venue.floors) {
    for (size_t r = 0; r < f.rooms.size(); ++r) {
      const Room& room = f.rooms[r];
      for (int k = 0; k < 10; ++k) {
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

}  // namespace
