// A latitude and longitude in degrees. A plain value object, not locked.
#pragma once

#include <memory>
#include <string>

// Archiving goes through the platform's keyed coder, which the host never needs.
namespace platform {
class KeyedArchiver;
class KeyedUnarchiver;
}  // namespace platform

class MCGlobalPoint {
 public:
  double latitude = 0.0;
  double longitude = 0.0;

  static std::shared_ptr<MCGlobalPoint> pointWithLatitude(double latitude, double longitude);
  // Great-circle distance in metres on a sphere of the equatorial radius.
  double distanceTo(const MCGlobalPoint& other) const;
  bool isValid() const;
  std::string description() const;

  static const char* className() { return "MCGlobalPoint"; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const;
  static std::shared_ptr<MCGlobalPoint> initWithCoder(const platform::KeyedUnarchiver& coder);
};
