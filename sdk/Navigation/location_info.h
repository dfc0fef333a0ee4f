// The description of a loaded location that MNavigationEngine builds from the
// navigation client's map and from which the coordinator fills the location
// model. Plain records whose field names are the description's keys; an image
// key that is absent is an empty optional. Values, copied freely.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "server/zone.h"

struct MLocationInfoBeacon {
  int32_t id = 0;
  int32_t locationId = 0;
  int32_t sublocationId = 0;
  double kX = 0.0;
  double kY = 0.0;
  double x = 0.0;
  double y = 0.0;
  std::string name;
  std::string uuid;
  int32_t major = 0;
  int32_t minor = 0;
  std::string status;
};

struct MLocationInfoSublocation {
  int32_t id = 0;
  std::string name;
  std::string svgFile, pngFile, jpgFile;
  std::optional<std::vector<uint8_t>> svgImage, pngImage, jpgImage;
  double width = 0.0;
  double height = 0.0;
  double magneticDeclination = 0.0;
  double latitude = 0.0;
  double longitude = 0.0;
  double azimuth = 0.0;
  std::string archiveFile;
  std::vector<MLocationInfoBeacon> beacons;
  // As the map has them: the coordinator turns them into models (MCZoneFromEngine).
  std::vector<Zone> zones;
};

struct MLocationInfo {
  int32_t id = 0;
  std::string name;
  std::string description;
  std::string archiveFile;
  int32_t version = 0;
  std::vector<MLocationInfoSublocation> sublocations;
  bool modified = false;
};
