#include "MainSDK/main_sdk.h"

#include <filesystem>
#include <utility>

#include "MCArchiveManager/mc_archive_manager.h"
#include "MCLogManager/mc_log_manager.h"
#include "MCModels/mc_description.h"
#include "MCPushManager/mc_push_manager.h"
#include "MCSettingsManager/mc_settings_manager.h"
#include "MCVenueManager/mc_venue_manager.h"
#include "Navigation/m_navigation_engine.h"
#include "MainSDK/main_sdk_delegates.h"
#include "Foundation/marvisto_error.h"
#include "Device/mc_device.h"
#include "Foundation/mc_log.h"
#include "MCServerManager/mc_server_manager.h"
#include "MCServerManager/mc_service_addresses.h"
#include "platform/mutex.h"
#include "platform/paths.h"

namespace {

// The calendar fields of `t` in UTC.
void StampTime(WScanMessage& m, platform::WallTime t) {
  const platform::CalendarFields f = platform::Clock::utcFields(t.seconds);
  m.tmYear = f.year;
  m.tmMonth = f.month;
  m.tmDay = f.day;
  m.tmHour = f.hour;
  m.tmMinute = f.minute;
  m.tmSecond = f.second;
  m.tmMillisecond = static_cast<int>(t.microseconds / 1000.0);
  m.tmUnixTime = static_cast<int32_t>(t.seconds);
}

}  // namespace

MainSDKManagers MainSDKManagers::shared() {
  MainSDKManagers m;
  m.navigationManager = MCNavigationManager::sharedInstance();
  MainSDKSharedReadingManagers(m);
  m.serverManager = MCServerManager::sharedInstance();
  m.pushManager = MCPushManager::sharedInstance();
  m.venueManager = MCVenueManager::sharedInstance();
  m.logManager = MCLogManager::manager();
  m.archiveManager = MCArchiveManager::sharedInstance();
  m.settingsManager = MCSettingsManager::sharedInstance();
  m.mapViewManager = MCFloorImageRenderer::shared();
  m.device = MCDevice::device();
  return m;
}

MainSDK::MainSDK(MainSDKManagers managers, std::string userHash, std::string server)
    : m_(std::move(managers)), userHash_(std::move(userHash)), server_(std::move(server)) {}

MainSDK::~MainSDK() {
  if (mainTimer_) mainTimer_->cancel();
}

std::shared_ptr<MainSDK> MainSDK::initWithUserHash(const std::string& userHash,
                                                   const std::string& server,
                                                   MainSDKManagers managers) {
  // Through the log: the host's standard output is the host's.
  MC_LOG(1, std::string("BUILD VERSION: ") + kBuildVersion + "\n");
  auto sdk = std::make_shared<MainSDK>(std::move(managers), userHash, server);
  sdk->wire();
  return sdk;
}

std::string MainSDK::defaultServer() { return MCServiceAddresses::apiServer(); }

std::shared_ptr<MainSDK> MainSDK::init() { return initWithUserHash("", defaultServer()); }

void MainSDK::wire() {
  delegates_ = std::make_shared<MainSDKManagerDelegates>();
  const std::weak_ptr<MainSDK> self = weak_from_this();
  const auto send = [self](auto&& call) {
    if (auto sdk = self.lock()) {
      if (auto d = sdk->delegateNow()) call(*sdk, *d);
    }
  };
  delegates_->zone.didEnterZoneWithId = [send](int64_t id) {
    send([&](MainSDK& s, MainSDKDelegate& d) {
      if (d.didEnterZoneWithId) d.didEnterZoneWithId(s, id);
    });
  };
  delegates_->zone.didExitZoneWithId = [send](int64_t id) {
    send([&](MainSDK& s, MainSDKDelegate& d) {
      if (d.didExitZoneWithId) d.didExitZoneWithId(s, id);
    });
  };
  delegates_->push.didRangePushWithTitle = [send](const std::string& title,
                                                  const std::string& content,
                                                  const std::string& image, int64_t actionId) {
    send([&](MainSDK& s, MainSDKDelegate& d) {
      if (d.didRangePushWithTitle) d.didRangePushWithTitle(s, title, content, image, actionId);
    });
  };
  delegates_->log.stopNavigatingByLog = [self] {
    if (auto sdk = self.lock()) sdk->stopNavigeteByLog();
  };
  delegates_->settings.loadNewLocation = [](int64_t) {};

  const std::shared_ptr<MainSDKManagerDelegates> d = delegates_;
  m_.navigationManager->setLocation(location_);
  m_.navigationManager->setDelegate(std::shared_ptr<MCZoneManagerDelegate>(d, &d->zone));
  readingsWire();
  servicesWire();
  m_.serverManager->setServer(server());
  m_.serverManager->setUserHash(userHash());
  m_.pushManager->setServer(server());
  m_.pushManager->setLocation(location_);
  m_.pushManager->setUserHash(userHash());
  m_.pushManager->setDelegate(std::shared_ptr<MCPushManagerDelegate>(d, &d->push));
  m_.venueManager->setLocation(location_);
  m_.logManager->setServer(server());
  m_.logManager->setLocation(location_);
  m_.logManager->setDelegate(std::shared_ptr<MCLogManagerDelegate>(d, &d->log));
  m_.archiveManager->setLocation(location_);
  m_.settingsManager->setServer(server());
  m_.settingsManager->setLocation(location_);
  m_.settingsManager->setDelegate(std::shared_ptr<MCSettingsManagerDelegate>(d, &d->settings));
  m_.settingsManager->setUserHash(userHash());
  m_.settingsManager->makeConfigRequest();
  if (m_.mapViewManager) m_.mapViewManager->setLocation(location_);
}

std::string MainSDK::directoryForDocuments() { return platform::Paths::documents().string(); }

void MainSDK::loadArchive(const std::string& name, std::optional<platform::Error>* error) {
  const std::string path = directoryForDocuments() + "/" + name + "/map.mvz";
  {
    platform::MutexLock lock(stateMutex_);
    fullPathToZip_ = path;
  }
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) {
    MC_LOG(1, "ERROR! Archive " + name + "/map.mvz does not exist!\n");
    platform::setError(error, MarvistoError(2, "Archive does not exist at path: " + path + "."));
    return;
  }
  // An error the caller's variable already holds stops the load as a new one would.
  std::optional<platform::Error> failure = error != nullptr ? *error : std::nullopt;
  createClient(&failure);
  if (failure) {
    platform::setError(error, *failure);
    return;
  }
  configureManagersAfterLoad(name);
}

void MainSDK::configureManagersAfterLoad(const std::string& name) {
  const std::string zip = [&] {
    platform::MutexLock lock(stateMutex_);
    return fullPathToZip_;
  }();
  m_.logManager->setFullPathToZip(zip);
  m_.logManager->setFullPathToDir(directoryForDocuments() + "/" + name);
  MC_LOG(1, "Client created successfull!\n");
  readingsClear();
  fillLocationClass();
  m_.navigationManager->setLocation(location_);
  m_.serverManager->setUserHash(userHash());
  m_.serverManager->setServer(server());
  m_.serverManager->startMQueue();
  m_.pushManager->setLocation(location_);
  m_.pushManager->setServer(server());
  m_.pushManager->setUserHash(userHash());
  // The archive manager takes the archive's path when it is given the location,
  // and the venues and categories are read through it: it must name this load's
  // archive before they are read.
  m_.archiveManager->setLocation(location_);
  m_.venueManager->setLocation(location_);
  m_.venueManager->loadVenuesFromArchive();
  m_.logManager->setLocation(location_);
  m_.logManager->setServer(server());
  m_.settingsManager->setServer(server());
  m_.settingsManager->setLocation(location_);
  m_.settingsManager->setUserHash(userHash());
  m_.settingsManager->makeConfigRequest();
  if (m_.mapViewManager) m_.mapViewManager->setLocation(location_);
  readingsConfigure();
}

void MainSDK::createClient(std::optional<platform::Error>* error) {
  const std::string path = [&] {
    platform::MutexLock lock(stateMutex_);
    return fullPathToZip_;
  }();
  platform::MutexLock lock(mutex_);
  m_.navigationManager->cleanClient();
  m_.navigationManager->createNavigationClient(path, m_.device->deviceId, m_.device->model, error);
}

void MainSDK::checkArchive(const std::string& path, std::optional<platform::Error>* error) const {
  // A client of its own, gone at the end of the scope: the running one navigates on.
  MNavigationEngine probe;
  probe.createNavigationClient(path, m_.device->deviceId, m_.device->model, error);
}

std::optional<std::string> MainSDK::currentVersionAt(const std::string& path,
                                                     std::optional<platform::Error>* error) {
  auto data = MCArchiveManager::dataFromFile("version.txt", path, error);
  if (!data) return std::nullopt;
  return std::string(data->begin(), data->end());
}

void MainSDK::startDataUpdate() {
  MC_LOG(1, "Start data updating.\n");
  readingsStart();
}

void MainSDK::startMarvisto() {
  startDataUpdate();
  const std::weak_ptr<MainSDK> self = weak_from_this();
  auto timer = platform::DispatchTimer::create(
      platform::dispatch::globalQueue(), 0.1, 0.1, [self] {
        if (auto sdk = self.lock()) sdk->mainNavigationQueue();
      });
  std::shared_ptr<platform::DispatchTimer> old;
  {
    platform::MutexLock lock(stateMutex_);
    old = std::exchange(mainTimer_, timer);
  }
  if (old) old->cancel();
  timer->resume(0);
}

void MainSDK::stopDataUpdate() {
  readingsStop();
  {
    platform::MutexLock lock(stateMutex_);
    uuids_.clear();
  }
  readingsClear();
  m_.settingsManager->stopManager();
}

void MainSDK::stopMarvisto() {
  stopDataUpdate();
  platform::MutexLock lock(mutex_);
  m_.navigationManager->cleanClient();
}

uint64_t MainSDK::startNavigateByLog(const std::string& name,
                                     std::optional<platform::Error>* error) {
  std::optional<platform::Error> failure = error != nullptr ? *error : std::nullopt;
  const uint64_t count = m_.logManager->startNavigateByLog(name, &failure);
  if (failure) {
    platform::setError(error, *failure);
    return 0;
  }
  createClient(error);
  return count;
}

void MainSDK::stopNavigeteByLog() {
  if (!m_.logManager->navigate()) return;
  m_.logManager->setNavigate(false);
  readingsClear();
  std::optional<platform::Error> ignored;
  createClient(&ignored);
}

void MainSDK::fillDeviceInfo(WScanMessage& message) const {
  message.deviceId = m_.device->deviceId;
  message.deviceModel = m_.device->model;
  message.deviceType = 3;
  message.packetNumber = static_cast<int32_t>(static_cast<uint32_t>(packetNumber_));
}

void MainSDK::setWsMsgTime(platform::WallTime t) {
  ++packetNumber_;
  StampTime(wsMsg_, t);
}

void MainSDK::mainNavigationQueue() {
  std::vector<MCZoneEvent> events;
  WScanMessage heatmap;
  int32_t rc;
  {
    platform::MutexLock lock(mutex_);
    fillDeviceInfo(wsMsg_);
    const platform::WallTime t = platform::Clock::now();
    readingsFill(wsMsg_, t);
    setWsMsgTime(t);
    m_.logManager->handleWsMsg(wsMsg_);
    rc = m_.navigationManager->navigate(wsMsg_, &events);
    // The message leaves the lock whole, so nobody sees it half cleared.
    if (rc == 0) heatmap = std::move(wsMsg_);
    wsMsg_.clear();
  }
  m_.navigationManager->deliverZoneEvents(events);
  if (rc == 0) m_.serverManager->addMQMessage(std::move(heatmap));
}

void MainSDK::changeServer(const std::string& server) {
  {
    platform::MutexLock lock(stateMutex_);
    server_ = server;
  }
  m_.serverManager->setServer(server);
  m_.pushManager->setServer(server);
  m_.logManager->setServer(server);
  m_.settingsManager->setServer(server);
}

void MainSDK::changeUserHash(const std::string& userHash) {
  {
    platform::MutexLock lock(stateMutex_);
    userHash_ = userHash;
  }
  m_.serverManager->setUserHash(userHash);
  m_.pushManager->setUserHash(userHash);
  m_.settingsManager->setUserHash(userHash);
}

void MainSDK::startPushManager() { m_.pushManager->loadPushesFromServer(); }

std::shared_ptr<MCRoutePath> MainSDK::makeRouteFrom(const MCLocationPoint& from,
                                                    const MCLocationPoint& to) {
  return m_.navigationManager->makeRouteFrom(from, to);
}

void MainSDK::setGraphTag(const std::string& tag) { m_.navigationManager->setGraphTag(tag); }
std::string MainSDK::getGraphTag() { return m_.navigationManager->getGraphTag(); }
std::string MainSDK::getGraphDescription(const std::string& tag) {
  return m_.navigationManager->getGraphDescription(tag);
}
std::vector<std::string> MainSDK::getGraphTags() { return m_.navigationManager->getGraphTags(); }
bool MainSDK::setGraphParam(const std::map<std::string, std::string>& parameter) {
  return m_.navigationManager->setGraphParam(parameter);
}
void MainSDK::addTatget(const MCLocationPoint& target) { m_.navigationManager->addTatget(target); }
void MainSDK::cancelTargets() { m_.navigationManager->cancelTargets(); }
void MainSDK::navigateEnablePdr(int32_t sublocation, double x, double y) {
  m_.navigationManager->enablePDR(sublocation, x, y);
}
void MainSDK::navigateDisablePdr() { m_.navigationManager->disablePDR(); }

std::string MainSDK::startSaveLogToFile() { return m_.logManager->startSaveLogToFile(); }

void MainSDK::stopSaveLogToFile() {
  WScanMessage copy;
  {
    platform::MutexLock lock(mutex_);
    copy = wsMsg_;
    // Between ticks the message is cleared: the closing record still names the
    // device and the time, or no reader could parse it back.
    if (copy.tmYear == 0) {
      fillDeviceInfo(copy);
      StampTime(copy, platform::Clock::now());
    }
  }
  m_.logManager->stopSaveLogToFile(std::move(copy));
}

void MainSDK::setCheckPoint(const std::string& checkPoint) {
  m_.logManager->setCheckPoint(checkPoint);
}

std::shared_ptr<const MCDeviceInfo> MainSDK::deviceInfo() const {
  return m_.navigationManager->deviceInfo();
}

std::shared_ptr<MCLocation> MainSDK::locationSnapshot() const {
  platform::MutexLock lock(locationMutex_);
  auto copy = std::make_shared<MCLocation>(*locationFields_);
  return copy;
}

std::vector<std::string> MainSDK::uuids() const {
  platform::MutexLock lock(stateMutex_);
  return uuids_;
}

int64_t MainSDK::packetNumber() const {
  platform::MutexLock lock(mutex_);
  return packetNumber_;
}

std::string MainSDK::userHash() const {
  platform::MutexLock lock(stateMutex_);
  return userHash_;
}

std::string MainSDK::server() const {
  platform::MutexLock lock(stateMutex_);
  return server_;
}

std::weak_ptr<MainSDKDelegate> MainSDK::delegate() const {
  platform::MutexLock lock(stateMutex_);
  return delegate_;
}

void MainSDK::setDelegate(std::weak_ptr<MainSDKDelegate> delegate) {
  platform::MutexLock lock(stateMutex_);
  delegate_ = std::move(delegate);
}

std::shared_ptr<MainSDKDelegate> MainSDK::delegateNow() const { return delegate().lock(); }
