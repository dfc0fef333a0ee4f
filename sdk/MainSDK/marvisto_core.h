/// @file
/// The one object a host application creates and calls. It keeps the user
/// hash and the server address (persisted under "userHash" and "server" in the
/// user-defaults store by their setters only), makes the process's coordinator
/// (`mainSDK`, replaced by every initialisation, whichever facade object is
/// called) and forwards nearly every call to it, runs the location download
/// flow, and passes the coordinator's and the Bluetooth state's events on to
/// the host's two delegates.
///
/// Threads: initialise and call from the host's main thread (the one that
/// called `platform::RunLoop::setMainThread()`). The initialisers, the user
/// hash's, server's and delegates' setters and the downloads belong to it: made
/// on another thread they stop the process in a build with the thread checks
/// (`MARVISTO_THREAD_CHECKS`, the kit's test builds). The packaged library does
/// not stop its host for them: they run on the calling thread, and the managers
/// an initialiser made there deliver their events on that thread's run loop. The
/// readers (`location`, `deviceInfo`, `userHash`, `server`, `bluetoothState`),
/// the archive loads and the forwarding calls are also safe from other threads
/// (a zone callback may load, start, stop and replay). Download callbacks arrive on the
/// main queue, in the order they were posted; zone entries and exits on the
/// navigation tick's thread once the tick has released its lock; ranged beacons, push actions, GPS fixes and
/// nearest-beacon events on the main thread; Bluetooth-state changes on the
/// main queue. Main-queue callbacks run only while the host pumps the main run
/// loop (platform/run_loop.h).
///
/// Failure: calls that can fail fill their `std::optional<platform::Error>*`
/// argument (left alone on success) or call the download's fail block, with
/// the codes of marvisto_error.h; readers never fail: before a location is
/// loaded `location()` is empty and `deviceInfo()` carries the failed tick's
/// error.
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
#include "MCModels/mc_location.h"
#include "MCModels/mc_location_point.h"
#include "MCModels/mc_route_path.h"
#include "platform/error.h"
#include "platform/mutex.h"

// The coordinator and the Bluetooth-state manager stay inside the SDK.
class MainSDK;
struct MainSDKManagers;
struct MainSDKDelegate;
class MCBluetoothStateManager;
struct MCBluetoothStateManagerDelegate;

/// What the facade tells the host. Every member is optional: an empty one is
/// not called. Held weakly by the facade: the host keeps it alive.
struct MarvistoCoreDelegate {
  /// The beacons of the latest ranging, one JSON object each; on the main thread.
  std::function<void(const std::vector<nlohmann::json>& beacons)> didRangeBeacons;
  /// A nearest-beacon measurement ended: the new beacon, or null and the error
  /// (codes 11 and 12 of marvisto_error.h); on the main thread.
  std::function<void(std::shared_ptr<MCBeacon> beacon, const platform::Error* error)> beaconFounded;
  /// A nearest-beacon measurement's progress, 25 to 100; on the main thread.
  std::function<void(int64_t process)> measuringBeaconWithProcess;
  /// A push action of the venue fired for a ranged beacon; on the main thread.
  std::function<void(const std::string& title, const std::string& content, const std::string& image,
                     int64_t actionId)>
      didRangePushWithTitle;
  /// A GPS fix, in degrees; on the main thread.
  std::function<void(double latitude, double longitude)> getLatitude;
  /// The device entered the zone with this id. On the navigation tick's thread,
  /// after the tick has released the SDK's lock, in the order the tick found
  /// them: the facade may be called from here (load, start, stop, replay).
  std::function<void(int64_t zoneId)> didEnterZoneWithId;
  /// The device left the zone with this id; the same thread and order as entries.
  std::function<void(int64_t zoneId)> didExitZoneWithId;
};

/// What the facade tells the host about the Bluetooth radio, on the main queue.
struct MCBluetoothStateDelegate {
  /// The radio's new state (5: powered on).
  std::function<void(int64_t state)> didChangeBluetoothState;
};

/// The facade: the one object a host creates and calls (see the file's description).
class MarvistoCore : public std::enable_shared_from_this<MarvistoCore> {
 public:
  /// Download progress: the job's state, 0 to 100, or -1 after a failure.
  using ProcessBlock = std::function<void(int64_t process)>;
  /// Download success: {"type": "local"|"remote", "version": n}.
  using SuccessBlock = std::function<void(const nlohmann::json& result)>;
  /// Download failure, with an error of marvisto_error.h.
  using FailBlock = std::function<void(const platform::Error& error)>;

  /// Takes both values as given (nothing is read or written in the store).
  static std::shared_ptr<MarvistoCore> initWithUserHash(const std::string& userHash,
                                                        const std::string& server);
  /// @cond internal
  // The same over the given managers in place of the process's shared ones (tests).
  static std::shared_ptr<MarvistoCore> initWithUserHash(const std::string& userHash,
                                                        const std::string& server,
                                                        MainSDKManagers managers);
  /// @endcond
  /// The server from the store (absent: the default API server).
  static std::shared_ptr<MarvistoCore> initWithUserHash(const std::string& userHash);
  /// Both from the store (absent: "" and the default API server).
  static std::shared_ptr<MarvistoCore> init();

  /// The coordinator of the latest initialisation (null before the first); opaque to hosts.
  static std::shared_ptr<MainSDK> mainSDK();
  /// The user hash in the store ("" when none).
  static std::string loadUserHash();
  /// The server in the store (absent: the default API server).
  static std::string loadServer();

  std::string userHash() const;  ///< The user hash in use.
  /// Uses and stores a new user hash.
  void setUserHash(const std::string& userHash);
  std::string server() const;  ///< The server in use.
  /// Uses and stores a new server address.
  void setServer(const std::string& server);
  /// The loaded location, refilled in place at every load (empty before the first).
  std::shared_ptr<MCLocation> location() const;
  int64_t bluetoothState() const;  ///< The radio's latest state.
  /// The result of the latest navigation tick; its `error` is set when that tick failed.
  std::shared_ptr<const MCDeviceInfo> deviceInfo() const;
  /// @cond internal
  std::shared_ptr<MCBluetoothStateManager> deviceState() const { return deviceState_; }
  /// @endcond
  /// The host's delegate, held weakly.
  void setDelegate(std::weak_ptr<MarvistoCoreDelegate> delegate);
  /// The host's Bluetooth-state delegate, held weakly.
  void setBtStateDelegate(std::weak_ptr<MCBluetoothStateDelegate> delegate);

  /// @name Archives
  /// Load a downloaded location's map archive from the app home's Documents folder (a
  /// location id as "#" and the number); on failure `*error` gets code 2 or 3 and the loaded
  /// location stays as it was.
  /// @{

  /// By name.
  void loadArchiveByName(const std::string& name, std::optional<platform::Error>* error);
  /// By id.
  void loadArchiveById(int64_t locationId, std::optional<platform::Error>* error);
  /// @}

  /// @name Download
  /// @{

  /// The download flow: returns at once; loads the local copy, then brings it
  /// up to date from the server on a worker. Callbacks (any may be empty) run
  /// on the main queue: success {"type": "local"|"remote", "version": n},
  /// process with each new job state (then -1 after a job failure), fail with
  /// code 1 (job failed), 13 (no progress for 8 s), 2 or 3 (archive). A
  /// downloaded archive that does not load (3) never replaces the local copy
  /// and leaves navigation running. After 100 a newer copy is checked and
  /// loaded before "remote" (each as long as a load); an up-to-date one gets
  /// nothing more. The flow holds the three blocks until it has posted its last
  /// callback, then lets go of them: a host that must know when the flow is
  /// over (before it exits, say) can watch what they hold.
  void downloadLocationByName(const std::string& name, bool forceReload, ProcessBlock processBlock,
                              SuccessBlock successBlock, FailBlock failBlock);
  /// The same for the location with this id.
  void downloadLocationById(int64_t locationId, bool forceReload, ProcessBlock processBlock,
                            SuccessBlock successBlock, FailBlock failBlock);
  /// @}

  /// @name Transfer jobs
  /// Background jobs: start returns a job id, check the job's state (0 to 100 in
  /// progress, above 99 done, 255 or negative failed).
  /// @{
  int _startLocationListLoader(const std::string& userHash);  ///< Loads the list of locations.
  /// Loads a location's map archive (forced: even when the version is the same).
  int startLocationLoaderByUserHash(const std::string& userHash, const std::string& locationName,
                                    bool forced);
  /// The same by location id.
  int startLocationLoaderByUserHash(const std::string& userHash, int64_t locationId, bool forced);
  int checkLocationLoader(int id);  ///< A loader's state.
  void stopLocationLoader(int id);  ///< Stops a loader.
  /// Uploads a location's map archive.
  int _startLocationUploaderUserHash(const std::string& userHash, const std::string& locationName,
                                     bool forced);
  /// The same by location id.
  int _startLocationUploaderUserHash(const std::string& userHash, int64_t locationId, bool forced);
  int _checkLocationUploader(int id);  ///< An uploader's state.
  void _stopLocationUploader(int id);  ///< Stops an uploader.
  /// The version written in the archive at `path`; none with `*error` set when unreadable.
  std::optional<std::string> _currentVersionAt(const std::string& path,
                                               std::optional<platform::Error>* error);
  /// @}

  /// @name Navigation
  /// @{

  /// Starts sensors, ranging and the 100 ms navigation tick over the loaded location.
  /// After `stopMarvisto` load the location again first: a start alone navigates nothing.
  void startMarvisto();
  /// Stops sensors, ranging and scanning and lets go of the loaded location's navigation
  /// state (the location model stays). The tick goes on: every tick fails with code 31
  /// "NULL client" in `deviceInfo()->error`, also after a later `startMarvisto`, until a
  /// location is loaded again (`loadArchiveByName`, `loadArchiveById`, a download, a log
  /// replay); and a start before that load ranges no beacons.
  void stopMarvisto();
  void startPushManager();          ///< Loads the venue's push actions and starts firing them.
  void startSendingPostRequests();  ///< Starts the outgoing message queue.
  void stopSendingPostRequests();   ///< Stops the outgoing message queue.
  /// Uses another server, without storing it.
  void _changeBaseServerTo(const std::string& server);
  /// Registers the device's push token.
  void registerToken(const std::vector<uint8_t>& token);
  /// A route between two points (points and length, no events); a route without
  /// points when none is found.
  std::shared_ptr<MCRoutePath> makeRouteFrom(const MCLocationPoint& from, const MCLocationPoint& to);
  void setTarget(const MCLocationPoint& target);  ///< Adds a route target, as `addTatget` does.
  /// Adds a route target: every successful tick then routes to it (`deviceInfo()->paths`).
  void addTatget(const MCLocationPoint& target);
  void cancelTarget();                       ///< Removes the route targets.
  void cancelTargets();                      ///< Removes the route targets.
  void setGraphTag(const std::string& tag);  ///< Chooses the route graph by its tag.
  std::string getGraphTag();                 ///< The tag of the route graph in use.
  /// The description of a route graph.
  std::string getGraphDescription(const std::string& tag);
  std::vector<std::string> getGraphTags();   ///< The tags of the location's route graphs.
  /// Sets one parameter (the map's first name and value) of the route graph in use;
  /// false when the graph refuses it or there is none.
  bool setGraphParam(const std::map<std::string, std::string>& parameter);
  /// Turns on step-based tracking from a known place on a floor.
  void _navigateEnablePdr(int32_t sublocation, double x, double y);
  void _navigateDisablePdr();  ///< Turns step-based tracking off.
  /// @}

  /// @name Sensors and scanning
  /// @{

  /// Recent accelerometer samples, as text.
  std::vector<std::string> _arrayWithAccelerometerData();
  /// Recent gyroscope samples, as text.
  std::vector<std::string> _arrayWithGyroscopeData();
  /// Recent magnetometer samples, as text.
  std::vector<std::string> _arrayWithMagnetometerData();
  void _changeSensorsFrequencyTo(double hz);     ///< The motion sensors' rate.
  void _shouldDisplayCalibration(bool display);  ///< Whether the compass may ask for calibration.
  void _regularScanEnabled(bool enabled);        ///< Beacon ranging on or off.
  void _fastScanEnabled(bool enabled);           ///< Advertisement scanning on or off.
  void _changeRestartTimeout(double seconds);    ///< How often the Bluetooth scan restarts.
  /// @}

  /// @name Measurement logs
  /// @{
  std::string _startSaveLogToFile();  ///< Records each tick's readings; the new log's name.
  void _stopSaveLogToFile();          ///< Ends the recording.
  /// Marks a moment in the recording.
  void _addCheckPointToLogFile(const std::string& checkPoint);
  /// Deletes every recorded log.
  void _removeAllLogs(std::optional<platform::Error>* error);
  /// Deletes one recorded log.
  void _removeLog(const std::string& name, std::optional<platform::Error>* error);
  /// Replays a recorded log through the navigation tick in place of live readings; the
  /// number of records, 0 with `*error` set when it cannot.
  uint64_t _startNavigateByLog(const std::string& name, std::optional<platform::Error>* error);
  void _stopNavigeteByLog();  ///< Ends the replay.
  /// @}

  /// @name Nearest-beacon placement
  /// @{

  /// Measures which beacon is nearest while the phone lies on `spot`; the result
  /// reaches `MarvistoCoreDelegate::beaconFounded`.
  void _startMeasureNearestBeacon(const MCBeacon& spot);
  void _stopMeasureNearestBeacon();                    ///< Ends the measurement.
  void _removeMeasuredBeacon(const MCBeacon& beacon);  ///< Marks a beacon deleted.
  /// Writes the location's beacons back into its map archive; false with `*error` set on failure.
  bool _saveBeaconsXML(std::optional<platform::Error>* error = nullptr);
  /// @}

  /// @cond internal
  // The Bluetooth-state manager's event (stores the state, then tells the host).
  void bluetoothStateManager(MCBluetoothStateManager& manager, int64_t didChangeBluetoothState);

  // Made by the initialisers.
  MarvistoCore(std::string userHash, std::string server);
  /// @endcond

  /// How often the download flow polls its job, in seconds of clock time.
  static constexpr double kDownloadPollSeconds = 0.05;
  /// How long a download job may go without progress before the flow fails with code 13.
  static constexpr double kDownloadStallSeconds = 8.0;

 private:
  friend class MCDownloadFlow;
  void setLocation(std::shared_ptr<MCLocation> location);
  std::shared_ptr<MarvistoCoreDelegate> delegateNow() const;
  void wire();

  mutable platform::Mutex mutex_;
  std::string userHash_ GUARDED_BY(mutex_);
  std::string server_ GUARDED_BY(mutex_);
  std::shared_ptr<MCLocation> location_ GUARDED_BY(mutex_) = std::make_shared<MCLocation>();
  int64_t bluetoothState_ GUARDED_BY(mutex_) = 0;
  std::weak_ptr<MarvistoCoreDelegate> delegate_ GUARDED_BY(mutex_);
  std::weak_ptr<MCBluetoothStateDelegate> btStateDelegate_ GUARDED_BY(mutex_);
  std::shared_ptr<MCBluetoothStateManager> deviceState_;
  /// The coordinator's and the Bluetooth manager's view of this facade.
  std::shared_ptr<MainSDKDelegate> sdkDelegate_;
  std::shared_ptr<MCBluetoothStateManagerDelegate> stateDelegate_;
};
