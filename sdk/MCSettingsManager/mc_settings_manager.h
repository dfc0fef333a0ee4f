// The process-wide remote-settings manager: before every configuration
// request it re-applies the settings kept in the user-defaults store, then
// asks the content server ("/v0/apps/config") for the kit's configuration,
// applies each received setting to the manager it concerns and stores it.
// It runs two repeating timers on the main run loop: the configuration timer
// (3600 s unless told otherwise) and, while beacon reports are on, the report
// timer (40 s) that posts the buffered beacon lines ("/v0/locations/byBeacon").
//
// Sound handling of what the server sends: a reply that is not an object is
// rejected whole; a value of the wrong type counts as absent; every period
// (the timers', the throttles', the Bluetooth restart's) outside 1 s to 30 days
// is ignored with a log line, so the manager concerned, the running timer and
// the store keep the value before; a log file name must be a plain file name;
// turning reports off stops the report timer and drops the buffer. Stored
// values pass the same checks when they come back.
//
// Threads: every operation is safe from any thread. Request callbacks, and so
// the application of replies, run on the main thread; both timers always run
// on the main run loop. Locks: `stateMutex_` (settings, timers, addresses) and
// `mutex_` (the report buffer) are never held together, nor across a call into
// another manager or the network; should one ever be needed under the other,
// `stateMutex_` comes first.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "networking/http_request_operation_manager.h"
#include "platform/location_manager.h"
#include "platform/mutex.h"
#include "platform/run_loop.h"

class MCDevice;
class MCLocation;

struct MCSettingsManagerDelegate {
  std::function<void(int64_t locationId)> loadNewLocation;
};

// Where applied settings go: the managers that own each value. Empty slots
// are skipped (the coordinator fills them with its managers).
struct MCSettingsTargets {
  std::function<void(bool)> fastScanEnabled;
  std::function<void(bool)> regularScanEnabled;
  std::function<void(double)> changeRestartTimeout;
  std::function<void(int32_t)> setDirectTimeout;
  std::function<void(int32_t)> setMqMessageTimeoutForeground;
  std::function<void(int32_t)> setMqMessageTimeoutBackground;
  std::function<void(int32_t)> changeUpdateActionsTimeout;
};

class MCSettingsManager : public std::enable_shared_from_this<MCSettingsManager> {
 public:
  using FixSource = std::function<std::optional<platform::Location>()>;

  static std::shared_ptr<MCSettingsManager> sharedInstance();
  MCSettingsManager();
  virtual ~MCSettingsManager();

  void setServer(const std::string& server);
  void setUserHash(const std::string& userHash);
  void setLocation(std::shared_ptr<MCLocation> location);
  void setDelegate(std::weak_ptr<MCSettingsManagerDelegate> delegate);
  void setTargets(MCSettingsTargets targets);
  void setDevice(std::shared_ptr<MCDevice> device);
  // Where the last known fix comes from; by default this manager's own
  // (never started) location manager.
  void setFixSource(FixSource source);

  virtual void makeConfigRequest();
  // Fills the setting fields from a reply; false (nothing changed) when the
  // reply is not a JSON object. Never throws.
  bool parseSettings(const nlohmann::json& reply);
  void applySettings();
  void restoreSettings();
  void applyDebugLevel(int32_t level);
  virtual void stopManager();

  // Beacon reports.
  void addNewBeacons(const std::vector<platform::Beacon>& beacons);
  void makeByBeaconRequest();

  // Readers for the host and tests.
  nlohmann::json settings() const;  // the present setting fields by key
  int32_t debugDLogLevel() const;
  // The period of a running timer, or none.
  std::optional<double> configTimerPeriod() const;
  std::optional<double> byBeaconTimerPeriod() const;
  int64_t beaconsCount() const;
  std::shared_ptr<MCHTTPRequestOperationManager> manager() const { return manager_; }

  // A file name the logger may be pointed at: no directory part, not "." or "..".
  static bool isPlainFileName(const std::string& name);

 private:
  std::string deviceText() const;  // the configuration request's device text
  std::optional<platform::Location> lastFix() const;
  void restartConfigTimer(double period);
  void restartByBeaconTimer(double period);
  void stopByBeaconTimer();

  mutable platform::Mutex stateMutex_ ACQUIRED_BEFORE(mutex_);
  std::string server_ GUARDED_BY(stateMutex_);
  std::string userHash_ GUARDED_BY(stateMutex_);
  std::shared_ptr<MCLocation> location_ GUARDED_BY(stateMutex_);
  std::weak_ptr<MCSettingsManagerDelegate> delegate_ GUARDED_BY(stateMutex_);
  MCSettingsTargets targets_ GUARDED_BY(stateMutex_);
  std::shared_ptr<MCDevice> device_ GUARDED_BY(stateMutex_);
  FixSource fixSource_ GUARDED_BY(stateMutex_);
  std::map<std::string, nlohmann::json> fields_ GUARDED_BY(stateMutex_);
  int32_t debugDLogLevel_ GUARDED_BY(stateMutex_) = 0;
  std::shared_ptr<platform::Timer> configTimer_ GUARDED_BY(stateMutex_);
  std::shared_ptr<platform::Timer> bybeaconTimer_ GUARDED_BY(stateMutex_);

  mutable platform::Mutex mutex_;  // the report buffer
  std::string beacons_ GUARDED_BY(mutex_);
  int64_t beaconsCount_ GUARDED_BY(mutex_) = 0;

  std::shared_ptr<MCHTTPRequestOperationManager> manager_;
  std::shared_ptr<platform::LocationManager> locationManager_;
};
