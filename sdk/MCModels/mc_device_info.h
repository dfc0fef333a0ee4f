// The result of the last navigation tick as the host reads it: device id,
// time, location and floor, position, accuracy, heading, routes, zones, and
// the failure of the tick if it failed. Not locked.
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

// 2001-01-01 00:00:00 UTC in seconds since 1970.
constexpr double kMCReferenceDate = 978307200.0;

class MCDeviceInfo {
 public:
  MCDeviceInfo();  // time: now, by the platform clock

  std::string id;
  double time = 0;  // seconds since 1970
  int64_t location = 0;
  int64_t sublocation = 0;
  float x = 0;
  float kx = 0;
  float y = 0;
  float ky = 0;
  float r = 0;
  float azimuth = 0;
  std::vector<std::shared_ptr<MCRoutePath>> paths;
  std::vector<std::shared_ptr<MCZone>> zones;
  std::optional<platform::Error> error;  // not archived

  bool isValid() const;

  static const char* className() { return "MCDeviceInfo"; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const;
  // Fields the archive lacks decode as zero; time 0 when missing.
  static std::shared_ptr<MCDeviceInfo> initWithCoder(const platform::KeyedUnarchiver& coder);
};
