/// @file
/// A point on a floor of a location: location and floor ids and x, y in the
/// floor's metres as number objects. Not locked; share between threads only
/// read-only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "MCModels/mc_number.h"

// Archiving goes through the platform's keyed coder, which the host never needs.
namespace platform {
class KeyedArchiver;
class KeyedUnarchiver;
}  // namespace platform

/// A point on one floor of one location, in the floor's metres.
class MCLocationPoint {
 public:
  int64_t location = 0;     ///< The location's id.
  int64_t sublocation = 0;  ///< The floor's id.
  MCNumber x;               ///< Metres from the floor's left edge.
  MCNumber y;               ///< Metres from the floor's lower edge (y points up).

  /// A new point with the given fields.
  static std::shared_ptr<MCLocationPoint> pointWithLocation(int64_t location, int64_t sublocation,
                                                            MCNumber x, MCNumber y);
  /// Planar distance; NaN (and an error logged) for points of different floors.
  double distanceTo(const MCLocationPoint& other) const;
  /// Whether location and floor are set (at least 1).
  bool isValid() const { return location >= 1 && sublocation >= 1; }
  /// A one-line text of the fields, for logs.
  std::string description() const;

  /// The class name the kit's keyed archives record.
  static const char* className() { return "MCLocationPoint"; }
  /// Writes the fields to a keyed archive (used by the kit's own persistence).
  void encodeWithCoder(platform::KeyedArchiver& coder) const;
  /// A new object from what `encodeWithCoder` wrote; missing fields read as zero or empty.
  static std::shared_ptr<MCLocationPoint> initWithCoder(const platform::KeyedUnarchiver& coder);
};
