/// @file
/// A polygon zone of a floor with the point-in-zone test and its centre. The
/// vertices are in order; the last connects back to the first. Not locked.
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

/// A polygon zone of a floor; the host hears of entries and exits by its id.
class MCZone {
 public:
  int64_t id = 0;           ///< The zone's id, as the zone callbacks give it.
  int64_t location = 0;     ///< The id of its location.
  int64_t sublocation = 0;  ///< The id of its floor.
  std::string name;         ///< Its name.
  std::string alias;        ///< A second name the venue gives it.
  std::string color;        ///< Its colour on the map, as the archive writes it.
  /// The outline's vertices, in order.
  std::vector<std::shared_ptr<MCLocationPoint>> points;

  /// The boundary belongs to the zone; points of other floors never do.
  bool containsPoint(const MCLocationPoint& p) const;
  /// The perimeter-weighted centre; the first vertex itself when the outline
  /// has no length; none for a zone without vertices.
  std::shared_ptr<MCLocationPoint> center() const;
  /// P lies on the segment AB.
  static bool point(const MCLocationPoint& p, const MCLocationPoint& a, const MCLocationPoint& b);
  /// The ray from P towards growing x crosses AB.
  static bool xRay(const MCLocationPoint& p, const MCLocationPoint& a, const MCLocationPoint& b);

  /// Whether id and location are at least 1 and the floor is set.
  bool isValid() const { return id >= 1 && location >= 1 && sublocation > 0; }
  /// A one-line text of the fields, for logs.
  std::string description() const;

  /// The class name the kit's keyed archives record.
  static const char* className() { return "MCZone"; }
  /// Writes the fields to a keyed archive (used by the kit's own persistence).
  void encodeWithCoder(platform::KeyedArchiver& coder) const;
  /// A new object from what `encodeWithCoder` wrote; missing fields read as zero or empty.
  static std::shared_ptr<MCZone> initWithCoder(const platform::KeyedUnarchiver& coder);
};
