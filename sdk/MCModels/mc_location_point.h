// A point on a floor of a location: location and floor ids and x, y in the
// floor's metres as number objects. Not locked; share between threads only
// read-only.
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

class MCLocationPoint {
 public:
  int64_t location = 0;
  int64_t sublocation = 0;
  MCNumber x;
  MCNumber y;

  static std::shared_ptr<MCLocationPoint> pointWithLocation(int64_t location, int64_t sublocation,
                                                            MCNumber x, MCNumber y);
  // Planar distance; NaN (and an error logged) for points of different floors.
  double distanceTo(const MCLocationPoint& other) const;
  bool isValid() const { return location >= 1 && sublocation >= 1; }
  std::string description() const;

  static const char* className() { return "MCLocationPoint"; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const;
  static std::shared_ptr<MCLocationPoint> initWithCoder(const platform::KeyedUnarchiver& coder);
};
