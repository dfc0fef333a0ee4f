#include "server/route_graph/geometry.h"

#include <cmath>
#include <limits>

namespace {
constexpr double kEps = 1e-8;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
}  // namespace

double GetDist(double x1, double y1, double x2, double y2) {
  const double dx = x1 - x2;
  const double dy = y1 - y2;
  return std::sqrt(dx * dx + dy * dy);
}

double GetDist(const LocationPoint& a, const LocationPoint& b) {
  if (a.subLoc != b.subLoc) return kNaN;
  return GetDist(a.x, a.y, b.x, b.y);
}

double GetDist(const LocationPoint& a, const LocationPoint& b, const LocationPoint& c) {
  if (a.subLoc != b.subLoc || a.subLoc != c.subLoc) return kNaN;
  const double num = std::fabs((c.y - a.y) * (b.x - a.x) - (b.y - a.y) * (c.x - a.x));
  return num / GetDist(a.x, a.y, b.x, b.y);
}

double Determinant(double a, double b, double c, double d) { return a * d - b * c; }

double Determinant(double a11, double a12, double a13,
                   double a21, double a22, double a23,
                   double a31, double a32, double a33) {
  return a11 * a22 * a33 + a12 * a23 * a31 + a13 * a21 * a32
       - a13 * a22 * a31 - a12 * a21 * a33 - a11 * a23 * a32;
}

double GetProjection(double x1, double y1, double x2, double y2, double px, double py,
                     double* fx, double* fy) {
  const double dx = x2 - x1;
  const double dy = y2 - y1;
  const double len2 = dx * dx + dy * dy;
  const double t = len2 > kEps ? ((px - x1) * dx + (py - y1) * dy) / len2 : 0.0;
  if (fx) *fx = x1 + t * dx;
  if (fy) *fy = y1 + t * dy;
  return t;
}

double GetIntersection(double x1, double y1, double x2, double y2,
                       double x3, double y3, double x4, double y4,
                       double* ix, double* iy) {
  const double ax = x2 - x1, ay = y2 - y1;
  const double bx = x4 - x3, by = y4 - y3;
  const double den = ax * by - ay * bx;
  if (!(std::fabs(den) >= kEps)) return kNaN;
  const double s = -(ax * (y3 - y1) - ay * (x3 - x1)) / den;
  if (s > 1.0 || s < 0.0 || std::isnan(s)) return kNaN;
  const double t = ((x3 - x1) * by - (y3 - y1) * bx) / den;
  if (t < 0.0 || t > 1.0 || std::isnan(t)) return kNaN;
  if (ix) *ix = x1 + t * ax;
  if (iy) *iy = y1 + t * ay;
  return t;
}

bool PointOnLine(double x0, double y0, double x1, double y1, double x2, double y2) {
  const double dax = x1 - x0, day = y1 - y0;
  const double dbx = x2 - x0, dby = y2 - y0;
  return std::fabs(dby * dax - day * dbx) < kEps && dax * dbx + day * dby < kEps;
}

bool XRayIntersectsLine(double px, double py, double x1, double y1, double x2, double y2) {
  // An end at the ray's height is lifted by this much, so that a ray through a
  // vertex meets exactly one of the vertex's two edges.
  constexpr double kVertexLift = 1e-4;
  if (std::fabs(py - y1) < kEps) y1 += kVertexLift;
  if (std::fabs(py - y2) < kEps) y2 += kVertexLift;
  if (y1 < py && py < y2) return (y1 - y2) * px + (y2 - py) * x1 + (py - y1) * x2 + kEps > 0;
  if (y2 < py && py < y1) return (y2 - y1) * px + (py - y2) * x1 + (y1 - py) * x2 + kEps > 0;
  return false;
}
