// The process-wide source of beacon readings for the navigation tick: region
// ranging of the coordinator's proximity UUIDs and, when enabled, a fast scan
// of advertisements whose service data names a beacon of the loaded location.
// Each reading is queued for the tick as a beacon radio entry, recorded in
// the ranged-beacon list that a 2-second cleaner hands to the delegate, and,
// during a nearest-beacon measurement, sampled for the measurement's decision
// (which beacon is clearly the strongest after five seconds).
//
// Threads: ranging, region and authorisation callbacks run on the run loop of
// the thread that made the manager; advertisements on the manager's serial
// ".centralManager" queue; the cleaner, restart and measurement timers on the
// run loop of the thread that scheduled them (delegate calls from there).
// Operations are safe from any thread; `location`, `uuids` and the flags are
// set by the coordinator before it starts the manager. The radio queue keeps
// only the newest `kMCBeaconKeepSeconds` of entries when no tick drains it.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "MCModels/mc_location.h"
#include "MCModels/mc_scan_entry.h"
#include "platform/bluetooth_central.h"
#include "platform/dispatch.h"
#include "platform/error.h"
#include "platform/location_manager.h"
#include "platform/mutex.h"
#include "platform/run_loop.h"
#include "server/wscan.h"

inline constexpr double kMCBeaconKeepSeconds = 5.0;

// A ranged-beacon record: an object with exactly the keys "major", "minor",
// "uuid", "rssi" and "proximity".
using MCRangedBeacon = nlohmann::json;

struct MCBeaconManagerDelegate {
  // didRangeBeacons: (every cleaner firing, possibly empty)
  std::function<void(const std::vector<MCRangedBeacon>& beacons)> didRangeBeacons;
  // beaconFounded:: (a key and no error, or no key and an error)
  std::function<void(const std::optional<std::string>& key,
                     const std::optional<platform::Error>& error)>
      beaconFounded;
  // measuringBeaconWithProcess: (25, 50, 75, 100)
  std::function<void(int64_t process)> measuringBeaconWithProcess;
};

// Where each ranging batch goes besides the queue: the push manager's
// `checkBeacons:` and the settings manager's `addNewBeacons:`, both called
// with the batch as delivered. Slots left empty are skipped.
struct MCBeaconBatchReceivers {
  std::function<void(const std::vector<platform::Beacon>&)> checkBeacons;
  std::function<void(const std::vector<platform::Beacon>&)> addNewBeacons;
};

class MCBeaconManager : public std::enable_shared_from_this<MCBeaconManager> {
 public:
  static std::shared_ptr<MCBeaconManager> sharedInstance();
  // Public for tests: a private instance whose location manager reports to
  // the calling thread's run loop.
  static std::shared_ptr<MCBeaconManager> init();

  void startBeaconManager();
  void stopBeaconManager();
  void startLocationManager();
  void stopLocationManager();
  void startCentralManager();
  void stopCentralManager();
  void configureBluetooth();
  // Called by the tick, under the coordinator's mutex.
  void fillWscanMessage(WScanMessage& message, const platform::WallTime& withTime);
  void clearScanEntries();
  void regularScanEnabled(bool enabled);
  void fastScanEnabled(bool enabled);
  void changeRestartTimeout(double seconds);
  static bool isValidUUID(const std::string& text);

  // Nearest-beacon measuring.
  void startMeasureNearestBeacon();
  void stopMeasureNearestBeacon();
  std::map<std::string, double> averageDuplicateMeasurements() const;

  // Platform callbacks.
  void locationManager(platform::LocationManager& manager,
                       const std::vector<platform::Beacon>& didRangeBeacons,
                       const platform::BeaconRegion& inRegion);
  void centralManager(const platform::Peripheral& didDiscoverPeripheral,
                      const platform::AdvertisementData& advertisementData, int64_t RSSI);

  // Properties.
  bool isFindingNearestBeacon() const;
  void setIsFindingNearestBeacon(bool value);
  bool regularScanEnabled() const { return regularScanEnabled_; }
  void setRegularScanEnabled(bool value) { regularScanEnabled_ = value; }
  bool fastScanEnabled() const { return fastScanEnabled_; }
  void setFastScanEnabled(bool value) { fastScanEnabled_ = value; }
  int32_t refreshCentralManagerTimeout() const { return refreshCentralManagerTimeout_; }
  void setRefreshCentralManagerTimeout(int32_t seconds) { refreshCentralManagerTimeout_ = seconds; }
  std::weak_ptr<MCBeaconManagerDelegate> delegate() const;
  void setDelegate(std::weak_ptr<MCBeaconManagerDelegate> delegate);
  std::shared_ptr<MCLocation> location() const;
  // Also takes the snapshot of the location's beacons that the fast scan
  // matches names against; the scan never walks the shared floor lists. The
  // caller keeps the location unchanged during the call (the coordinator
  // holds its location lock, and sets the location again after each change).
  void setLocation(std::shared_ptr<MCLocation> location);
  std::vector<std::string> uuids() const;
  void setUuids(std::vector<std::string> uuids);
  std::shared_ptr<platform::LocationManager> locationManager() const { return locationManager_; }
  std::shared_ptr<platform::BluetoothCentral> centralManager() const { return centralManager_; }
  void setBatchReceivers(MCBeaconBatchReceivers receivers);

  // Diagnostics and tests.
  std::vector<platform::BeaconRegion> regions() const;
  size_t queuedCount() const;
  int64_t measureCount() const;

  MCBeaconManager();

 private:
  void addScanEntry(const std::string& key, int32_t rssi) REQUIRES(mutex_);
  void addBeacon(const MCRangedBeacon& record) REQUIRES(usermutex_);
  void beaconsCleaner();
  // What the restart timer calls: it has no effect, and is kept as the
  // timer's interface.
  void refreshCentralManager();
  void calculateDistances();

  struct FastScanBeacon {
    std::string name;  // upper-cased
    int64_t major = 0, minor = 0;
    std::string uuid;
  };

  // Lock order: the coordinator's tick mutex comes before mutex_ (fillWscanMessage).
  // stateMutex_, mutex_ and usermutex_ are never held together; stateMutex_ may be held
  // while calling the platform's location manager, timers and the logger, never the other
  // way round. No lock is held while a delegate or batch receiver runs.
  mutable platform::Mutex stateMutex_;  // timers, regions, location, fast-scan list, uuids, delegate
  std::vector<platform::BeaconRegion> regions_ GUARDED_BY(stateMutex_);
  std::shared_ptr<platform::Timer> restartTimer_ GUARDED_BY(stateMutex_);
  std::shared_ptr<platform::Timer> cleanTimer_ GUARDED_BY(stateMutex_);
  std::shared_ptr<platform::Timer> measureTimer_ GUARDED_BY(stateMutex_);
  int64_t measureCount_ GUARDED_BY(stateMutex_) = 0;
  mutable platform::Mutex mutex_;  // scanEntries_, measureBeacons_
  platform::Mutex usermutex_;      // beacons_
  std::map<std::string, std::vector<int64_t>> measureBeacons_ GUARDED_BY(mutex_);
  bool isFindingNearestBeacon_ GUARDED_BY(mutex_) = false;
  std::atomic<bool> regularScanEnabled_{true};
  std::atomic<bool> fastScanEnabled_{false};
  std::atomic<int32_t> refreshCentralManagerTimeout_{1};
  std::weak_ptr<MCBeaconManagerDelegate> delegate_ GUARDED_BY(stateMutex_);
  std::shared_ptr<MCLocation> location_ GUARDED_BY(stateMutex_) = std::make_shared<MCLocation>();
  // The location's beacons in floor order, as last set; replaced whole.
  std::shared_ptr<const std::vector<FastScanBeacon>> fastScanBeacons_ GUARDED_BY(stateMutex_) =
      std::make_shared<const std::vector<FastScanBeacon>>();
  std::vector<std::string> uuids_ GUARDED_BY(stateMutex_);
  std::deque<MCScanEntry> scanEntries_ GUARDED_BY(mutex_);
  std::shared_ptr<platform::LocationManager> locationManager_;
  std::shared_ptr<platform::BluetoothCentral> centralManager_;
  MCBeaconBatchReceivers receivers_;
  std::vector<MCRangedBeacon> beacons_ GUARDED_BY(usermutex_);
};
