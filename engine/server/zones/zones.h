// Zones of a location: named polygons per floor, read from the floor sizes of
// config.xml and the polygons of zones.xml, written back in the zones.xml form,
// and asked which of them contain a point.
#pragma once

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "server/route_graph/geometry.h"  // PointOnLine, XRayIntersectsLine
#include "server/route_path.h"
#include "server/zone.h"

class ZoneMap {
 public:
  // One floor: its size in metres (zones.xml stores vertices relative to it)
  // and its zones, ordered and unique by zone id.
  struct SubLocation {
    int id = 0;
    double width = 0.0;
    double height = 0.0;
    std::map<int, Zone> zones;

    SubLocation() = default;
    SubLocation(int floorId, double floorWidth, double floorHeight)
        : id(floorId), width(floorWidth), height(floorHeight) {}

    // Inserts the zone unless one with its id is already there (that one stays).
    bool addZone(const Zone& zone);
  };

  ZoneMap() = default;
  ZoneMap(const ZoneMap&) = default;
  ZoneMap& operator=(const ZoneMap&) = default;

  // Location 0, no floors.
  void clear();
  bool isEmpty() const { return subLocations_.empty(); }
  void setLocation(int location) { location_ = location; }
  int getLocation() const { return location_; }  // interface; unused by the kit

  // Inserts the floor unless one with its id exists (the existing one stays).
  void addSubLocation(const SubLocation& subLocation);
  // A copy of the floor, or a floor with id 0, sizes 0 and no zones.
  SubLocation getSubLocation(int id) const;
  // A copy of the zone, or an empty zone (id 0).
  Zone getZone(int sublocationId, int zoneId) const;

  // Zones of the floor containing the point (edges and vertices count as
  // inside), in id order.
  std::vector<Zone> getZones(int sublocationId, double x, double y) const;
  std::vector<Zone> getZones(const LocationPoint& point) const;
  // As getZones, with hysteresis for a position that wobbles: a zone of
  // `previous` stays until the point is more than `leaveMargin` metres
  // outside it, and another zone is entered only once the point is
  // `enterMargin` metres inside it. Margins of 0 give getZones.
  std::vector<Zone> getZones(int sublocationId, double x, double y,
                             const std::vector<Zone>& previous, double enterMargin,
                             double leaveMargin) const;
  // All zones of the floor, in id order.
  std::vector<Zone> getZones(int sublocationId) const;

  // Reads the location id and the floor sizes of config.xml into this map.
  bool parseConfig(const std::string& configXml, std::string* error);
  // Reads the polygons of zones.xml onto floors already known from config.xml.
  // What was read before a failure stays.
  bool parseZones(const std::string& zonesXml, std::string* error);
  // A fresh map from both members; an empty map when either fails.
  static ZoneMap parse(const std::string& configXml, const std::string& zonesXml,
                       std::string* error, bool* ok);

  // The zones.xml text of this map.
  std::string toString() const;
  // Writes toString() to the stream (nothing for a null stream).
  void print(FILE* stream) const;

 private:
  int location_ = 0;
  std::map<int, SubLocation> subLocations_;
};
