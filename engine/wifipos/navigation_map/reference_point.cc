#include "wifipos/navigation_map/reference_point.h"

bool ReferencePoint::operator<(const ReferencePoint& other) const {
  // std::string compares bytes as unsigned char via char_traits<char>::compare,
  // with a proper prefix first.
  return name_.compare(other.name_) < 0;
}

void ReferencePoint::clear() {
  x_ = 0.0;
  y_ = 0.0;
  quality_ = 0.0;
  magneticIntensity_ = 0.0;
  name_.clear();
  deviceModel_.clear();
  deviceId_.clear();
  status_.clear();
}
