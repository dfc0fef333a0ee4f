// The location models the host and the map screen see: a location with its
// floors, and a floor with its files, images, size, geographic anchor,
// beacons, zones and venues. A floor's beacon, zone and venue lists are shared
// list objects (a copied floor shares them with its source), so what the SDK
// appends shows in every holder. Not locked: the coordinator refills the one
// shared location on the loading thread while the map screen reads it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "MCModels/mc_beacon.h"
#include "MCModels/mc_global_point.h"
#include "MCModels/mc_location_point.h"
#include "MCModels/mc_venue.h"
#include "MCModels/mc_zone.h"

// Archiving goes through the platform's keyed coder, which the host never needs.
namespace platform {
class KeyedArchiver;
class KeyedUnarchiver;
class Image;  // a decoded floor or venue picture
}  // namespace platform

template <class T>
using MCList = std::shared_ptr<std::vector<std::shared_ptr<T>>>;

template <class T>
MCList<T> MCNewList() {
  return std::make_shared<std::vector<std::shared_ptr<T>>>();
}

class MCSublocation {
 public:
  int64_t id = 0;
  int64_t location = 0;
  std::string name;
  std::string svgFile, pngFile, jpgFile;
  std::optional<std::vector<uint8_t>> svgImage, pngImage, jpgImage;
  std::shared_ptr<platform::Image> image;
  float width = 0;
  float height = 0;
  float azimuth = 0;
  float magneticDeclination = 0;
  double latitude = 0;
  double longitude = 0;
  MCList<MCBeacon> beacons = MCNewList<MCBeacon>();
  MCList<MCZone> zones = MCNewList<MCZone>();
  MCList<MCVenue> venues = MCNewList<MCVenue>();
  std::string archiveFile;

  // Every field but magneticDeclination; the three lists are shared.
  static std::shared_ptr<MCSublocation> initWithSublocation(const MCSublocation& other);
  std::shared_ptr<MCZone> zoneWithId(int64_t zoneId) const;
  // Floor metres to degrees and back; the floor's anchor is its centre.
  std::shared_ptr<MCGlobalPoint> gpsFromLocal(const MCLocationPoint& point) const;
  std::shared_ptr<MCLocationPoint> localFromGps(const MCGlobalPoint& point) const;

  bool isValid() const { return id >= 1 && location > 0; }
  std::string description() const;

  static const char* className() { return "MCSublocation"; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const;
  static std::shared_ptr<MCSublocation> initWithCoder(const platform::KeyedUnarchiver& coder);
};

// The map screen, opaque here: the map view above the SDK defines it and
// registers the factory that makes one for a location.
class MCLocationViewController;
class MCLocation;
using MCLocationScreenFactory =
    std::function<std::shared_ptr<MCLocationViewController>(std::shared_ptr<MCLocation>)>;

class MCLocation : public std::enable_shared_from_this<MCLocation> {
 public:
  int64_t id = 0;
  std::string name;
  std::string localDescription;
  std::string archiveFile;
  int64_t version = 0;
  std::vector<std::shared_ptr<MCSublocation>> sublocations;
  bool modified = false;

  // A copy with each floor copied by MCSublocation::initWithSublocation.
  static std::shared_ptr<MCLocation> initWithLocation(const MCLocation& other);
  std::shared_ptr<MCSublocation> subLocationWithId(int64_t sublocationId) const;
  std::shared_ptr<MCZone> zoneWithId(int64_t zoneId) const;
  // A new map screen over this location, made by the registered factory; none
  // while no factory is registered or when this location is not held by a
  // shared_ptr (the screen keeps the location).
  std::shared_ptr<MCLocationViewController> viewController();
  // Registers the process's screen factory (an empty one unregisters).
  static void setViewControllerFactory(MCLocationScreenFactory factory);

  bool isValid() const { return id > 0; }
  std::string description() const;

  static const char* className() { return "MCLocation"; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const;
  static std::shared_ptr<MCLocation> initWithCoder(const platform::KeyedUnarchiver& coder);
};
