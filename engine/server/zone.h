// A polygon zone of a floor (shop, hall, area of interest).
#pragma once

#include <string>
#include <vector>

#include "server/route_path.h"

struct Zone {
  int id = 0;
  std::string name;
  std::string color;
  std::string alias;
  std::vector<LocationPoint> points;
  int timeout = 0;

  // Implemented by the zones module.
  bool containsPoint(double x, double y) const;
  // Distance from the point to the nearest edge of the polygon, inside or
  // outside; infinity for a zone without vertices.
  double distanceToEdge(double x, double y) const;
};
