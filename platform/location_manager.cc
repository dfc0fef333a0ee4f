#include "platform/location_manager.h"

#include <algorithm>
#include <cctype>
#include <map>

#include "platform/mutex.h"

namespace platform {
namespace {

std::vector<std::string> defaultInfoKeys() {
  return {"NSLocationAlwaysUsageDescription", "NSLocationWhenInUseUsageDescription"};
}

// What the phone knows about location: the app's authorisation, the switches
// of the device, and the managers told of changes and fed with readings.
struct World {
  Mutex mutex;
  int32_t status GUARDED_BY(mutex) = kAuthorizationStatusNotDetermined;
  int32_t answer GUARDED_BY(mutex) = kAuthorizationStatusAuthorizedAlways;
  bool servicesEnabled GUARDED_BY(mutex) = true;
  bool headingAvailable GUARDED_BY(mutex) = true;
  bool monitoringAvailable GUARDED_BY(mutex) = true;
  std::vector<std::string> infoKeys GUARDED_BY(mutex) = defaultInfoKeys();
  std::vector<std::weak_ptr<LocationManager>> managers GUARDED_BY(mutex);

  static World& instance() {
    static World* w = new World;  // outlives every manager
    return *w;
  }
  std::vector<std::shared_ptr<LocationManager>> live() REQUIRES(mutex) {
    std::vector<std::shared_ptr<LocationManager>> out;
    std::erase_if(managers, [](const auto& w) { return w.expired(); });
    for (const auto& w : managers)
      if (auto m = w.lock()) out.push_back(std::move(m));
    return out;
  }
};

bool authorised(int32_t status) {
  return status == kAuthorizationStatusAuthorizedAlways ||
         status == kAuthorizationStatusAuthorizedWhenInUse;
}

std::optional<std::string> canonicalUUID(const std::string& text) {
  static const int groups[] = {8, 4, 4, 4, 12};
  if (text.size() != 36) return std::nullopt;
  std::string out;
  size_t i = 0;
  for (int g = 0; g < 5; ++g) {
    if (g > 0) {
      if (text[i] != '-') return std::nullopt;
      out += '-';
      ++i;
    }
    for (int k = 0; k < groups[g]; ++k, ++i) {
      unsigned char c = text[i];
      if (!std::isxdigit(c)) return std::nullopt;
      out += char(std::toupper(c));
    }
  }
  return out;
}

bool sameRegion(const BeaconRegion& a, const BeaconRegion& b) { return a.identifier == b.identifier; }

void setStatusLocked(World& w, int32_t status) REQUIRES(w.mutex) {
  w.status = status;
  for (const auto& m : w.live()) m->report(status);
}

}  // namespace

std::optional<BeaconRegion> BeaconRegion::initWithProximityUUID(const std::string& uuid,
                                                                 const std::string& identifier) {
  auto canonical = canonicalUUID(uuid);
  if (!canonical) return std::nullopt;
  BeaconRegion r;
  r.proximityUUID = *canonical;
  r.identifier = identifier;
  return r;
}

std::string BeaconRegion::description() const {
  return "BeaconRegion (identifier:'" + identifier + "', uuid:" + proximityUUID + ")";
}

LocationManager::LocationManager(LocationManagerDelegate delegate, std::shared_ptr<RunLoop> loop)
    : delegate_(std::move(delegate)), loop_(loop) {}

std::shared_ptr<LocationManager> LocationManager::create(AuthorizationCallback onAuthorization) {
  LocationManagerDelegate d;
  if (onAuthorization)
    d.didChangeAuthorizationStatus = [cb = std::move(onAuthorization)](LocationManager&,
                                                                       int32_t s) { cb(s); };
  return create(std::move(d));
}

std::shared_ptr<LocationManager> LocationManager::create(LocationManagerDelegate delegate) {
  auto manager = std::make_shared<LocationManager>(std::move(delegate), RunLoop::current());
  World& w = World::instance();
  MutexLock lock(w.mutex);
  w.live();
  w.managers.push_back(manager);
  manager->report(w.status);
  return manager;
}

int32_t LocationManager::authorizationStatus() {
  World& w = World::instance();
  MutexLock lock(w.mutex);
  return w.status;
}

bool LocationManager::locationServicesEnabled() {
  World& w = World::instance();
  MutexLock lock(w.mutex);
  return w.servicesEnabled;
}

bool LocationManager::headingAvailable() {
  World& w = World::instance();
  MutexLock lock(w.mutex);
  return w.headingAvailable;
}

bool LocationManager::isMonitoringAvailableForBeaconRegions() {
  World& w = World::instance();
  MutexLock lock(w.mutex);
  return w.monitoringAvailable;
}

bool LocationManager::infoPlistHasKey(const std::string& key) {
  World& w = World::instance();
  MutexLock lock(w.mutex);
  return std::find(w.infoKeys.begin(), w.infoKeys.end(), key) != w.infoKeys.end();
}

void LocationManager::requestAlwaysAuthorization() {
  {
    MutexLock lock(mutex_);
    ++requests_;
  }
  World& w = World::instance();
  MutexLock lock(w.mutex);
  if (w.status == kAuthorizationStatusNotDetermined) setStatusLocked(w, w.answer);
}

void LocationManager::requestWhenInUseAuthorization() {
  {
    MutexLock lock(mutex_);
    ++requests_;
  }
  World& w = World::instance();
  MutexLock lock(w.mutex);
  if (w.status == kAuthorizationStatusNotDetermined)
    setStatusLocked(w, w.answer == kAuthorizationStatusAuthorizedAlways
                           ? kAuthorizationStatusAuthorizedWhenInUse
                           : w.answer);
}

int LocationManager::requestCount() const {
  MutexLock lock(mutex_);
  return requests_;
}

double LocationManager::distanceFilter() const {
  MutexLock lock(mutex_);
  return distanceFilter_;
}
void LocationManager::setDistanceFilter(double metres) {
  MutexLock lock(mutex_);
  distanceFilter_ = metres;
}
double LocationManager::desiredAccuracy() const {
  MutexLock lock(mutex_);
  return desiredAccuracy_;
}
void LocationManager::setDesiredAccuracy(double metres) {
  MutexLock lock(mutex_);
  desiredAccuracy_ = metres;
}

void LocationManager::startMonitoringForRegion(const BeaconRegion& region) {
  MutexLock lock(mutex_);
  std::erase_if(monitored_, [&](const auto& r) { return sameRegion(r, region); });
  monitored_.push_back(region);
}
void LocationManager::stopMonitoringForRegion(const BeaconRegion& region) {
  MutexLock lock(mutex_);
  std::erase_if(monitored_, [&](const auto& r) { return sameRegion(r, region); });
}
void LocationManager::startRangingBeaconsInRegion(const BeaconRegion& region) {
  MutexLock lock(mutex_);
  std::erase_if(ranged_, [&](const auto& r) { return sameRegion(r, region); });
  ranged_.push_back(region);
}
void LocationManager::stopRangingBeaconsInRegion(const BeaconRegion& region) {
  MutexLock lock(mutex_);
  std::erase_if(ranged_, [&](const auto& r) { return sameRegion(r, region); });
}
std::vector<BeaconRegion> LocationManager::monitoredRegions() const {
  MutexLock lock(mutex_);
  return monitored_;
}
std::vector<BeaconRegion> LocationManager::rangedRegions() const {
  MutexLock lock(mutex_);
  return ranged_;
}

void LocationManager::startUpdatingLocation() {
  MutexLock lock(mutex_);
  updating_ = true;
}
void LocationManager::stopUpdatingLocation() {
  MutexLock lock(mutex_);
  updating_ = false;
}
bool LocationManager::isUpdatingLocation() const {
  MutexLock lock(mutex_);
  return updating_;
}
void LocationManager::startMonitoringSignificantLocationChanges() {
  MutexLock lock(mutex_);
  significant_ = true;
}
void LocationManager::stopMonitoringSignificantLocationChanges() {
  MutexLock lock(mutex_);
  significant_ = false;
}
bool LocationManager::isMonitoringSignificantLocationChanges() const {
  MutexLock lock(mutex_);
  return significant_;
}
std::optional<Location> LocationManager::location() const {
  MutexLock lock(mutex_);
  return last_;
}

template <class F>
void LocationManager::post(F&& f) {
  auto loop = loop_.lock();
  if (!loop) return;
  std::weak_ptr<LocationManager> weak = weak_from_this();
  loop->perform([weak, f = std::forward<F>(f)] {
    if (auto self = weak.lock()) f(*self);
  });
}

void LocationManager::report(int32_t status) {
  post([status](LocationManager& self) {
    if (self.delegate_.didChangeAuthorizationStatus)
      self.delegate_.didChangeAuthorizationStatus(self, status);
  });
}

void LocationManager::deliverBeacons(const std::vector<Beacon>& beacons) {
  std::vector<BeaconRegion> ranged = rangedRegions();
  for (const auto& region : ranged) {
    std::vector<Beacon> batch;
    for (const auto& b : beacons)
      if (b.proximityUUID == region.proximityUUID) batch.push_back(b);
    post([region, batch = std::move(batch)](LocationManager& self) {
      // A region whose ranging stopped since the batch was posted hears nothing more.
      auto now = self.rangedRegions();
      if (std::none_of(now.begin(), now.end(), [&](const auto& r) { return sameRegion(r, region); }))
        return;
      if (self.delegate_.didRangeBeacons) self.delegate_.didRangeBeacons(self, batch, region);
    });
  }
}

void LocationManager::deliverLocation(const Location& fix, bool significant) {
  {
    MutexLock lock(mutex_);
    if (!updating_ && !(significant && significant_)) return;
  }
  post([fix](LocationManager& self) {
    {
      MutexLock lock(self.mutex_);
      self.last_ = fix;
    }
    if (self.delegate_.didUpdateLocations) self.delegate_.didUpdateLocations(self, {fix});
  });
}

namespace location {

void setAuthorizationStatus(int32_t status) {
  World& w = World::instance();
  MutexLock lock(w.mutex);
  setStatusLocked(w, status);
}

void setAuthorizationAnswer(int32_t status) {
  World& w = World::instance();
  MutexLock lock(w.mutex);
  w.answer = status;
}

void setLocationServicesEnabled(bool enabled) {
  World& w = World::instance();
  MutexLock lock(w.mutex);
  w.servicesEnabled = enabled;
}

void setHeadingAvailable(bool available) {
  World& w = World::instance();
  MutexLock lock(w.mutex);
  w.headingAvailable = available;
}

void setMonitoringAvailable(bool available) {
  World& w = World::instance();
  MutexLock lock(w.mutex);
  w.monitoringAvailable = available;
}

void setInfoPlistKeys(std::vector<std::string> keys) {
  World& w = World::instance();
  MutexLock lock(w.mutex);
  w.infoKeys = std::move(keys);
}

void rangeBeacons(const std::vector<Beacon>& beacons) {
  World& w = World::instance();
  MutexLock lock(w.mutex);
  if (!authorised(w.status) || !w.servicesEnabled) return;
  for (const auto& m : w.live()) m->deliverBeacons(beacons);
}

void updateLocation(const Location& fix, bool significant) {
  World& w = World::instance();
  MutexLock lock(w.mutex);
  if (!authorised(w.status) || !w.servicesEnabled) return;
  for (const auto& m : w.live()) m->deliverLocation(fix, significant);
}

void reset() {
  World& w = World::instance();
  MutexLock lock(w.mutex);
  w.status = kAuthorizationStatusNotDetermined;
  w.answer = kAuthorizationStatusAuthorizedAlways;
  w.servicesEnabled = w.headingAvailable = w.monitoringAvailable = true;
  w.infoKeys = defaultInfoKeys();
}

}  // namespace location
}  // namespace platform
