/// @file
/// One route as the host sees it: its points (start first), its events and its
/// length, and one event along it. Not locked.
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

/// Something that happens at a distance along a route: a turn or a change of floor.
class MCRouteEvent {
 public:
  float distance = 0;  ///< Metres along the route.
  int32_t value = 0;   ///< The turn angle in degrees, or the next floor's id.
  int64_t type = 0;    ///< 1 and 2 turns, 3 a change of floor.

  /// Whether it is a turn or a change of floor (type above 0).
  bool isValid() const { return type > 0; }
  std::string description() const;  ///< A one-line text of the fields, for logs.

  /// The class name the kit's keyed archives record.
  static const char* className() { return "MCRouteEvent"; }
  /// Writes the fields to a keyed archive (used by the kit's own persistence).
  void encodeWithCoder(platform::KeyedArchiver& coder) const;
  /// A new object from what `encodeWithCoder` wrote; missing fields read as zero or empty.
  static std::shared_ptr<MCRouteEvent> initWithCoder(const platform::KeyedUnarchiver& coder);
};

/// A route from its start to a target.
class MCRoutePath {
 public:
  std::vector<std::shared_ptr<MCLocationPoint>> points;  ///< The route's points, start first.
  /// Its turns and changes of floor, in order; none for a route asked with `makeRouteFrom`.
  std::vector<std::shared_ptr<MCRouteEvent>> events;
  float lenght = 0;                                      ///< Metres.

  /// Whether it has more than one point; a route that could not be found has none.
  bool isValid() const { return points.size() > 1; }
  std::string description() const;  ///< A one-line text of the fields, for logs.

  /// The class name the kit's keyed archives record.
  static const char* className() { return "MCRoutePath"; }
  /// Writes the fields to a keyed archive (used by the kit's own persistence).
  void encodeWithCoder(platform::KeyedArchiver& coder) const;
  /// A new object from what `encodeWithCoder` wrote; missing fields read as zero or empty.
  static std::shared_ptr<MCRoutePath> initWithCoder(const platform::KeyedUnarchiver& coder);
};
