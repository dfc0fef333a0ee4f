#include "MCModels/mc_location.h"

#include "MCModels/mc_description.h"
#include "platform/mutex.h"
#include "wifipos/coordinates.h"
#include "platform/image.h"
#include "platform/keyed_archiver.h"

namespace {

template <class T>
void EncodeList(platform::KeyedArchiver& coder, const MCList<T>& list, const std::string& key) {
  if (list) coder.encodeArray(*list, key);
}

template <class T>
MCList<T> DecodeList(const platform::KeyedUnarchiver& coder, const std::string& key) {
  return std::make_shared<std::vector<std::shared_ptr<T>>>(coder.decodeArrayForKey<T>(key));
}

void EncodeOptionalData(platform::KeyedArchiver& coder,
                        const std::optional<std::vector<uint8_t>>& data, const std::string& key) {
  if (data) coder.encodeData(*data, key);
}

std::optional<std::vector<uint8_t>> DecodeOptionalData(const platform::KeyedUnarchiver& coder,
                                                       const std::string& key) {
  if (!coder.containsValueForKey(key)) return std::nullopt;
  return coder.decodeDataForKey(key);
}

struct ScreenFactory {
  platform::Mutex mutex;
  MCLocationScreenFactory make GUARDED_BY(mutex);
};

ScreenFactory& TheScreenFactory() {
  static ScreenFactory factory;
  return factory;
}

}  // namespace

std::shared_ptr<MCSublocation> MCSublocation::initWithSublocation(const MCSublocation& other) {
  auto s = std::make_shared<MCSublocation>(other);
  s->magneticDeclination = 0;
  return s;
}

std::shared_ptr<MCZone> MCSublocation::zoneWithId(int64_t zoneId) const {
  if (!zones) return nullptr;
  for (const auto& z : *zones) {
    if (z && z->id == zoneId) return z;
  }
  return nullptr;
}

std::shared_ptr<MCGlobalPoint> MCSublocation::gpsFromLocal(const MCLocationPoint& point) const {
  const double u = point.x.doubleValue() - width * 0.5;
  const double v = point.y.doubleValue() - height * 0.5;
  // The engine turns the other way round: its azimuth is the floor's negated.
  double lat = 0.0, lon = 0.0;
  LocalToGps(u, v, latitude, longitude, -double(azimuth), &lat, &lon);
  return MCGlobalPoint::pointWithLatitude(lat, lon);
}

std::shared_ptr<MCLocationPoint> MCSublocation::localFromGps(const MCGlobalPoint& point) const {
  double x = 0.0, y = 0.0;
  GpsToLocal(point.latitude, point.longitude, latitude, longitude, -double(azimuth), &x, &y);
  return MCLocationPoint::pointWithLocation(location, id, MCNumber(x + width * 0.5),
                                            MCNumber(y + height * 0.5));
}

std::string MCSublocation::description() const {
  return MCFormat(
      "MCSublocation description: %s id: %zd location id: %zd name: %s svg file: %s png file: %s "
      "jpg file: %s width: %lf height: %lf azimuth: %lf gps latitude: %f  gps longitude: %f "
      "beacons: %s zones: %s venues: %s archive: %s",
      MCObjectDescription("MCSublocation", this).c_str(), static_cast<ssize_t>(id),
      static_cast<ssize_t>(location), name.c_str(), svgFile.c_str(), pngFile.c_str(),
      jpgFile.c_str(), static_cast<double>(width), static_cast<double>(height),
      static_cast<double>(azimuth), latitude, longitude, MCListDescription(beacons).c_str(),
      MCListDescription(zones).c_str(), MCListDescription(venues).c_str(), archiveFile.c_str());
}

void MCSublocation::encodeWithCoder(platform::KeyedArchiver& coder) const {
  coder.encodeInt(id, "id");
  coder.encodeInt(location, "locationId");
  coder.encodeString(name, "name");
  coder.encodeString(svgFile, "svgFile");
  coder.encodeString(pngFile, "pngFile");
  coder.encodeString(jpgFile, "jpgFile");
  EncodeOptionalData(coder, svgImage, "svgImage");
  EncodeOptionalData(coder, pngImage, "pngImage");
  EncodeOptionalData(coder, jpgImage, "jpgImage");
  coder.encodeImage(image, "image");
  coder.encodeFloat(width, "width");
  coder.encodeFloat(height, "height");
  coder.encodeFloat(azimuth, "azimuth");
  coder.encodeDouble(latitude, "latitude");
  coder.encodeDouble(longitude, "longitude");
  EncodeList(coder, beacons, "beacons");
  EncodeList(coder, zones, "zones");
  EncodeList(coder, venues, "venues");
}

std::shared_ptr<MCSublocation> MCSublocation::initWithCoder(
    const platform::KeyedUnarchiver& coder) {
  auto s = std::make_shared<MCSublocation>();
  s->id = coder.decodeIntForKey("id");
  s->location = coder.decodeIntForKey("locationId");
  s->name = coder.decodeStringForKey("name");
  s->svgFile = coder.decodeStringForKey("svgFile");
  s->pngFile = coder.decodeStringForKey("pngFile");
  s->jpgFile = coder.decodeStringForKey("jpgFile");
  s->svgImage = DecodeOptionalData(coder, "svgImage");
  s->pngImage = DecodeOptionalData(coder, "pngImage");
  s->jpgImage = DecodeOptionalData(coder, "jpgImage");
  s->image = coder.decodeImageForKey("image");
  s->width = coder.decodeFloatForKey("width");
  s->height = coder.decodeFloatForKey("height");
  s->azimuth = coder.decodeFloatForKey("azimuth");
  s->latitude = coder.decodeDoubleForKey("latitude");
  s->longitude = coder.decodeDoubleForKey("longitude");
  s->beacons = DecodeList<MCBeacon>(coder, "beacons");
  s->zones = DecodeList<MCZone>(coder, "zones");
  s->venues = DecodeList<MCVenue>(coder, "venues");
  return s;
}

std::shared_ptr<MCLocationViewController> MCLocation::viewController() {
  MCLocationScreenFactory make;
  {
    ScreenFactory& f = TheScreenFactory();
    platform::MutexLock lock(f.mutex);
    make = f.make;
  }
  std::shared_ptr<MCLocation> self = weak_from_this().lock();
  if (!make || !self) return nullptr;
  return make(std::move(self));
}

void MCLocation::setViewControllerFactory(MCLocationScreenFactory factory) {
  ScreenFactory& f = TheScreenFactory();
  platform::MutexLock lock(f.mutex);
  f.make = std::move(factory);
}

std::shared_ptr<MCLocation> MCLocation::initWithLocation(const MCLocation& other) {
  auto l = std::make_shared<MCLocation>();
  l->id = other.id;
  l->name = other.name;
  l->localDescription = other.localDescription;
  l->archiveFile = other.archiveFile;
  l->version = other.version;
  l->modified = other.modified;
  for (const auto& s : other.sublocations) {
    if (s) l->sublocations.push_back(MCSublocation::initWithSublocation(*s));
  }
  return l;
}

std::shared_ptr<MCSublocation> MCLocation::subLocationWithId(int64_t sublocationId) const {
  for (const auto& s : sublocations) {
    if (s && s->id == sublocationId) return s;
  }
  return nullptr;
}

std::shared_ptr<MCZone> MCLocation::zoneWithId(int64_t zoneId) const {
  for (const auto& s : sublocations) {
    if (!s) continue;
    if (auto z = s->zoneWithId(zoneId)) return z;
  }
  return nullptr;
}

std::string MCLocation::description() const {
  return MCFormat(
      "MCLocation description: %s id: %zd name: %s localDescription: %s version: %zd modified: "
      "%zd archive: %s sublocations: %s",
      MCObjectDescription("MCLocation", this).c_str(), static_cast<ssize_t>(id), name.c_str(),
      localDescription.c_str(), static_cast<ssize_t>(version), static_cast<ssize_t>(modified),
      archiveFile.c_str(), MCListDescription(sublocations).c_str());
}

void MCLocation::encodeWithCoder(platform::KeyedArchiver& coder) const {
  coder.encodeInt(id, "id");
  coder.encodeString(name, "name");
  coder.encodeString(localDescription, "description");
  coder.encodeString(archiveFile, "archiveFile");
  coder.encodeInt(version, "version");
  coder.encodeArray(sublocations, "subLocations");
  coder.encodeBool(modified, "modified");
}

std::shared_ptr<MCLocation> MCLocation::initWithCoder(const platform::KeyedUnarchiver& coder) {
  auto l = std::make_shared<MCLocation>();
  l->id = coder.decodeIntForKey("id");
  l->name = coder.decodeStringForKey("name");
  l->localDescription = coder.decodeStringForKey("description");
  l->archiveFile = coder.decodeStringForKey("archiveFile");
  l->version = coder.decodeIntForKey("version");
  l->sublocations = coder.decodeArrayForKey<MCSublocation>("subLocations");
  l->modified = coder.decodeBoolForKey("modified");
  return l;
}
