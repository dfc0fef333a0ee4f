// Floors, vertices and edges of hand-built route graphs.
#pragma once

#include "server/route_graph/route_graph.h"

namespace routetest {

// A 100 x 50 m floor.
inline RouteGraph::SubLocation Floor(int id, double altitude = 0.0) {
  RouteGraph::SubLocation s;
  s.id = id;
  s.width = 100;
  s.height = 50;
  s.altitude = altitude;
  return s;
}

// Id 0 asks the graph for a fresh id.
inline RouteGraph::Vertex V(int subLoc, int id, double x, double y) {
  RouteGraph::Vertex v;
  v.subLoc = subLoc;
  v.id = id;
  v.x = x;
  v.y = y;
  return v;
}

inline RouteGraph::Edge E(int subLoc, int id, int src, int dst, double coef = 1.0) {
  RouteGraph::Edge e;
  e.subLoc = subLoc;
  e.id = id;
  e.src = src;
  e.dst = dst;
  e.weightCoef = coef;
  return e;
}

}  // namespace routetest
