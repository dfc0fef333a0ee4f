#include "server/route_graph/smoothing.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "server/route_graph/geometry.h"

namespace {

constexpr double kEps = 1e-8;
constexpr double kPi = 3.14159265358979323846;

double Dist(const LocationPoint& a, const LocationPoint& b) { return GetDist(a.x, a.y, b.x, b.y); }

// Distance of c from the line through a and b. When a and b coincide (a route
// that comes back to where a stretch began) the line is undefined and the
// distance from a is used instead, so such a loop is not flattened away.
double ChordDist(const LocationPoint& a, const LocationPoint& b, const LocationPoint& c) {
  const double len = Dist(a, b);
  if (len < kEps) return Dist(a, c);
  return std::fabs((c.y - a.y) * (b.x - a.x) - (b.y - a.y) * (c.x - a.x)) / len;
}

double WrapAngle(double a) {
  if (a > kPi) a -= 2 * kPi;
  if (a < -kPi) a += 2 * kPi;
  return a;
}

// Consecutive points closer than the tolerance are one point: a leg of zero
// length has no direction. The first and last point stay the ends.
std::vector<LocationPoint> DropRepeated(const std::vector<LocationPoint>& points) {
  std::vector<LocationPoint> out;
  out.reserve(points.size());
  for (const LocationPoint& p : points) {
    if (!out.empty() && Dist(out.back(), p) < kEps) continue;
    out.push_back(p);
  }
  if (out.size() >= 2 && Dist(out.back(), points.back()) < kEps) out.back() = points.back();
  return out;
}

}  // namespace

std::vector<LocationPoint> DouglasPeucker(const std::vector<LocationPoint>& points,
                                          double tolerance) {
  const size_t n = points.size();
  if (!(tolerance >= kEps) || n < 3) return points;

  std::vector<char> kept(n, 1);
  std::vector<std::pair<size_t, size_t>> stack;
  stack.emplace_back(0, n - 1);
  while (!stack.empty()) {
    const auto [first, last] = stack.back();
    stack.pop_back();
    if (last - first < 2) continue;
    double dmax = 0.0;
    size_t index = first;
    for (size_t i = first + 1; i < last; ++i) {
      if (!kept[i]) continue;
      const double d = ChordDist(points[first], points[last], points[i]);
      if (d > dmax) {
        dmax = d;
        index = i;
      }
    }
    if (dmax >= tolerance) {
      stack.emplace_back(first, index);
      stack.emplace_back(index, last);
    } else {
      for (size_t i = first + 1; i < last; ++i) kept[i] = 0;
    }
  }

  std::vector<LocationPoint> out;
  for (size_t i = 0; i < n; ++i)
    if (kept[i]) out.push_back(points[i]);
  return out;
}

std::vector<LocationPoint> RoundPolyLine(const std::vector<LocationPoint>& points, double radius,
                                         std::vector<RouteEvent>* events) {
  if (points.size() <= 2) return points;
  const std::vector<LocationPoint> p = DropRepeated(points);
  if (p.size() <= 2) {
    if (p.size() == 2) return p;
    return {points.front(), points.back()};
  }
  const size_t n = p.size();
  const bool sharp = !(radius >= kEps);

  std::vector<LocationPoint> out;
  out.reserve(n * 10);
  out.push_back(p[0]);
  double s = 0.0;
  auto append = [&](const LocationPoint& q) {
    s += Dist(out.back(), q);
    out.push_back(q);
  };

  for (size_t i = 1; i + 1 < n; ++i) {
    const LocationPoint& a = p[i - 1];
    const LocationPoint& b = p[i];
    const LocationPoint& d = p[i + 1];
    const double d1 = Dist(a, b);
    const double d2 = Dist(b, d);
    const double ux = b.x - a.x, uy = b.y - a.y;
    const double vx = b.x - d.x, vy = b.y - d.y;

    const double cosTheta = std::clamp((ux * vx + uy * vy) / d1 / d2, -1.0, 1.0);
    const double theta = std::acos(cosTheta);
    const double thetaDeg = theta * 180.0 / kPi;
    // Non-finite coordinates give no angle; such a corner is kept as it is.
    const int turn = std::isfinite(thetaDeg) ? static_cast<int>(std::round(180.0 - thetaDeg)) : 0;
    const double cross = ux * vy - uy * vx;
    const int type = cross > 0 ? 2 : 1;

    // A straight corner or an exact reversal has no arc: both legs lie on one
    // line, so the arc centre is undefined. The corner is kept as it is.
    const bool collinear = !(std::fabs(cross) >= kEps * d1 * d2) || !std::isfinite(thetaDeg);
    if (sharp || collinear) {
      append(b);
      if (events && turn >= 10) events->emplace_back(type, turn, s);
      continue;
    }

    const double h = theta / 2;
    double len = radius * std::cos(h) / (1 - std::sin(h));
    len = std::min(len, d1 / 2);
    len = std::min(len, d2 / 2);

    const double p1x = b.x + (len / d1) * (a.x - b.x), p1y = b.y + (len / d1) * (a.y - b.y);
    const double p2x = b.x + (len / d2) * (d.x - b.x), p2y = b.y + (len / d2) * (d.y - b.y);
    // u . O = u . P1 and v . O = v . P2.
    const double c1 = ux * p1x + uy * p1y;
    const double c2 = vx * p2x + vy * p2y;
    const double ox = (c1 * vy - c2 * uy) / cross;
    const double oy = (ux * c2 - vx * c1) / cross;
    const double r = GetDist(ox, oy, p1x, p1y);

    const double a1 = std::atan2(p1y - oy, p1x - ox);
    const double a2 = std::atan2(p2y - oy, p2x - ox);
    const double delta = WrapAngle(a2 - a1);
    const int k = std::max(1, static_cast<int>(std::round(std::fabs(thetaDeg / 10))));
    for (int j = 0; j <= k; ++j) {
      const double phi = WrapAngle(a1 + j * delta / k);
      append(LocationPoint(b.subLoc, ox + r * std::cos(phi), oy + r * std::sin(phi)));
      if (j == 0 && events && turn >= 10) events->emplace_back(type, turn, s);
    }
  }
  out.push_back(p[n - 1]);
  return out;
}

std::vector<LocationPoint> GetSmoothPath(const std::vector<LocationPoint>& points, double radius,
                                         std::vector<RouteEvent>* events) {
  return RoundPolyLine(DouglasPeucker(points, radius), radius, events);
}
