#include "venuesim/venue.h"

#include <cstdio>

namespace venuesim {

std::string BeaconKey(int major, int minor, const std::string& uuid) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "(%05d,%05d,", major, minor);
  return buf + uuid + ")";
}

std::string VenueBeacon::key() const { return BeaconKey(major, minor, uuid); }

std::string Venue::BitmapName(int floorId) { return "floor" + std::to_string(floorId) + ".bmp"; }

std::string Venue::ImageName(int floorId) { return "floor" + std::to_string(floorId) + ".png"; }

}  // namespace venuesim
