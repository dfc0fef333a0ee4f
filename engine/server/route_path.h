// The value types in which the engine speaks of places and routes. They cross
// every boundary of the engine, so their fields and meanings are fixed.
#pragma once

#include <vector>

// A point on one floor of a location; subLoc 0 means "no point".
struct LocationPoint {
  int subLoc = 0;
  double x = 0.0;
  double y = 0.0;

  LocationPoint() = default;
  LocationPoint(int sub, double px, double py) : subLoc(sub), x(px), y(py) {}
};

// Something the user meets along a route: 1 or 2 a turn (by its sign), 3 a
// change of sublocation (value is then the next sublocation id).
struct RouteEvent {
  int type = 0;
  int value = 0;
  double distance = 0.0;

  RouteEvent() = default;
  RouteEvent(int t, int v, double d) : type(t), value(v), distance(d) {}
};

// One route; the empty path (length 0, no points, no events) means "no route".
struct RoutePath {
  double length = 0.0;
  std::vector<LocationPoint> points;
  std::vector<RouteEvent> events;
};
