#include "MCModels/mc_global_point.h"

#include <cmath>

#include "MCModels/mc_description.h"
#include "platform/keyed_archiver.h"

namespace {
constexpr double kEarthRadius = 6378137.0;
constexpr double kRad = M_PI / 180.0;
}  // namespace

std::shared_ptr<MCGlobalPoint> MCGlobalPoint::pointWithLatitude(double latitude, double longitude) {
  auto p = std::make_shared<MCGlobalPoint>();
  p->latitude = latitude;
  p->longitude = longitude;
  return p;
}

double MCGlobalPoint::distanceTo(const MCGlobalPoint& other) const {
  const double phi1 = latitude * kRad;
  const double phi2 = other.latitude * kRad;
  const double dPhi = (latitude - other.latitude) * kRad;
  const double dLambda = (longitude - other.longitude) * kRad;
  const double s1 = std::sin(dPhi / 2), s2 = std::sin(dLambda / 2);
  const double a = s1 * s1 + std::cos(phi2) * (std::cos(phi1) * s2 * s2);
  const double c = 2 * std::atan2(std::sqrt(a), std::sqrt(1 - a));
  return c * kEarthRadius;
}

bool MCGlobalPoint::isValid() const {
  return std::fabs(latitude) < 89.0 && std::fabs(longitude) < 180.0000001;
}

std::string MCGlobalPoint::description() const {
  return MCFormat("MCGlobalPoint description: %s latitude: %lf longitude: %lf",
                  MCObjectDescription("MCGlobalPoint", this).c_str(), latitude, longitude);
}

void MCGlobalPoint::encodeWithCoder(platform::KeyedArchiver& coder) const {
  coder.encodeDouble(latitude, "latitude");
  coder.encodeDouble(longitude, "longitude");
}

std::shared_ptr<MCGlobalPoint> MCGlobalPoint::initWithCoder(const platform::KeyedUnarchiver& coder) {
  return pointWithLatitude(coder.decodeDoubleForKey("latitude"),
                           coder.decodeDoubleForKey("longitude"));
}
