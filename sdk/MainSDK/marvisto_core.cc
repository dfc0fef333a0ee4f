#include "MainSDK/marvisto_core.h"

#include <utility>

#include "Foundation/mc_log.h"
#include "MainSDK/main_sdk.h"
#include "MainSDK/mc_bluetooth_state_manager.h"
#include "Sensors/mc_sensor_manager.h"
#include "MCServerManager/mc_service_addresses.h"
#include "platform/main_thread.h"
#include "platform/mutex.h"
#include "platform/user_defaults.h"

namespace {

// The process's coordinator: one owner, one lock.
struct CurrentSDK {
  platform::Mutex mutex;
  std::shared_ptr<MainSDK> sdk GUARDED_BY(mutex);
};

CurrentSDK& Current() {
  static CurrentSDK c;
  return c;
}

std::shared_ptr<MainSDK> SDK() {
  CurrentSDK& c = Current();
  platform::MutexLock lock(c.mutex);
  return c.sdk;
}

void Persist(const std::string& key, const std::string& value, const char* failure) {
  auto defaults = platform::UserDefaults::standardUserDefaults();
  defaults->setObject(value, key);
  if (!defaults->synchronize()) MC_LOG(1, failure);
}

std::string LocationName(int64_t id) { return "#" + std::to_string(id); }

}  // namespace

MarvistoCore::MarvistoCore(std::string userHash, std::string server)
    : userHash_(std::move(userHash)), server_(std::move(server)) {}

std::shared_ptr<MarvistoCore> MarvistoCore::initWithUserHash(const std::string& userHash,
                                                             const std::string& server,
                                                             MainSDKManagers managers) {
  PLATFORM_MAIN_THREAD_ONLY();
  auto core = std::make_shared<MarvistoCore>(userHash, server);
  auto sdk = MainSDK::initWithUserHash(userHash, server, std::move(managers));
  {
    CurrentSDK& c = Current();
    platform::MutexLock lock(c.mutex);
    c.sdk = sdk;
  }
  core->wire();
  sdk->setDelegate(core->sdkDelegate_);
  core->deviceState_ = MCBluetoothStateManager::init();
  core->deviceState_->setDelegate(core->stateDelegate_);
  return core;
}

std::shared_ptr<MarvistoCore> MarvistoCore::initWithUserHash(const std::string& userHash,
                                                             const std::string& server) {
  return initWithUserHash(userHash, server, MainSDKManagers::shared());
}

std::shared_ptr<MarvistoCore> MarvistoCore::initWithUserHash(const std::string& userHash) {
  return initWithUserHash(userHash, loadServer());
}

std::shared_ptr<MarvistoCore> MarvistoCore::init() {
  return initWithUserHash(loadUserHash(), loadServer());
}

std::shared_ptr<MainSDK> MarvistoCore::mainSDK() { return SDK(); }

std::string MarvistoCore::loadUserHash() {
  return platform::UserDefaults::standardUserDefaults()->stringForKey("userHash");
}

std::string MarvistoCore::loadServer() {
  const nlohmann::json v = platform::UserDefaults::standardUserDefaults()->objectForKey("server");
  return v.is_string() ? v.get<std::string>() : MCServiceAddresses::apiServer();
}

void MarvistoCore::wire() {
  const std::weak_ptr<MarvistoCore> self = weak_from_this();
  const auto send = [self](auto&& call) {
    if (auto core = self.lock()) {
      if (auto d = core->delegateNow()) call(*d);
    }
  };
  sdkDelegate_ = std::make_shared<MainSDKDelegate>();
  sdkDelegate_->didRangeBeacons = [send](MainSDK&, const std::vector<nlohmann::json>& beacons) {
    send([&](MarvistoCoreDelegate& d) {
      if (d.didRangeBeacons) d.didRangeBeacons(beacons);
    });
  };
  sdkDelegate_->beaconFounded = [send](MainSDK&, std::shared_ptr<MCBeacon> beacon,
                                       const platform::Error* error) {
    send([&](MarvistoCoreDelegate& d) {
      if (d.beaconFounded) d.beaconFounded(beacon, error);
    });
  };
  sdkDelegate_->measuringBeaconWithProcess = [send](MainSDK&, int64_t process) {
    send([&](MarvistoCoreDelegate& d) {
      if (d.measuringBeaconWithProcess) d.measuringBeaconWithProcess(process);
    });
  };
  sdkDelegate_->getLatitude = [send](MainSDK&, double latitude, double longitude) {
    send([&](MarvistoCoreDelegate& d) {
      if (d.getLatitude) d.getLatitude(latitude, longitude);
    });
  };
  sdkDelegate_->didEnterZoneWithId = [send](MainSDK&, int64_t id) {
    send([&](MarvistoCoreDelegate& d) {
      if (d.didEnterZoneWithId) d.didEnterZoneWithId(id);
    });
  };
  sdkDelegate_->didExitZoneWithId = [send](MainSDK&, int64_t id) {
    send([&](MarvistoCoreDelegate& d) {
      if (d.didExitZoneWithId) d.didExitZoneWithId(id);
    });
  };
  sdkDelegate_->didRangePushWithTitle = [send](MainSDK&, const std::string& title,
                                               const std::string& content, const std::string& image,
                                               int64_t id) {
    send([&](MarvistoCoreDelegate& d) {
      if (d.didRangePushWithTitle) d.didRangePushWithTitle(title, content, image, id);
    });
  };
  stateDelegate_ = std::make_shared<MCBluetoothStateManagerDelegate>();
  stateDelegate_->bluetoothStateManager = [self](MCBluetoothStateManager& m, int64_t state) {
    if (auto core = self.lock()) core->bluetoothStateManager(m, state);
  };
}

void MarvistoCore::bluetoothStateManager(MCBluetoothStateManager&, int64_t state) {
  PLATFORM_MAIN_THREAD_ONLY();
  std::shared_ptr<MCBluetoothStateDelegate> d;
  {
    platform::MutexLock lock(mutex_);
    bluetoothState_ = state;
    d = btStateDelegate_.lock();
  }
  if (d && d->didChangeBluetoothState) d->didChangeBluetoothState(state);
}

std::shared_ptr<MarvistoCoreDelegate> MarvistoCore::delegateNow() const {
  platform::MutexLock lock(mutex_);
  return delegate_.lock();
}

std::string MarvistoCore::userHash() const {
  platform::MutexLock lock(mutex_);
  return userHash_;
}

void MarvistoCore::setUserHash(const std::string& userHash) {
  PLATFORM_MAIN_THREAD_ONLY();
  {
    platform::MutexLock lock(mutex_);
    if (userHash == userHash_) return;
    userHash_ = userHash;
  }
  Persist("userHash", userHash, "ERROR with saving User Hash");
  if (auto sdk = SDK()) sdk->changeUserHash(userHash);
}

std::string MarvistoCore::server() const {
  platform::MutexLock lock(mutex_);
  return server_;
}

void MarvistoCore::setServer(const std::string& server) {
  PLATFORM_MAIN_THREAD_ONLY();
  {
    platform::MutexLock lock(mutex_);
    if (server == server_) return;
    server_ = server;
  }
  Persist("server", server, "ERROR with saving server");
  if (auto sdk = SDK()) sdk->changeServer(server);
}

std::shared_ptr<MCLocation> MarvistoCore::location() const {
  platform::MutexLock lock(mutex_);
  return location_;
}

void MarvistoCore::setLocation(std::shared_ptr<MCLocation> location) {
  platform::MutexLock lock(mutex_);
  location_ = std::move(location);
}

int64_t MarvistoCore::bluetoothState() const {
  platform::MutexLock lock(mutex_);
  return bluetoothState_;
}

std::shared_ptr<const MCDeviceInfo> MarvistoCore::deviceInfo() const { return SDK()->deviceInfo(); }

void MarvistoCore::setDelegate(std::weak_ptr<MarvistoCoreDelegate> delegate) {
  PLATFORM_MAIN_THREAD_ONLY();
  platform::MutexLock lock(mutex_);
  delegate_ = std::move(delegate);
}

void MarvistoCore::setBtStateDelegate(std::weak_ptr<MCBluetoothStateDelegate> delegate) {
  PLATFORM_MAIN_THREAD_ONLY();
  platform::MutexLock lock(mutex_);
  btStateDelegate_ = std::move(delegate);
}

void MarvistoCore::loadArchiveByName(const std::string& name, std::optional<platform::Error>* error) {
  auto sdk = SDK();
  sdk->loadArchive(name, error);
  setLocation(sdk->location());
}

void MarvistoCore::loadArchiveById(int64_t id, std::optional<platform::Error>* error) {
  loadArchiveByName(LocationName(id), error);
}

void MarvistoCore::downloadLocationById(int64_t id, bool forceReload, ProcessBlock process,
                                        SuccessBlock success, FailBlock fail) {
  downloadLocationByName(LocationName(id), forceReload, std::move(process), std::move(success),
                         std::move(fail));
}

int MarvistoCore::_startLocationListLoader(const std::string& hash) {
  return SDK()->startLocationListLoader(hash);
}
int MarvistoCore::startLocationLoaderByUserHash(const std::string& hash, const std::string& name,
                                                bool forced) {
  return SDK()->startLocationLoader(hash, name, forced);
}
int MarvistoCore::startLocationLoaderByUserHash(const std::string& hash, int64_t id, bool forced) {
  return startLocationLoaderByUserHash(hash, LocationName(id), forced);
}
int MarvistoCore::checkLocationLoader(int id) { return SDK()->checkLocationLoader(id); }
void MarvistoCore::stopLocationLoader(int id) { SDK()->stopLocationLoader(id); }
int MarvistoCore::_startLocationUploaderUserHash(const std::string& hash, const std::string& name,
                                                 bool forced) {
  return SDK()->startLocationUploader(hash, name, forced);
}
int MarvistoCore::_startLocationUploaderUserHash(const std::string& hash, int64_t id, bool forced) {
  return _startLocationUploaderUserHash(hash, LocationName(id), forced);
}
int MarvistoCore::_checkLocationUploader(int id) { return SDK()->checkLocationUploader(id); }
void MarvistoCore::_stopLocationUploader(int id) { SDK()->stopLocationUploader(id); }
std::optional<std::string> MarvistoCore::_currentVersionAt(const std::string& path,
                                                           std::optional<platform::Error>* error) {
  return SDK()->currentVersionAt(path, error);
}

void MarvistoCore::startMarvisto() { SDK()->startMarvisto(); }
void MarvistoCore::stopMarvisto() { SDK()->stopMarvisto(); }
void MarvistoCore::startPushManager() { SDK()->startPushManager(); }
void MarvistoCore::startSendingPostRequests() { SDK()->startMQueue(); }
void MarvistoCore::stopSendingPostRequests() { SDK()->stopMQueue(); }
void MarvistoCore::_changeBaseServerTo(const std::string& server) { SDK()->changeServer(server); }
void MarvistoCore::registerToken(const std::vector<uint8_t>& token) { SDK()->registerToken(token); }
std::shared_ptr<MCRoutePath> MarvistoCore::makeRouteFrom(const MCLocationPoint& from,
                                                         const MCLocationPoint& to) {
  return SDK()->makeRouteFrom(from, to);
}
void MarvistoCore::setTarget(const MCLocationPoint& target) { SDK()->addTatget(target); }
void MarvistoCore::addTatget(const MCLocationPoint& target) { SDK()->addTatget(target); }
void MarvistoCore::cancelTarget() { SDK()->cancelTargets(); }
void MarvistoCore::cancelTargets() { SDK()->cancelTargets(); }
void MarvistoCore::setGraphTag(const std::string& tag) { SDK()->setGraphTag(tag); }
std::string MarvistoCore::getGraphTag() { return SDK()->getGraphTag(); }
std::string MarvistoCore::getGraphDescription(const std::string& tag) {
  return SDK()->getGraphDescription(tag);
}
std::vector<std::string> MarvistoCore::getGraphTags() { return SDK()->getGraphTags(); }
bool MarvistoCore::setGraphParam(const std::map<std::string, std::string>& parameter) {
  return SDK()->setGraphParam(parameter);
}
void MarvistoCore::_navigateEnablePdr(int32_t sublocation, double x, double y) {
  SDK()->navigateEnablePdr(sublocation, x, y);
}
void MarvistoCore::_navigateDisablePdr() { SDK()->navigateDisablePdr(); }

std::vector<std::string> MarvistoCore::_arrayWithAccelerometerData() {
  return SDK()->managers().sensorManager->arrayWithAccelerometerData();
}
std::vector<std::string> MarvistoCore::_arrayWithGyroscopeData() {
  return SDK()->managers().sensorManager->arrayWithGyroscopeData();
}
std::vector<std::string> MarvistoCore::_arrayWithMagnetometerData() {
  return SDK()->managers().sensorManager->arrayWithMagnetometerData();
}
void MarvistoCore::_changeSensorsFrequencyTo(double hz) { SDK()->changeSensorsFrequencyTo(hz); }
void MarvistoCore::_shouldDisplayCalibration(bool display) { SDK()->shouldDisplayCalibration(display); }
void MarvistoCore::_regularScanEnabled(bool enabled) { SDK()->regularScanEnabled(enabled); }
void MarvistoCore::_fastScanEnabled(bool enabled) { SDK()->fastScanEnabled(enabled); }
void MarvistoCore::_changeRestartTimeout(double seconds) { SDK()->changeRestartTimeout(seconds); }

std::string MarvistoCore::_startSaveLogToFile() { return SDK()->startSaveLogToFile(); }
void MarvistoCore::_stopSaveLogToFile() { SDK()->stopSaveLogToFile(); }
void MarvistoCore::_addCheckPointToLogFile(const std::string& checkPoint) {
  SDK()->setCheckPoint(checkPoint);
}
void MarvistoCore::_removeAllLogs(std::optional<platform::Error>* error) { SDK()->removeAllLogs(error); }
void MarvistoCore::_removeLog(const std::string& name, std::optional<platform::Error>* error) {
  SDK()->removeLog(name, error);
}
uint64_t MarvistoCore::_startNavigateByLog(const std::string& name,
                                           std::optional<platform::Error>* error) {
  return SDK()->startNavigateByLog(name, error);
}
void MarvistoCore::_stopNavigeteByLog() { SDK()->stopNavigeteByLog(); }

void MarvistoCore::_startMeasureNearestBeacon(const MCBeacon& spot) {
  SDK()->startMeasureNearestBeacon(spot);
}
void MarvistoCore::_stopMeasureNearestBeacon() { SDK()->stopMeasureNearestBeacon(); }
void MarvistoCore::_removeMeasuredBeacon(const MCBeacon& beacon) { SDK()->removeMeasuredBeacon(beacon); }
bool MarvistoCore::_saveBeaconsXML(std::optional<platform::Error>* error) {
  return SDK()->saveBeaconsXML(error);
}
