#include "MCModels/mc_zone.h"

#include <cmath>

#include "MCModels/mc_description.h"
#include "Foundation/mc_log.h"
#include "platform/keyed_archiver.h"

namespace {
constexpr double kEps = 1e-8;
constexpr double kNudge = 0.0001;
}  // namespace

bool MCZone::point(const MCLocationPoint& p, const MCLocationPoint& a, const MCLocationPoint& b) {
  if (p.sublocation != a.sublocation || p.sublocation != b.sublocation) return false;
  const double px = p.x.doubleValue(), py = p.y.doubleValue();
  const double ax = a.x.doubleValue() - px, ay = a.y.doubleValue() - py;
  const double bx = b.x.doubleValue() - px, by = b.y.doubleValue() - py;
  return std::fabs(ax * by - ay * bx) < kEps && ax * bx + ay * by < kEps;
}

bool MCZone::xRay(const MCLocationPoint& p, const MCLocationPoint& a, const MCLocationPoint& b) {
  if (p.sublocation != a.sublocation || p.sublocation != b.sublocation) return false;
  const double px = p.x.doubleValue(), py = p.y.doubleValue();
  const double ax = a.x.doubleValue(), bx = b.x.doubleValue();
  // A vertex on the ray's line counts as lying just above it.
  double ay = a.y.doubleValue(), by = b.y.doubleValue();
  if (std::fabs(py - ay) < kEps) ay += kNudge;
  if (std::fabs(py - by) < kEps) by += kNudge;
  if (ay < py && py < by) return ax * (by - py) + bx * (py - ay) + px * (ay - by) + kEps > 0;
  if (by < py && py < ay) return ax * (py - by) + bx * (ay - py) + px * (by - ay) + kEps > 0;
  return false;
}

bool MCZone::containsPoint(const MCLocationPoint& p) const {
  if (p.sublocation != sublocation) return false;
  const size_t n = points.size();
  int crossings = 0;
  for (size_t i = 0; i < n; ++i) {
    if (!points[i] || !points[(i + 1) % n]) continue;  // a host may leave holes
    const MCLocationPoint& a = *points[i];
    const MCLocationPoint& b = *points[(i + 1) % n];
    if (point(p, a, b)) {
      MC_LOG(3, "Point " + p.description() + " belongs to line " + a.description() + " - " +
                    b.description() + ", ");
      return true;
    }
    if (xRay(p, a, b)) {
      MC_LOG(3, "XRay " + p.description() + " intersects with line " + a.description() + " - " +
                    b.description() + ", ");
      ++crossings;
    } else {
      MC_LOG(3, "XRay " + p.description() + " not intersects with line " + a.description() +
                    " - " + b.description() + ", ");
    }
  }
  return crossings % 2 == 1;
}

std::shared_ptr<MCLocationPoint> MCZone::center() const {
  if (points.empty()) return nullptr;
  const size_t n = points.size();
  float perimeter = 0, sx = 0, sy = 0;
  for (size_t i = 0; i < n; ++i) {
    if (!points[i] || !points[(i + 1) % n]) continue;
    const MCLocationPoint& a = *points[i];
    const MCLocationPoint& b = *points[(i + 1) % n];
    const double d = static_cast<float>(a.distanceTo(b));
    perimeter = static_cast<float>(perimeter + d);
    sx = static_cast<float>(sx + (a.x.doubleValue() + b.x.doubleValue()) * d * 0.5);
    sy = static_cast<float>(sy + (a.y.doubleValue() + b.y.doubleValue()) * d * 0.5);
  }
  // Also false for NaN: a vertex on another floor has no distance.
  if (perimeter > kEps) {
    return MCLocationPoint::pointWithLocation(location, sublocation, MCNumber(sx / perimeter),
                                              MCNumber(sy / perimeter));
  }
  return points.front();
}

std::string MCZone::description() const {
  return MCFormat(
      "MCZone description: %s id: %zd location id: %zd sublocation id: %zd name: %s alias: %s "
      "color: %s points: %s",
      MCObjectDescription("MCZone", this).c_str(), static_cast<ssize_t>(id),
      static_cast<ssize_t>(location), static_cast<ssize_t>(sublocation), name.c_str(),
      alias.c_str(), color.c_str(), MCListDescription(points).c_str());
}

void MCZone::encodeWithCoder(platform::KeyedArchiver& coder) const {
  coder.encodeInt(id, "id");
  coder.encodeInt(location, "locationId");
  coder.encodeInt(sublocation, "sublocationId");
  coder.encodeString(name, "name");
  coder.encodeString(alias, "alias");
  coder.encodeString(color, "color");
  coder.encodeArray(points, "points");
}

std::shared_ptr<MCZone> MCZone::initWithCoder(const platform::KeyedUnarchiver& coder) {
  auto z = std::make_shared<MCZone>();
  z->id = coder.decodeIntForKey("id");
  z->location = coder.decodeIntForKey("locationId");
  z->sublocation = coder.decodeIntForKey("sublocationId");
  z->name = coder.decodeStringForKey("name");
  z->alias = coder.decodeStringForKey("alias");
  z->color = coder.decodeStringForKey("color");
  z->points = coder.decodeArrayForKey<MCLocationPoint>("points");
  return z;
}
