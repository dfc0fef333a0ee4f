// The coordinator behind the public facade: wires the managers, loads a
// location's map archive into a navigation client, runs the 100 ms navigation
// tick, forwards the facade's calls and passes the managers' events on.
//
// Threads: any thread may call (host, download flow); the tick runs on the
// global queue. The coordinator's mutex (not recursive) covers each tick's
// message work and client creation and destruction only; zone entries and
// exits reach the delegate on the tick's thread right after it is released,
// in the order the tick raised them, so a delegate may stop navigation or load
// an archive from inside them. The beacon, sensor and push events arrive on
// the threads their managers use. `deviceInfo()` and `location()` readers get
// whole snapshots, never a half-refilled one.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "MCModels/mc_beacon.h"
#include "MCModels/mc_device_info.h"
#include "MCModels/mc_floor_image_renderer.h"
#include "MCModels/mc_location.h"
#include "MCModels/mc_route_path.h"
#include "Navigation/mc_navigation_manager.h"
#include "MCServerManager/mc_service_addresses.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/error.h"
#include "platform/mutex.h"
#include "server/wscan.h"

class MainSDK;
class MCArchiveManager;
class MCBeaconManager;
class MCDevice;
class MCLogManager;
class MCPushManager;
class MCSensorManager;
class MCServerManager;
class MCSettingsManager;
class MCVenueManager;
struct MCLogManagerDelegate;
struct MCPushManagerDelegate;
struct MCSettingsManagerDelegate;
struct MainSDKManagerDelegates;

struct MainSDKDelegate {
  // Ranged-beacon records: objects with "major", "minor", "uuid", "rssi", "proximity".
  std::function<void(MainSDK&, const std::vector<nlohmann::json>&)> didRangeBeacons;
  std::function<void(MainSDK&, std::shared_ptr<MCBeacon>, const platform::Error*)> beaconFounded;
  std::function<void(MainSDK&, int64_t)> measuringBeaconWithProcess;
  std::function<void(MainSDK&, double latitude, double longitude)> getLatitude;
  std::function<void(MainSDK&, int64_t)> didEnterZoneWithId;
  std::function<void(MainSDK&, int64_t)> didExitZoneWithId;
  std::function<void(MainSDK&, const std::string& title, const std::string& content,
                     const std::string& image, int64_t actionId)>
      didRangePushWithTitle;
};

// The managers the coordinator reaches; by default the process's shared ones.
struct MainSDKManagers {
  std::shared_ptr<MCNavigationManager> navigationManager;
  std::shared_ptr<MCSensorManager> sensorManager;
  std::shared_ptr<MCBeaconManager> beaconManager;
  std::shared_ptr<MCServerManager> serverManager;
  std::shared_ptr<MCPushManager> pushManager;
  std::shared_ptr<MCVenueManager> venueManager;
  std::shared_ptr<MCLogManager> logManager;
  std::shared_ptr<MCArchiveManager> archiveManager;
  std::shared_ptr<MCSettingsManager> settingsManager;
  // The map view's floor renderer; none: floors get no image.
  std::shared_ptr<MCFloorImageRenderer> mapViewManager;
  std::shared_ptr<MCDevice> device;

  static MainSDKManagers shared();
};

class MainSDK : public std::enable_shared_from_this<MainSDK> {
 public:
  static constexpr const char* kBuildVersion = "0674104e";
  // The API server of a coordinator made without one: the default of
  // MCServiceAddresses (which a host or a test overrides).
  static constexpr const char* kDefaultServer = MCServiceAddresses::kDefaultApiServer;
  static std::string defaultServer();
  static constexpr const char* kBuiltInUuids[2] = {"A07C5CA8-59EB-4EA8-9956-30B776E0FEDC",
                                                   "F7826DA6-4FA2-4E98-8024-BC5B71E0893E"};

  static std::shared_ptr<MainSDK> initWithUserHash(const std::string& userHash,
                                                   const std::string& server,
                                                   MainSDKManagers managers = MainSDKManagers::shared());
  static std::shared_ptr<MainSDK> init();
  ~MainSDK();

  // Archive and client. A failed load changes neither the location nor the managers.
  void loadArchive(const std::string& name, std::optional<platform::Error>* error);
  void createClient(std::optional<platform::Error>* error);
  std::optional<std::string> currentVersionAt(const std::string& path,
                                              std::optional<platform::Error>* error);
  // Whether the archive at `path` would load: the engine reads it into a client of
  // its own, which is dropped at once. Leaves `*error` alone when it loads, else sets
  // code 2 (no file) or 3 (refused). The running client is not touched.
  void checkArchive(const std::string& path, std::optional<platform::Error>* error) const;
  static std::string directoryForDocuments();

  void startMarvisto();
  void stopMarvisto();
  uint64_t startNavigateByLog(const std::string& name, std::optional<platform::Error>* error);
  void stopNavigeteByLog();
  // One run of the navigation tick (the timer's handler).
  void mainNavigationQueue();

  void changeServer(const std::string& server);
  void changeUserHash(const std::string& userHash);
  // Server side (main_sdk_server.cc): the push-token cloud set-up, the message
  // queue, transfer jobs and log removal.
  void registerToken(const std::vector<uint8_t>& token);
  std::vector<uint8_t> token() const;
  void startMQueue();
  void stopMQueue();
  int startLocationListLoader(const std::string& userHash);
  int startLocationLoader(const std::string& userHash, const std::string& location, bool forced);
  // The same job writing to `toFile` in place of the location's archive (whose
  // version it then compares with the server's).
  int startLocationLoader(const std::string& userHash, const std::string& location, bool forced,
                          const std::string& toFile);
  int startLocationUploader(const std::string& userHash, const std::string& location, bool forced);
  int checkLocationLoader(int id);
  int checkLocationUploader(int id);
  void stopLocationLoader(int id);
  void stopLocationUploader(int id);
  void removeAllLogs(std::optional<platform::Error>* error);
  void removeLog(const std::string& name, std::optional<platform::Error>* error);

  // Forwarding.
  void startPushManager();
  std::shared_ptr<MCRoutePath> makeRouteFrom(const MCLocationPoint& from, const MCLocationPoint& to);
  void setGraphTag(const std::string& tag);
  std::string getGraphTag();
  std::string getGraphDescription(const std::string& tag);
  std::vector<std::string> getGraphTags();
  bool setGraphParam(const std::map<std::string, std::string>& parameter);
  void addTatget(const MCLocationPoint& target);
  void cancelTargets();
  void navigateEnablePdr(int32_t sublocation, double x, double y);
  void navigateDisablePdr();
  void changeSensorsFrequencyTo(double hz);
  void shouldDisplayCalibration(bool display);
  void regularScanEnabled(bool enabled);
  void fastScanEnabled(bool enabled);
  void changeRestartTimeout(double seconds);
  std::string startSaveLogToFile();
  void stopSaveLogToFile();
  void setCheckPoint(const std::string& checkPoint);

  // Beacon placement by nearest-beacon measuring.
  void startMeasureNearestBeacon(const MCBeacon& spot);
  void stopMeasureNearestBeacon();
  void beaconFounded(const std::optional<std::string>& key, const std::optional<platform::Error>& error);
  bool isBeaconNew(const MCBeacon& beacon);
  void removeMeasuredBeacon(const MCBeacon& beacon);
  bool saveBeaconsXML(std::optional<platform::Error>* error = nullptr);

  // Readers, safe from any thread.
  std::shared_ptr<const MCDeviceInfo> deviceInfo() const;
  // A copy of the location as last published (its floors are the live ones).
  std::shared_ptr<MCLocation> locationSnapshot() const;
  // The one location object every manager holds.
  std::shared_ptr<MCLocation> location() const { return location_; }
  std::vector<std::string> uuids() const;
  int64_t packetNumber() const;
  const MainSDKManagers& managers() const { return m_; }
  std::string userHash() const;
  std::string server() const;

  std::weak_ptr<MainSDKDelegate> delegate() const;
  void setDelegate(std::weak_ptr<MainSDKDelegate> delegate);

  MainSDK(MainSDKManagers managers, std::string userHash, std::string server);

 private:
  void wire();
  void fillDeviceInfo(WScanMessage& message) const REQUIRES(mutex_);
  void setWsMsgTime(platform::WallTime t) REQUIRES(mutex_);
  void fillLocationClass();
  void startDataUpdate();
  void stopDataUpdate();
  void configureManagersAfterLoad(const std::string& name);
  std::shared_ptr<MainSDKDelegate> delegateNow() const;

  // Calls on the sensor and beacon managers (main_sdk_readings.cc).
  void readingsFill(WScanMessage& message, platform::WallTime t);
  void readingsClear();
  void readingsStart();
  void readingsStop();
  void readingsConfigure();
  void readingsWire();
  void readingsMeasure(bool start);
  void publishBeacons();
  // Wiring of the service managers (main_sdk_services.cc).
  void servicesWire();

  MainSDKManagers m_;
  std::shared_ptr<MainSDKManagerDelegates> delegates_;

  // Lock order: mutex_, stateMutex_ and locationMutex_ are never held together. mutex_
  // comes before the locks of what the tick calls (the beacon and sensor managers' queues,
  // the log manager, the navigation manager and its client, and the push manager, which a
  // zone change reports to from within the tick); locationMutex_ comes before the archive
  // manager's and the beacon manager's. No coordinator lock is held while a delegate runs.
  mutable platform::Mutex mutex_;  // the tick's lock: wsMsg_, packetNumber_, client life
  WScanMessage wsMsg_ GUARDED_BY(mutex_);
  int64_t packetNumber_ GUARDED_BY(mutex_) = 0;

  mutable platform::Mutex stateMutex_;  // small lock for what readers take
  std::shared_ptr<platform::DispatchTimer> mainTimer_ GUARDED_BY(stateMutex_);
  std::string fullPathToZip_ GUARDED_BY(stateMutex_);
  std::vector<std::string> uuids_ GUARDED_BY(stateMutex_);
  std::string userHash_ GUARDED_BY(stateMutex_);
  std::string server_ GUARDED_BY(stateMutex_);
  std::weak_ptr<MainSDKDelegate> delegate_ GUARDED_BY(stateMutex_);
  std::shared_ptr<MCBeacon> measuringBeacon_ GUARDED_BY(stateMutex_) = std::make_shared<MCBeacon>();
  std::vector<uint8_t> token_ GUARDED_BY(stateMutex_);

  // The location's published fields and floor lists; taken before the beacon
  // manager's own lock when its fast-scan beacons are handed over.
  mutable platform::Mutex locationMutex_;
  // The one location every manager holds, set once and handed out whole; its fields are
  // read and written through `locationFields_` only, so the compiler sees the lock.
  const std::shared_ptr<MCLocation> location_ = std::make_shared<MCLocation>();
  MCLocation* const locationFields_ PT_GUARDED_BY(locationMutex_) = location_.get();
};
