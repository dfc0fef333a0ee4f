#include "Navigation/mc_zone_info.h"

MCZoneInfo MCZoneInfo::initWithZone(const Zone& zone) {
  MCZoneInfo info;
  info.id = zone.id;
  info.zone = zone;
  info.state = 1;
  info.timeout = zone.timeout;
  return info;
}
