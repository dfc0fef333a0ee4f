// Small planar geometry helpers shared by route finding, smoothing, barriers
// and zones. All coordinates are metres on one floor.
#pragma once

#include "server/route_path.h"

// Euclidean distance between (x1, y1) and (x2, y2).
double GetDist(double x1, double y1, double x2, double y2);

// Planar distance of two points; NaN when they lie on different floors.
double GetDist(const LocationPoint& a, const LocationPoint& b);

// Distance of c from the infinite line through a and b. NaN unless all three
// share a floor, and NaN when a and b coincide (the line is undefined).
double GetDist(const LocationPoint& a, const LocationPoint& b, const LocationPoint& c);

// Determinant of the 2 x 2 matrix with rows (a, b) and (c, d).
double Determinant(double a, double b, double c, double d);

// Determinant of the 3 x 3 matrix given row by row.
double Determinant(double a11, double a12, double a13,
                   double a21, double a22, double a23,
                   double a31, double a32, double a33);

// Projects p onto the line through P1 and P2 and returns the line parameter t
// of the foot P1 + t (P2 - P1), unclamped. A degenerate line (P1 and P2 closer
// than 1e-4 m) gives t = 0. The foot goes to fx, fy when they are not null.
double GetProjection(double x1, double y1, double x2, double y2, double px, double py,
                     double* fx, double* fy);

// Intersection of the segments P1P2 and P3P4, endpoints included. Returns the
// parameter t along P1P2 and writes the point to ix, iy (when not null); NaN
// when the segments are parallel, degenerate or do not meet.
double GetIntersection(double x1, double y1, double x2, double y2,
                       double x3, double y3, double x4, double y4,
                       double* ix, double* iy);

// True when (x0, y0) lies on the segment (x1, y1)-(x2, y2), ends included,
// within the geometric tolerance 1e-8.
bool PointOnLine(double x0, double y0, double x1, double y1, double x2, double y2);

// True when the ray from (px, py) towards +x crosses the segment (x1, y1)-(x2, y2).
// An end at the ray's height counts as lying slightly above it, so a ray through
// a polygon vertex counts one of its two edges, not both.
bool XRayIntersectsLine(double px, double py, double x1, double y1, double x2, double y2);
