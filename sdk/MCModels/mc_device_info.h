/// @file
/// The result of the last navigation tick as the host reads it: device id,
/// time, location and floor, position, accuracy, heading, routes, zones, and
/// the failure of the tick if it failed. Not locked.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "MCModels/mc_route_path.h"
#include "MCModels/mc_zone.h"
#include "platform/error.h"

// Archiving goes through the platform's keyed coder, which the host never needs.
namespace platform {
class KeyedArchiver;
class KeyedUnarchiver;
}  // namespace platform

/// 2001-01-01 00:00:00 UTC in seconds since 1970.
constexpr double kMCReferenceDate = 978307200.0;

/// Where the device is, as the latest navigation tick found; read it with
/// `MarvistoCore::deviceInfo()`.
class MCDeviceInfo {
 public:
  MCDeviceInfo();  ///< An empty result stamped now by the platform clock.

  std::string id;           ///< The device's id.
  double time = 0;          ///< When the tick ran, in seconds since 1970.
  int64_t location = 0;     ///< The location's id; -1 when the tick placed the device nowhere.
  int64_t sublocation = 0;  ///< The floor's id; -1 when the tick placed the device nowhere.
  float x = 0;              ///< Metres from the floor's left edge.
  float kx = 0;             ///< x as a fraction of the floor's width.
  float y = 0;              ///< Metres from the floor's lower edge.
  float ky = 0;             ///< y as a fraction of the floor's height.
  float r = 0;              ///< The accuracy: a radius in metres.
  float azimuth = 0;        ///< The heading, in radians.
  /// One route per target, with its turn events.
  std::vector<std::shared_ptr<MCRoutePath>> paths;
  /// The zones the device is in.
  std::vector<std::shared_ptr<MCZone>> zones;
  /// Why the tick failed; none when it succeeded (not archived).
  std::optional<platform::Error> error;

  /// Whether it holds a position: location and floor set, a time, no error, x, y and r above 0.
  bool isValid() const;

  /// The class name the kit's keyed archives record.
  static const char* className() { return "MCDeviceInfo"; }
  /// Writes the fields to a keyed archive (used by the kit's own persistence).
  void encodeWithCoder(platform::KeyedArchiver& coder) const;
  /// Fields the archive lacks decode as zero; time 0 when missing.
  static std::shared_ptr<MCDeviceInfo> initWithCoder(const platform::KeyedUnarchiver& coder);
};
