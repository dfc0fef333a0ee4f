// A polygon zone of a floor with the point-in-zone test and its centre. The
// vertices are in order; the last connects back to the first. Not locked.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "MCModels/mc_location_point.h"

// Archiving goes through the platform's keyed coder, which the host never needs.
namespace platform {
class KeyedArchiver;
class KeyedUnarchiver;
}  // namespace platform

class MCZone {
 public:
  int64_t id = 0;
  int64_t location = 0;
  int64_t sublocation = 0;
  std::string name;
  std::string alias;
  std::string color;
  std::vector<std::shared_ptr<MCLocationPoint>> points;

  // The boundary belongs to the zone; points of other floors never do.
  bool containsPoint(const MCLocationPoint& p) const;
  // The perimeter-weighted centre; the first vertex itself when the outline
  // has no length; none for a zone without vertices.
  std::shared_ptr<MCLocationPoint> center() const;
  // P lies on the segment AB.
  static bool point(const MCLocationPoint& p, const MCLocationPoint& a, const MCLocationPoint& b);
  // The ray from P towards growing x crosses AB.
  static bool xRay(const MCLocationPoint& p, const MCLocationPoint& a, const MCLocationPoint& b);

  bool isValid() const { return id >= 1 && location >= 1 && sublocation > 0; }
  std::string description() const;

  static const char* className() { return "MCZone"; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const;
  static std::shared_ptr<MCZone> initWithCoder(const platform::KeyedUnarchiver& coder);
};
