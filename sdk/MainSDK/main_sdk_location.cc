// Filling the one location model from the loaded client's description.
#include <algorithm>
#include <set>

#include "MainSDK/main_sdk.h"
#include "Navigation/mc_engine_zone.h"
#include "platform/dispatch.h"
#include "platform/mutex.h"

namespace {

int64_t BeaconStatus(const std::string& text) {
  if (text == "new") return 1;
  if (text == "mod") return 2;
  if (text == "del") return 3;
  return 0;
}

}  // namespace

void MainSDK::fillLocationClass() {
  std::vector<std::string> uuids(std::begin(kBuiltInUuids), std::end(kBuiltInUuids));
  const std::shared_ptr<const MLocationInfo> info =
      m_.navigationManager->navigationEngine().locationInfo();
  const MLocationInfo empty;
  const MLocationInfo& d = info ? *info : empty;
  // The floors are built aside and published whole, so readers of the location never
  // see a list being rebuilt.
  std::vector<std::shared_ptr<MCSublocation>> floors;
  for (const MLocationInfoSublocation& f : d.sublocations) {
    auto s = std::make_shared<MCSublocation>();
    s->id = f.id;
    s->location = d.id;
    s->name = f.name;
    s->svgFile = f.svgFile;
    s->pngFile = f.pngFile;
    s->jpgFile = f.jpgFile;
    s->svgImage = f.svgImage;
    s->pngImage = f.pngImage;
    s->jpgImage = f.jpgImage;
    s->width = float(f.width);
    s->height = float(f.height);
    s->azimuth = float(f.azimuth);
    s->magneticDeclination = float(f.magneticDeclination);
    s->latitude = f.latitude;
    s->longitude = f.longitude;
    if (const std::shared_ptr<MCFloorImageRenderer> renderer = m_.mapViewManager) {
      platform::dispatch::mainQueue()->sync([&] { renderer->loadSublocationImage(*s); });
      s->image = renderer->image();
    }
    s->archiveFile = f.archiveFile;
    for (const MLocationInfoBeacon& b : f.beacons) {
      auto beacon = std::make_shared<MCBeacon>();
      beacon->id = b.id;
      beacon->location = b.locationId;
      beacon->sublocation = b.sublocationId;
      beacon->x = b.kX * double(s->width);
      beacon->y = b.kY * double(s->height);
      beacon->name = b.name;
      beacon->uuid = b.uuid;
      beacon->major = b.major;
      beacon->minor = b.minor;
      beacon->status = BeaconStatus(b.status);
      if (!b.uuid.empty()) uuids.push_back(b.uuid);
      s->beacons->push_back(std::move(beacon));
    }
    for (const Zone& z : f.zones) s->zones->push_back(MCZoneFromEngine(z, d.id, f.id, d.id));
    floors.push_back(std::move(s));
  }
  std::set<std::string> seen;
  std::vector<std::string> unique;
  for (std::string& u : uuids) {
    if (seen.insert(u).second) unique.push_back(std::move(u));
  }
  {
    platform::MutexLock lock(locationMutex_);
    locationFields_->id = d.id;
    locationFields_->name = d.name;
    locationFields_->localDescription = d.description;
    locationFields_->archiveFile = d.archiveFile;
    locationFields_->version = d.version;
    locationFields_->sublocations = std::move(floors);
    locationFields_->modified = d.modified;
  }
  platform::MutexLock lock(stateMutex_);
  uuids_ = std::move(unique);
}
