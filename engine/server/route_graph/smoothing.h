// Smoothing of the single-floor stretches of a route: nearly collinear vertices
// are dropped, corners are rounded into short arcs, and every corner that turns
// the walker by 10 degrees or more becomes a turn event.
#pragma once

#include <vector>

#include "server/route_path.h"

// The points that survive simplification with the given tolerance (metres),
// in input order; the first and last point always survive. A tolerance below
// 1e-8 or fewer than three points return the input unchanged.
std::vector<LocationPoint> DouglasPeucker(const std::vector<LocationPoint>& points,
                                          double tolerance);

// The polyline with each interior corner replaced by a circular arc that
// passes `radius` metres inside the corner (corners are kept as they are when
// the radius is below 1e-8). Turn events of 10 degrees or more are appended to
// `events` when it is not null, with distances along the returned polyline.
// Repeated points are dropped first.
std::vector<LocationPoint> RoundPolyLine(const std::vector<LocationPoint>& points, double radius,
                                         std::vector<RouteEvent>* events);

// RoundPolyLine(DouglasPeucker(points, radius), radius, events).
std::vector<LocationPoint> GetSmoothPath(const std::vector<LocationPoint>& points, double radius,
                                         std::vector<RouteEvent>* events);
