// The generated venue: per floor its walls, rooms, walkable grid, beacons and
// surveyed reference points. Plain values; the writers turn them into members.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "venuesim/route_layout.h"
#include "venuesim/venue_spec.h"
#include "venuesim/walkable_grid.h"

namespace venuesim {

struct Point {
  double x = 0.0;
  double y = 0.0;
};

// A straight wall piece, by its centre line; doors are gaps between pieces.
struct Wall {
  Point a;
  Point b;
  double thickness = 0.2;
  bool outer = false;
};

// An axis-aligned area between walls (a room or the corridor).
struct Room {
  double x0 = 0.0, y0 = 0.0, x1 = 0.0, y1 = 0.0;
  std::string name;
  bool corridor = false;
};

struct VenueBeacon {
  int baseId = 0;
  double x = 0.0, y = 0.0;
  double kx = 0.0, ky = 0.0;  // as written: x = kx * floor width
  double A = 0.0;             // dBm at 1 m
  double B = 0.0;             // path-loss exponent: A - 10 B log10(d)
  int power = 0;              // advertised measured power, dBm
  int battery = 100;
  int major = 0;
  int minor = 0;
  std::string uuid;           // upper case
  std::string name;
  std::string status = "ok";
  bool onWall = false;        // else on the ceiling

  // "(" major "," minor "," uuid ")", major and minor zero-padded to 5 digits.
  std::string key() const;
};

// The received levels of one beacon at one reference point: level magnitude
// (dBm without sign) to the number of samples at that level.
struct SurveyEntry {
  std::string key;
  int power = 0;
  int battery = 100;
  std::map<int, int> histogram;
};

struct SurveyPoint {
  std::string name;
  double x = 0.0, y = 0.0;
  double kx = 0.0, ky = 0.0;  // as written: x = kx * floor width
  int durationMs = 0;
  double magnet = 0.0;        // magnetic intensity, microtesla
  std::vector<SurveyEntry> entries;
};

struct VenueFloor {
  int id = 0;
  std::string name;
  std::vector<Wall> walls;
  std::vector<Room> rooms;
  WalkableGrid grid;
  std::vector<VenueBeacon> beacons;
  std::vector<SurveyPoint> points;
};

struct Venue {
  VenueSpec setup;
  std::string uuid;  // proximity UUID of every beacon, upper case
  std::vector<VenueFloor> floors;
  VenueRoutes routes;  // route graph, barriers and zones of all floors

  // Member names of a floor's bitmap and image in the archive.
  static std::string BitmapName(int floorId);
  static std::string ImageName(int floorId);
};

// Formats a beacon key from its parts.
std::string BeaconKey(int major, int minor, const std::string& uuid);

}  // namespace venuesim
