// One route as the host sees it: its points (start first), its events and its
// length, and one event along it. Not locked.
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

class MCRouteEvent {
 public:
  float distance = 0;  // metres along the route
  int32_t value = 0;   // turn angle in degrees, or the next floor id
  int64_t type = 0;    // 1 and 2 turns, 3 a change of floor

  bool isValid() const { return type > 0; }
  std::string description() const;

  static const char* className() { return "MCRouteEvent"; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const;
  static std::shared_ptr<MCRouteEvent> initWithCoder(const platform::KeyedUnarchiver& coder);
};

class MCRoutePath {
 public:
  std::vector<std::shared_ptr<MCLocationPoint>> points;
  std::vector<std::shared_ptr<MCRouteEvent>> events;
  float lenght = 0;  // metres

  bool isValid() const { return points.size() > 1; }
  std::string description() const;

  static const char* className() { return "MCRoutePath"; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const;
  static std::shared_ptr<MCRoutePath> initWithCoder(const platform::KeyedUnarchiver& coder);
};
