/// @file
/// A latitude and longitude in degrees. A plain value object, not locked.
#pragma once

#include <memory>
#include <string>

// Archiving goes through the platform's keyed coder, which the host never needs.
namespace platform {
class KeyedArchiver;
class KeyedUnarchiver;
}  // namespace platform

/// A point on the Earth, in degrees.
class MCGlobalPoint {
 public:
  double latitude = 0.0;   ///< Degrees north.
  double longitude = 0.0;  ///< Degrees east.

  /// A new point at the given latitude and longitude.
  static std::shared_ptr<MCGlobalPoint> pointWithLatitude(double latitude, double longitude);
  /// Great-circle distance in metres on a sphere of the equatorial radius.
  double distanceTo(const MCGlobalPoint& other) const;
  /// Whether |latitude| < 89 and |longitude| < 180.0000001.
  bool isValid() const;
  /// A one-line text of the fields, for logs.
  std::string description() const;

  /// The class name the kit's keyed archives record.
  static const char* className() { return "MCGlobalPoint"; }
  /// Writes the fields to a keyed archive (used by the kit's own persistence).
  void encodeWithCoder(platform::KeyedArchiver& coder) const;
  /// A new object from what `encodeWithCoder` wrote; missing fields read as zero or empty.
  static std::shared_ptr<MCGlobalPoint> initWithCoder(const platform::KeyedUnarchiver& coder);
};
