// Routes, barriers and zones of a generated venue. Every room (the corridor
// and an open hall included) gets a loop of two-way edges a little inside its
// walls; every door joins the loop of its room to the corridor's loop, whose
// two long lanes are linked straight across at every door; stairs
// at the west end and a lift at the east end of each floor's corridor (or
// hall) join the floors. The inner walls become wall barriers, the outer
// walls closed zone barriers, and the rooms rectangular zones next to one
// L-shaped zone per floor. The same model is written as the graph file,
// barriers.xml and zones.xml of the archive, and can be routed on directly.
#pragma once

#include <string>
#include <vector>

namespace tinyxml2 {
class XMLElement;
}

namespace venuesim {

struct Venue;
struct ArchiveMember;

struct RoutePoint {
  double x = 0.0;
  double y = 0.0;
};

struct RouteVertex {
  int id = 0;          // unique across the venue, from 1
  int floorId = 0;
  double x = 0.0, y = 0.0;
  int room = -1;       // index into the floor's rooms; -1 for a vertex in a doorway
  bool elevation = false;  // stairs or lift: where a walk may change floor
  std::string name;
};

// A two-way connection, written as one directed edge each way.
struct RouteLink {
  int a = 0;
  int b = 0;
  double weightCoef = 1.0;
};

struct RouteBarrier {
  int id = 0;
  int type = 0;  // kBarrierZone or kBarrierWall
  std::vector<RoutePoint> points;
};

struct RouteZone {
  int id = 0;
  std::string name;
  std::string color;
  std::string alias;
  int timeout = 0;
  int room = -1;  // the room it outlines; -1 for the L-shaped zone
  std::vector<RoutePoint> points;
};

enum BarrierType { kBarrierZone = 1, kBarrierWall = 2 };

struct FloorRoutes {
  int floorId = 0;
  double altitude = 0.0;   // metres above the first floor
  std::vector<int> vertices;  // ids of this floor's vertices, ascending
  std::vector<RouteLink> edges;
  int stairs = 0;          // vertex id of the stairs on this floor
  int lift = 0;            // vertex id of the lift on this floor
  std::vector<RouteBarrier> barriers;
  std::vector<RouteZone> zones;
};

struct VenueRoutes {
  std::vector<RouteVertex> vertices;  // vertex id k at index k - 1
  std::vector<FloorRoutes> floors;    // in the venue's floor order
  std::vector<RouteLink> floorLinks;  // stairs and lift between floors

  bool empty() const { return vertices.empty(); }
  // Null for an unknown id.
  const RouteVertex* vertex(int id) const;
  // Null for an unknown floor.
  const FloorRoutes* floor(int floorId) const;
};

// Archive names and the tag under which config.xml lists the graph.
extern const char kGraphTag[];
extern const char kGraphMember[];
extern const char kBarriersMember[];
extern const char kZonesMember[];

// Height of one storey; floor f lies (f - 1) storeys above floor 1.
constexpr double kStoreyHeight = 4.0;
double FloorAltitude(int floorId);

// Fills venue->routes from the floors' rooms and walls.
void BuildVenueRoutes(Venue* venue);

// The routes written for a venue: its own, or built from its floors when it
// has none (a venue assembled by hand).
VenueRoutes RoutesOf(const Venue& venue);

// The location-wide "Files" element of config.xml naming the graph file.
void AddGraphFileEntry(tinyxml2::XMLElement* location);

std::string GraphXml(const Venue& venue);
std::string BarriersXml(const Venue& venue);
std::string ZonesXml(const Venue& venue);
// Appends the graph file, barriers.xml and zones.xml.
void AppendRouteMembers(const Venue& venue, std::vector<ArchiveMember>* members);

// The vertex nearest to (x, y) among those of the room containing the point,
// or of the whole floor when no room does; 0 when the floor has none.
int NearestRouteVertex(const VenueRoutes& routes, const Venue& venue, int floorId, double x, double y);

}  // namespace venuesim
