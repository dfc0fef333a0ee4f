#include "Navigation/mc_engine_zone.h"

#include <string>

#include "Navigation/utf8_text.h"

namespace {

std::string ZoneText(const std::string& s) { return MCUtf8Text(std::string(s.c_str())); }

}  // namespace

std::shared_ptr<MCZone> MCZoneFromEngine(const Zone& z, int64_t location, int64_t sublocation,
                                         int64_t pointLocation) {
  auto zone = std::make_shared<MCZone>();
  zone->id = z.id;
  zone->location = location;
  zone->sublocation = sublocation;
  zone->name = ZoneText(z.name);
  zone->alias = ZoneText(z.alias);
  zone->color = ZoneText(z.color);
  for (const LocationPoint& v : z.points)
    zone->points.push_back(MCLocationPoint::pointWithLocation(pointLocation, v.subLoc, v.x, v.y));
  return zone;
}
