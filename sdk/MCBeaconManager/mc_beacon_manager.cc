#include "MCBeaconManager/mc_beacon_manager.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <regex>

#include "MCBeaconManager/mc_beacon_key.h"
#include "MCBeaconManager/mc_nearest_beacon.h"
#include "Foundation/mc_log.h"
#include "platform/app.h"
#include "platform/main_thread.h"
#include "platform/mutex.h"

namespace {

constexpr const char* kCentralQueueLabel = "com.marvisto.centralManager";
constexpr double kCleanerPeriod = 2.0;
constexpr double kMeasurePeriod = 1.0;
// However many readings come, the queue holds no more than this.
constexpr size_t kHardCap = 100000;

double secondsBetween(const platform::WallTime& newer, const platform::WallTime& older) {
  return double(newer.seconds - older.seconds) + double(newer.microseconds - older.microseconds) / 1e6;
}

template <class D, class F>
void send(const std::weak_ptr<D>& weak, F&& call) {
  if (auto d = weak.lock()) call(*d);
}

}  // namespace

std::shared_ptr<MCBeaconManager> MCBeaconManager::sharedInstance() {
  static const std::shared_ptr<MCBeaconManager> shared = init();
  return shared;
}

MCBeaconManager::MCBeaconManager() = default;

std::shared_ptr<MCBeaconManager> MCBeaconManager::init() {
  auto m = std::make_shared<MCBeaconManager>();
  std::weak_ptr<MCBeaconManager> weak = m;
  platform::LocationManagerDelegate d;
  d.didChangeAuthorizationStatus = [weak](platform::LocationManager&, int32_t) {
    if (auto self = weak.lock()) self->configureBluetooth();
  };
  d.didRangeBeacons = [weak](platform::LocationManager& lm, const std::vector<platform::Beacon>& b,
                             const platform::BeaconRegion& r) {
    if (auto self = weak.lock()) self->locationManager(lm, b, r);
  };
  d.didEnterRegion = [](platform::LocationManager&, const platform::BeaconRegion& r) {
    MC_LOG(2, "Enter region:" + r.description() + "\n");
  };
  d.didExitRegion = [](platform::LocationManager&, const platform::BeaconRegion& r) {
    MC_LOG(2, "Exit region:" + r.description() + "\n");
  };
  d.didDetermineState = [](platform::LocationManager&, int64_t state, const platform::BeaconRegion&) {
    MC_LOG(2, "LocationManager state:" + std::to_string(state) + "\n");
  };
  d.monitoringDidFailForRegion = [](platform::LocationManager&, const platform::BeaconRegion& r,
                                    const platform::Error& e) {
    MC_LOG(2, "ERROR! Can't monitoring region:" + r.description() + " with error:" + e.description() +
                  "\n");
  };
  d.didFailWithError = [](platform::LocationManager&, const platform::Error& e) {
    MC_LOG(1, "ERROR! LocationManager failed with error:" + e.description() + "\n");
  };
  d.rangingBeaconsDidFailForRegion = [](platform::LocationManager&, const platform::BeaconRegion&,
                                        const platform::Error&) { MC_LOG(1, "\n"); };
  m->locationManager_ = platform::LocationManager::create(std::move(d));
  m->locationManager_->setDistanceFilter(platform::kLocationDistanceMax);
  m->locationManager_->setDesiredAccuracy(platform::kLocationAccuracyThreeKilometers);
  // A change of the radio's state neither starts nor stops the fast scan.
  m->centralManager_ = platform::BluetoothCentral::create(
      nullptr, platform::dispatch::serialQueue(kCentralQueueLabel),
      {{platform::kCentralManagerScanOptionAllowDuplicatesKey, true}},
      [weak](const platform::Peripheral& p, const platform::AdvertisementData& a, int64_t rssi) {
        if (auto self = weak.lock()) self->centralManager(p, a, rssi);
      });
  return m;
}

void MCBeaconManager::startBeaconManager() {
  startLocationManager();
  startCentralManager();
  std::weak_ptr<MCBeaconManager> weak = weak_from_this();
  platform::MutexLock lock(stateMutex_);
  if (!restartTimer_) {
    // A period below one second would spin the run loop.
    restartTimer_ = platform::Timer::scheduledTimerWithTimeInterval(
        std::max<int32_t>(1, refreshCentralManagerTimeout_), true, [weak] {
          if (auto self = weak.lock()) self->refreshCentralManager();
        });
  }
  if (!cleanTimer_) {
    cleanTimer_ = platform::Timer::scheduledTimerWithTimeInterval(kCleanerPeriod, true, [weak] {
      if (auto self = weak.lock()) self->beaconsCleaner();
    });
  }
}

void MCBeaconManager::stopBeaconManager() {
  stopLocationManager();
  stopCentralManager();
}

void MCBeaconManager::startLocationManager() {
  if (!regularScanEnabled_) return;
  MC_LOG(1, "LocationManager start scan.\n");
  platform::MutexLock lock(stateMutex_);
  for (const auto& text : uuids_) {
    MC_LOG(2, "New UUID for region: " + text + "\n");
    if (auto region = platform::BeaconRegion::initWithProximityUUID(text, text))
      regions_.push_back(*region);
  }
  if (!platform::LocationManager::isMonitoringAvailableForBeaconRegions()) {
    MC_LOG(1, "ERROR! This device does not support monitoring beacon regions.\n");
    return;
  }
  for (auto& region : regions_) {
    region.notifyOnEntry = region.notifyEntryStateOnDisplay = region.notifyOnExit = true;
    locationManager_->startMonitoringForRegion(region);
    locationManager_->startRangingBeaconsInRegion(region);
  }
}

void MCBeaconManager::stopLocationManager() {
  if (!regularScanEnabled_) return;
  MC_LOG(1, "LocationManager stop scan.\n");
  platform::MutexLock lock(stateMutex_);
  if (platform::LocationManager::isMonitoringAvailableForBeaconRegions()) {
    for (const auto& region : regions_) {
      locationManager_->stopMonitoringForRegion(region);
      locationManager_->stopRangingBeaconsInRegion(region);
    }
  }
  regions_.clear();
}

void MCBeaconManager::startCentralManager() {
  if (!fastScanEnabled_) return;
  MC_LOG(1, "CentralManager start scan.\n");
  if (centralManager_->state() == platform::kCentralStatePoweredOn)
    centralManager_->scanForPeripheralsWithServices(
        {}, {{platform::kCentralManagerScanOptionAllowDuplicatesKey, true}});
}

void MCBeaconManager::stopCentralManager() {
  if (!fastScanEnabled_) return;
  MC_LOG(1, "CentralManager stop scan.\n");
  centralManager_->stopScan();
  platform::MutexLock lock(stateMutex_);
  if (restartTimer_) restartTimer_->invalidate();
  restartTimer_.reset();
}

void MCBeaconManager::configureBluetooth() {
  MC_LOG(1, "Configure LocationManager.\n");
  const double version = std::strtod(platform::Device::systemVersion().c_str(), nullptr);
  if (version < 8.0 ||
      platform::LocationManager::authorizationStatus() != platform::kAuthorizationStatusNotDetermined)
    return;
  if (platform::LocationManager::infoPlistHasKey("NSLocationAlwaysUsageDescription")) {
    MC_LOG(1, "Info.plist contains NSLocationAlwaysUsageDescription\n");
    locationManager_->requestAlwaysAuthorization();
  } else if (platform::LocationManager::infoPlistHasKey("NSLocationWhenInUseUsageDescription")) {
    MC_LOG(1, "Info.plist contains NSLocationWhenInUseUsageDescription\n");
    locationManager_->requestWhenInUseAuthorization();
  } else {
    MC_LOG(1,
           "ERROR! Info.plist does not contain NSLocationAlwaysUsageDescription or "
           "NSLocationWhenInUseUsageDescription\n");
  }
}

void MCBeaconManager::addScanEntry(const std::string& key, int32_t rssi) {
  WScanEntry e;
  e.bssid = key;
  e.type = 2;
  e.rssi = rssi;
  MCScanEntry entry = MCScanEntry::initWithWScanEntry(e);
  scanEntries_.push_back(entry);
  // Undrained, the queue keeps only its newest seconds.
  while (!scanEntries_.empty() &&
         (scanEntries_.size() > kHardCap ||
          secondsBetween(entry.scanTime(), scanEntries_.front().scanTime()) > kMCBeaconKeepSeconds))
    scanEntries_.pop_front();
}

void MCBeaconManager::addBeacon(const MCRangedBeacon& record) {
  auto same = std::find_if(beacons_.begin(), beacons_.end(), [&](const MCRangedBeacon& b) {
    return b["major"] == record["major"] && b["minor"] == record["minor"] &&
           b["uuid"] == record["uuid"];
  });
  if (same != beacons_.end()) beacons_.erase(same);
  beacons_.push_back(record);
}

void MCBeaconManager::locationManager(platform::LocationManager&,
                                      const std::vector<platform::Beacon>& didRangeBeacons,
                                      const platform::BeaconRegion&) {
  for (const auto& beacon : didRangeBeacons) {
    if (beacon.rssi >= 0) continue;
    const std::string uuid = MCUpperCase(beacon.proximityUUID);
    const std::string key = MCBeaconKey(beacon.major, beacon.minor, uuid);
    {
      platform::MutexLock lock(mutex_);
      addScanEntry(key, int32_t(beacon.rssi));
    }
    {
      platform::MutexLock lock(usermutex_);
      addBeacon({{"major", beacon.major},
                 {"minor", beacon.minor},
                 {"uuid", uuid},
                 {"rssi", beacon.rssi},
                 {"proximity", beacon.proximity}});
    }
    platform::MutexLock lock(mutex_);
    if (isFindingNearestBeacon_) measureBeacons_[key].push_back(beacon.rssi);
  }
  if (didRangeBeacons.empty()) return;
  MCBeaconBatchReceivers receivers;
  {
    platform::MutexLock lock(stateMutex_);
    receivers = receivers_;
  }
  if (receivers.checkBeacons) receivers.checkBeacons(didRangeBeacons);
  if (receivers.addNewBeacons) receivers.addNewBeacons(didRangeBeacons);
}

void MCBeaconManager::centralManager(const platform::Peripheral&,
                                     const platform::AdvertisementData& advertisementData,
                                     int64_t RSSI) {
  PLATFORM_ON_QUEUE(*centralManager_->queue());
  std::optional<std::string> advertised;
  for (const auto& [service, data] : advertisementData.serviceData)
    if (data.size() >= 7) advertised = std::string(data.begin(), data.begin() + 4);
  if (!advertised) return;
  const int32_t rssi = int32_t(RSSI);
  if (rssi >= 0) return;
  const std::string wanted = MCUpperCase(*advertised);
  std::shared_ptr<const std::vector<FastScanBeacon>> known;
  {
    platform::MutexLock lock(stateMutex_);
    known = fastScanBeacons_;
  }
  const FastScanBeacon* match = nullptr;
  for (const FastScanBeacon& b : *known)
    if (b.name == wanted) {
      match = &b;
      break;
    }
  if (!match) return;
  // Upper-cased like ranging's keys, so the engine's map beacon is found
  // whatever case the location model holds.
  const std::string uuid = MCUpperCase(match->uuid);
  {
    platform::MutexLock lock(mutex_);
    addScanEntry(MCBeaconKey(match->major, match->minor, uuid), rssi);
  }
  platform::MutexLock lock(usermutex_);
  addBeacon({{"major", match->major},
             {"minor", match->minor},
             {"uuid", uuid},
             {"rssi", rssi},
             {"proximity", 0}});
}

void MCBeaconManager::fillWscanMessage(WScanMessage& message, const platform::WallTime& withTime) {
  platform::MutexLock lock(mutex_);
  message.entries.clear();
  for (auto& entry : scanEntries_) {
    entry.calculateOffsetWithTime(withTime);
    message.entries.push_back(entry.wscanEntry());
  }
  scanEntries_.clear();
}

void MCBeaconManager::clearScanEntries() {
  platform::MutexLock lock(mutex_);
  scanEntries_.clear();
}

void MCBeaconManager::beaconsCleaner() {
  std::vector<MCRangedBeacon> copy;
  {
    platform::MutexLock lock(usermutex_);
    copy.swap(beacons_);
  }
  send(delegate(), [&](MCBeaconManagerDelegate& d) {
    if (d.didRangeBeacons) d.didRangeBeacons(copy);
  });
}

void MCBeaconManager::refreshCentralManager() {}

void MCBeaconManager::regularScanEnabled(bool enabled) {
  if (regularScanEnabled_ == enabled) return;
  if (enabled) {
    regularScanEnabled_ = true;
    startLocationManager();
  } else {
    stopLocationManager();
    regularScanEnabled_ = false;
  }
}

void MCBeaconManager::fastScanEnabled(bool enabled) {
  if (fastScanEnabled_ == enabled) return;
  if (enabled) {
    fastScanEnabled_ = true;
    startCentralManager();
  } else {
    stopCentralManager();
    fastScanEnabled_ = false;
  }
}

void MCBeaconManager::changeRestartTimeout(double seconds) {
  // Whole seconds; a time-out beyond the int range (or not a number) is kept in range.
  refreshCentralManagerTimeout_ =
      std::isnan(seconds) ? 0 : int32_t(std::clamp(std::trunc(seconds), -2147483648.0, 2147483647.0));
  std::weak_ptr<MCBeaconManager> weak = weak_from_this();
  platform::MutexLock lock(stateMutex_);
  // The timer replaced is stopped, not left running unreachable.
  if (restartTimer_) restartTimer_->invalidate();
  restartTimer_ = platform::Timer::scheduledTimerWithTimeInterval(
      std::max<int32_t>(1, refreshCentralManagerTimeout_), false, [weak] {
        if (auto self = weak.lock()) self->refreshCentralManager();
      });
}

bool MCBeaconManager::isValidUUID(const std::string& text) {
  static const std::regex pattern(
      "^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}$");
  return std::regex_match(text, pattern);
}

void MCBeaconManager::startMeasureNearestBeacon() {
  {
    platform::MutexLock lock(mutex_);
    isFindingNearestBeacon_ = true;
    measureBeacons_.clear();
  }
  std::weak_ptr<MCBeaconManager> weak = weak_from_this();
  platform::MutexLock lock(stateMutex_);
  measureCount_ = 0;
  if (!measureTimer_)
    measureTimer_ = platform::Timer::scheduledTimerWithTimeInterval(kMeasurePeriod, true, [weak] {
      if (auto self = weak.lock()) self->calculateDistances();
    });
}

void MCBeaconManager::stopMeasureNearestBeacon() {
  {
    platform::MutexLock lock(stateMutex_);
    if (measureTimer_) measureTimer_->invalidate();
    measureTimer_.reset();
    measureCount_ = 0;
  }
  platform::MutexLock lock(mutex_);
  isFindingNearestBeacon_ = false;
}

std::map<std::string, double> MCBeaconManager::averageDuplicateMeasurements() const {
  platform::MutexLock lock(mutex_);
  return MCAverageSamples(measureBeacons_);
}

void MCBeaconManager::calculateDistances() {
  int64_t count;
  {
    platform::MutexLock lock(stateMutex_);
    count = ++measureCount_;
    if (count > 4) {
      if (measureTimer_) measureTimer_->invalidate();
      measureTimer_.reset();
    }
  }
  if (count <= 4) {
    send(delegate(), [&](MCBeaconManagerDelegate& d) {
      if (d.measuringBeaconWithProcess) d.measuringBeaconWithProcess(count * 25);
    });
    return;
  }
  {
    platform::MutexLock lock(mutex_);
    isFindingNearestBeacon_ = false;
  }
  const MCNearestBeaconResult result = MCDecideNearestBeacon(averageDuplicateMeasurements());
  send(delegate(), [&](MCBeaconManagerDelegate& d) {
    if (d.beaconFounded) d.beaconFounded(result.key, result.error);
  });
}

bool MCBeaconManager::isFindingNearestBeacon() const {
  platform::MutexLock lock(mutex_);
  return isFindingNearestBeacon_;
}
void MCBeaconManager::setIsFindingNearestBeacon(bool value) {
  platform::MutexLock lock(mutex_);
  isFindingNearestBeacon_ = value;
}
std::weak_ptr<MCBeaconManagerDelegate> MCBeaconManager::delegate() const {
  platform::MutexLock lock(stateMutex_);
  return delegate_;
}
void MCBeaconManager::setDelegate(std::weak_ptr<MCBeaconManagerDelegate> delegate) {
  platform::MutexLock lock(stateMutex_);
  delegate_ = std::move(delegate);
}
std::shared_ptr<MCLocation> MCBeaconManager::location() const {
  platform::MutexLock lock(stateMutex_);
  return location_;
}
void MCBeaconManager::setLocation(std::shared_ptr<MCLocation> location) {
  auto known = std::make_shared<std::vector<FastScanBeacon>>();
  if (location) {
    for (const auto& floor : location->sublocations) {
      if (!floor || !floor->beacons) continue;
      for (const auto& b : *floor->beacons)
        if (b) known->push_back({MCUpperCase(b->name), b->major, b->minor, b->uuid});
    }
  }
  platform::MutexLock lock(stateMutex_);
  location_ = std::move(location);
  fastScanBeacons_ = std::move(known);
}
std::vector<std::string> MCBeaconManager::uuids() const {
  platform::MutexLock lock(stateMutex_);
  return uuids_;
}
void MCBeaconManager::setUuids(std::vector<std::string> uuids) {
  platform::MutexLock lock(stateMutex_);
  uuids_ = std::move(uuids);
}
void MCBeaconManager::setBatchReceivers(MCBeaconBatchReceivers receivers) {
  platform::MutexLock lock(stateMutex_);
  receivers_ = std::move(receivers);
}
std::vector<platform::BeaconRegion> MCBeaconManager::regions() const {
  platform::MutexLock lock(stateMutex_);
  return regions_;
}
size_t MCBeaconManager::queuedCount() const {
  platform::MutexLock lock(mutex_);
  return scanEntries_.size();
}
int64_t MCBeaconManager::measureCount() const {
  platform::MutexLock lock(stateMutex_);
  return measureCount_;
}
