// One zone the device is in, as the navigation manager tracks it between
// ticks. A value touched only on the navigation tick's thread.
#pragma once

#include <cstdint>

#include "platform/clock.h"
#include "server/zone.h"

class MCZoneInfo {
 public:
  MCZoneInfo() = default;  // init: state 0, timeout 60
  static MCZoneInfo initWithZone(const Zone& zone);

  int32_t id = 0;
  Zone zone;
  int64_t state = 0;  // 0 fresh, 1 entered this tick, 2 still inside, 3 not hit this tick
  int32_t timeout = 60;
  platform::WallTime enterTime;
  platform::WallTime exitTime;
};
