/// @file
/// The location models the host and the map screen see: a location with its
/// floors, and a floor with its files, images, size, geographic anchor,
/// beacons, zones and venues. A floor's beacon, zone and venue lists are shared
/// list objects (a copied floor shares them with its source), so what the SDK
/// appends shows in every holder. Not locked: the coordinator refills the one
/// shared location on the loading thread while the map screen reads it.
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

/// A list the SDK and the host share: what one holder appends, every holder sees.
template <class T>
using MCList = std::shared_ptr<std::vector<std::shared_ptr<T>>>;

/// A new empty shared list.
template <class T>
MCList<T> MCNewList() {
  return std::make_shared<std::vector<std::shared_ptr<T>>>();
}

/// One floor of a location.
class MCSublocation {
 public:
  int64_t id = 0;           ///< The floor's id.
  int64_t location = 0;     ///< The id of its location.
  std::string name;         ///< Its name.
  std::string svgFile;      ///< The name of its SVG image in the map archive; empty when absent.
  std::string pngFile;      ///< The name of its PNG image in the map archive; empty when absent.
  std::string jpgFile;      ///< The name of its JPG image in the map archive; empty when absent.
  /// The SVG image's bytes; none when absent.
  std::optional<std::vector<uint8_t>> svgImage;
  /// The PNG image's bytes; none when absent.
  std::optional<std::vector<uint8_t>> pngImage;
  /// The JPG image's bytes; none when absent.
  std::optional<std::vector<uint8_t>> jpgImage;
  /// The floor drawn from one of them, by the map view at every load. A host
  /// without the map view never gets a picture here: it stays null. The
  /// installed kit carries no map view, so a host built against it draws the
  /// floor from the bytes above itself; inside this tree the map view draws
  /// once `MCMapViewInstall()` has been called.
  std::shared_ptr<platform::Image> image;
  float width = 0;          ///< Metres.
  float height = 0;         ///< Metres.
  float azimuth = 0;        ///< Degrees, as the map gives the floor's orientation.
  /// Degrees.
  float magneticDeclination = 0;
  double latitude = 0;      ///< The floor centre's latitude, in degrees.
  double longitude = 0;     ///< The floor centre's longitude, in degrees.
  /// Its beacons.
  MCList<MCBeacon> beacons = MCNewList<MCBeacon>();
  /// Its zones.
  MCList<MCZone> zones = MCNewList<MCZone>();
  /// Its points of interest.
  MCList<MCVenue> venues = MCNewList<MCVenue>();
  std::string archiveFile;  ///< The map archive it came from.

  /// Every field but magneticDeclination; the three lists are shared.
  static std::shared_ptr<MCSublocation> initWithSublocation(const MCSublocation& other);
  /// The floor's zone with that id; null when it has none.
  std::shared_ptr<MCZone> zoneWithId(int64_t zoneId) const;
  /// Floor metres to degrees; the floor's anchor is its centre.
  std::shared_ptr<MCGlobalPoint> gpsFromLocal(const MCLocationPoint& point) const;
  /// Degrees to floor metres, the inverse of `gpsFromLocal`.
  std::shared_ptr<MCLocationPoint> localFromGps(const MCGlobalPoint& point) const;

  /// Whether id and location are set.
  bool isValid() const { return id >= 1 && location > 0; }
  std::string description() const;  ///< A one-line text of the fields, for logs.

  /// The class name the kit's keyed archives record.
  static const char* className() { return "MCSublocation"; }
  /// Writes the fields to a keyed archive (used by the kit's own persistence).
  void encodeWithCoder(platform::KeyedArchiver& coder) const;
  /// A new object from what `encodeWithCoder` wrote; missing fields read as zero or empty.
  static std::shared_ptr<MCSublocation> initWithCoder(const platform::KeyedUnarchiver& coder);
};

// The map screen, opaque here: the map view above the SDK defines it and
// registers the factory that makes one for a location.
class MCLocationViewController;
class MCLocation;
/// Makes the map screen for a location.
using MCLocationScreenFactory =
    std::function<std::shared_ptr<MCLocationViewController>(std::shared_ptr<MCLocation>)>;

/// A location (a venue) with its floors, as the latest archive load filled it. The facade
/// keeps one and refills it in place at every load.
class MCLocation : public std::enable_shared_from_this<MCLocation> {
 public:
  int64_t id = 0;           ///< The location's id; 0 before a map is loaded.
  std::string name;         ///< Its name.
  /// Its description text.
  std::string localDescription;
  std::string archiveFile;  ///< The map archive it came from.
  int64_t version = 0;      ///< The map's version.
  /// Its floors.
  std::vector<std::shared_ptr<MCSublocation>> sublocations;
  bool modified = false;    ///< Whether a beacon of any floor is marked new, modified or deleted.

  /// A copy with each floor copied by MCSublocation::initWithSublocation.
  static std::shared_ptr<MCLocation> initWithLocation(const MCLocation& other);
  /// The floor with that id; null when there is none.
  std::shared_ptr<MCSublocation> subLocationWithId(int64_t sublocationId) const;
  /// The zone with that id on any floor; null when there is none.
  std::shared_ptr<MCZone> zoneWithId(int64_t zoneId) const;
  /// A new map screen over this location, made by the registered factory; none
  /// while no factory is registered or when this location is not held by a
  /// shared_ptr (the screen keeps the location).
  std::shared_ptr<MCLocationViewController> viewController();
  /// Registers the process's screen factory (an empty one unregisters).
  static void setViewControllerFactory(MCLocationScreenFactory factory);

  bool isValid() const { return id > 0; }  ///< Whether a map is loaded (id set).
  std::string description() const;         ///< A one-line text of the fields, for logs.

  /// The class name the kit's keyed archives record.
  static const char* className() { return "MCLocation"; }
  /// Writes the fields to a keyed archive (used by the kit's own persistence).
  void encodeWithCoder(platform::KeyedArchiver& coder) const;
  /// A new object from what `encodeWithCoder` wrote; missing fields read as zero or empty.
  static std::shared_ptr<MCLocation> initWithCoder(const platform::KeyedUnarchiver& coder);
};
