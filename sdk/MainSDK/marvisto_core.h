// The one object a host application creates and calls. It keeps the user
// hash and the server address (persisted under "userHash" and "server" in the
// user-defaults store by their setters only), makes the process's coordinator
// (`mainSDK`, replaced by every initialisation, whichever facade object is
// called) and forwards nearly every call to it, runs the location download
// flow, and passes the coordinator's and the Bluetooth state's events on to
// the host's two delegates.
//
// Threads: initialise and call from the host's main thread (the one that
// called `platform::RunLoop::setMainThread()`); the readers (`location`,
// `deviceInfo`, `userHash`, `server`, `bluetoothState`) and the forwarding
// calls are also safe from other threads. Download callbacks arrive on the
// main queue, in the order they were posted; zone entries and exits on the
// navigation tick's thread; ranged beacons, push actions, GPS fixes and
// nearest-beacon events on the main thread; Bluetooth-state changes on the
// main queue.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "MCModels/mc_beacon.h"
#include "MCModels/mc_device_info.h"
#include "MCModels/mc_location.h"
#include "MCModels/mc_location_point.h"
#include "MCModels/mc_route_path.h"
#include "platform/error.h"

// The coordinator and the Bluetooth-state manager stay inside the SDK.
class MainSDK;
struct MainSDKManagers;
struct MainSDKDelegate;
class MCBluetoothStateManager;
struct MCBluetoothStateManagerDelegate;

struct MarvistoCoreDelegate {
  std::function<void(const std::vector<nlohmann::json>& beacons)> didRangeBeacons;
  std::function<void(std::shared_ptr<MCBeacon> beacon, const platform::Error* error)> beaconFounded;
  std::function<void(int64_t process)> measuringBeaconWithProcess;
  std::function<void(const std::string& title, const std::string& content, const std::string& image,
                     int64_t actionId)>
      didRangePushWithTitle;
  std::function<void(double latitude, double longitude)> getLatitude;
  std::function<void(int64_t zoneId)> didEnterZoneWithId;
  std::function<void(int64_t zoneId)> didExitZoneWithId;
};

struct MCBluetoothStateDelegate {
  std::function<void(int64_t state)> didChangeBluetoothState;
};

class MarvistoCore : public std::enable_shared_from_this<MarvistoCore> {
 public:
  using ProcessBlock = std::function<void(int64_t process)>;
  using SuccessBlock = std::function<void(const nlohmann::json& result)>;
  using FailBlock = std::function<void(const platform::Error& error)>;

  // Takes both values as given (nothing is read or written in the store).
  static std::shared_ptr<MarvistoCore> initWithUserHash(const std::string& userHash,
                                                        const std::string& server);
  // The same over the given managers in place of the process's shared ones.
  static std::shared_ptr<MarvistoCore> initWithUserHash(const std::string& userHash,
                                                        const std::string& server,
                                                        MainSDKManagers managers);
  // The server from the store (absent: the default API server).
  static std::shared_ptr<MarvistoCore> initWithUserHash(const std::string& userHash);
  // Both from the store (absent: "" and the default API server).
  static std::shared_ptr<MarvistoCore> init();

  // The coordinator of the latest initialisation (null before the first).
  static std::shared_ptr<MainSDK> mainSDK();
  static std::string loadUserHash();
  static std::string loadServer();

  std::string userHash() const;
  void setUserHash(const std::string& userHash);
  std::string server() const;
  void setServer(const std::string& server);
  std::shared_ptr<MCLocation> location() const;
  int64_t bluetoothState() const;
  std::shared_ptr<const MCDeviceInfo> deviceInfo() const;
  std::shared_ptr<MCBluetoothStateManager> deviceState() const { return deviceState_; }
  void setDelegate(std::weak_ptr<MarvistoCoreDelegate> delegate);
  void setBtStateDelegate(std::weak_ptr<MCBluetoothStateDelegate> delegate);

  // Archives.
  void loadArchiveByName(const std::string& name, std::optional<platform::Error>* error);
  void loadArchiveById(int64_t locationId, std::optional<platform::Error>* error);

  // The download flow: returns at once; loads the local copy, then brings it
  // up to date from the server on a worker. Callbacks (any may be empty) run
  // on the main queue: success {"type": "local"|"remote", "version": n},
  // process with each new job state (then -1 after a job failure), fail with
  // code 1 (job failed), 13 (no progress for 8 s), 2 or 3 (archive).
  void downloadLocationByName(const std::string& name, bool forceReload, ProcessBlock processBlock,
                              SuccessBlock successBlock, FailBlock failBlock);
  void downloadLocationById(int64_t locationId, bool forceReload, ProcessBlock processBlock,
                            SuccessBlock successBlock, FailBlock failBlock);

  // Jobs.
  int _startLocationListLoader(const std::string& userHash);
  int startLocationLoaderByUserHash(const std::string& userHash, const std::string& locationName,
                                    bool forced);
  int startLocationLoaderByUserHash(const std::string& userHash, int64_t locationId, bool forced);
  int checkLocationLoader(int id);
  void stopLocationLoader(int id);
  int _startLocationUploaderUserHash(const std::string& userHash, const std::string& locationName,
                                     bool forced);
  int _startLocationUploaderUserHash(const std::string& userHash, int64_t locationId, bool forced);
  int _checkLocationUploader(int id);
  void _stopLocationUploader(int id);
  std::optional<std::string> _currentVersionAt(const std::string& path,
                                               std::optional<platform::Error>* error);

  // Navigation.
  void startMarvisto();
  void stopMarvisto();
  void startPushManager();
  void startSendingPostRequests();
  void stopSendingPostRequests();
  void _changeBaseServerTo(const std::string& server);
  void registerToken(const std::vector<uint8_t>& token);
  std::shared_ptr<MCRoutePath> makeRouteFrom(const MCLocationPoint& from, const MCLocationPoint& to);
  void setTarget(const MCLocationPoint& target);
  void addTatget(const MCLocationPoint& target);
  void cancelTarget();
  void cancelTargets();
  void setGraphTag(const std::string& tag);
  std::string getGraphTag();
  std::string getGraphDescription(const std::string& tag);
  std::vector<std::string> getGraphTags();
  bool setGraphParam(const std::map<std::string, std::string>& parameter);
  void _navigateEnablePdr(int32_t sublocation, double x, double y);
  void _navigateDisablePdr();

  // Sensors and scanning.
  std::vector<std::string> _arrayWithAccelerometerData();
  std::vector<std::string> _arrayWithGyroscopeData();
  std::vector<std::string> _arrayWithMagnetometerData();
  void _changeSensorsFrequencyTo(double hz);
  void _shouldDisplayCalibration(bool display);
  void _regularScanEnabled(bool enabled);
  void _fastScanEnabled(bool enabled);
  void _changeRestartTimeout(double seconds);

  // Measurement logs.
  std::string _startSaveLogToFile();
  void _stopSaveLogToFile();
  void _addCheckPointToLogFile(const std::string& checkPoint);
  void _removeAllLogs(std::optional<platform::Error>* error);
  void _removeLog(const std::string& name, std::optional<platform::Error>* error);
  uint64_t _startNavigateByLog(const std::string& name, std::optional<platform::Error>* error);
  void _stopNavigeteByLog();

  // Nearest-beacon placement.
  void _startMeasureNearestBeacon(const MCBeacon& spot);
  void _stopMeasureNearestBeacon();
  void _removeMeasuredBeacon(const MCBeacon& beacon);
  bool _saveBeaconsXML(std::optional<platform::Error>* error = nullptr);

  // The Bluetooth-state manager's event (stores the state, then tells the host).
  void bluetoothStateManager(MCBluetoothStateManager& manager, int64_t didChangeBluetoothState);

  // Made by the initialisers.
  MarvistoCore(std::string userHash, std::string server);

  // How often the download flow polls its job (seconds of clock time), and
  // how long a job may go without progress.
  static constexpr double kDownloadPollSeconds = 0.05;
  static constexpr double kDownloadStallSeconds = 8.0;

 private:
  friend class MCDownloadFlow;
  void setLocation(std::shared_ptr<MCLocation> location);
  std::shared_ptr<MarvistoCoreDelegate> delegateNow() const;
  void wire();

  mutable std::mutex mutex_;
  std::string userHash_, server_;
  std::shared_ptr<MCLocation> location_ = std::make_shared<MCLocation>();
  int64_t bluetoothState_ = 0;
  std::weak_ptr<MarvistoCoreDelegate> delegate_;
  std::weak_ptr<MCBluetoothStateDelegate> btStateDelegate_;
  std::shared_ptr<MCBluetoothStateManager> deviceState_;
  // The coordinator's and the Bluetooth manager's view of this facade.
  std::shared_ptr<MainSDKDelegate> sdkDelegate_;
  std::shared_ptr<MCBluetoothStateManagerDelegate> stateDelegate_;
};
