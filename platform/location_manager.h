// The phone's location manager: the app's location authorisation and its
// change callback, beacon regions (monitoring and 1 Hz ranging batches),
// location updates (standard and significant-change), the last fix and
// whether location services are on.
//
// Every callback runs on the run loop of the thread that made the manager; a
// new manager reports the current authorisation once soon after it is made,
// and again on every change. What the phone's hardware would observe is
// process-wide and is driven by tests or by the simulated world through the
// functions of `platform::location`. Every member function is safe from any
// thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/mutex.h"
#include "platform/run_loop.h"

namespace platform {

// Authorisation statuses.
enum : int32_t {
  kAuthorizationStatusNotDetermined = 0,
  kAuthorizationStatusRestricted = 1,
  kAuthorizationStatusDenied = 2,
  kAuthorizationStatusAuthorizedAlways = 3,
  kAuthorizationStatusAuthorizedWhenInUse = 4,
};

// Proximity of a ranged beacon.
enum : int64_t {
  kProximityUnknown = 0,
  kProximityImmediate = 1,
  kProximityNear = 2,
  kProximityFar = 3,
};

// Region states reported by `didDetermineState`.
enum : int64_t { kRegionStateUnknown = 0, kRegionStateInside = 1, kRegionStateOutside = 2 };

inline constexpr double kLocationDistanceMax = 1.7976931348623157e308;
inline constexpr double kLocationAccuracyThreeKilometers = 3000.0;
inline constexpr double kLocationAccuracyBest = -1.0;

// An iBeacon region: every beacon with this proximity UUID.
struct BeaconRegion {
  std::string proximityUUID;  // upper-case canonical text
  std::string identifier;
  bool notifyOnEntry = true;
  bool notifyOnExit = true;
  bool notifyEntryStateOnDisplay = false;

  // None when `uuid` is not a UUID text (8-4-4-4-12 hex digits, any case).
  static std::optional<BeaconRegion> initWithProximityUUID(const std::string& uuid,
                                                           const std::string& identifier);
  std::string description() const;
};

// One beacon of a ranging batch. `rssi` is 0 when the beacon was not heard in
// this second; `accuracy` is then negative.
struct Beacon {
  std::string proximityUUID;  // upper-case canonical text
  int64_t major = 0;
  int64_t minor = 0;
  int64_t proximity = kProximityUnknown;
  double accuracy = -1;  // metres
  int64_t rssi = 0;      // dBm
};

// One location fix.
struct Location {
  double latitude = 0;
  double longitude = 0;
  double altitude = 0;
  double horizontalAccuracy = 0;
  double verticalAccuracy = 0;
  double timestamp = 0;  // seconds since 1970
};

class LocationManager;

// Every slot is optional; all run on the manager's run loop.
struct LocationManagerDelegate {
  std::function<void(LocationManager&, int32_t status)> didChangeAuthorizationStatus;
  std::function<void(LocationManager&, const std::vector<Beacon>&, const BeaconRegion&)>
      didRangeBeacons;
  std::function<void(LocationManager&, const BeaconRegion&, const Error&)>
      rangingBeaconsDidFailForRegion;
  std::function<void(LocationManager&, const BeaconRegion&)> didEnterRegion;
  std::function<void(LocationManager&, const BeaconRegion&)> didExitRegion;
  std::function<void(LocationManager&, int64_t state, const BeaconRegion&)> didDetermineState;
  std::function<void(LocationManager&, const BeaconRegion&, const Error&)>
      monitoringDidFailForRegion;
  std::function<void(LocationManager&, const std::vector<Location>&)> didUpdateLocations;
  std::function<void(LocationManager&, const Error&)> didFailWithError;
};

class LocationManager : public std::enable_shared_from_this<LocationManager> {
 public:
  using AuthorizationCallback = std::function<void(int32_t status)>;

  // Made on the calling thread; its reports go to that thread's run loop.
  static std::shared_ptr<LocationManager> create(AuthorizationCallback onAuthorization);
  static std::shared_ptr<LocationManager> create(LocationManagerDelegate delegate);

  static int32_t authorizationStatus();
  static bool locationServicesEnabled();
  static bool headingAvailable();
  static bool isMonitoringAvailableForBeaconRegions();
  // Whether the app's information list holds `key` (the usage descriptions
  // that authorisation requests need).
  static bool infoPlistHasKey(const std::string& key);

  // Asking only matters while the status is not determined; the answer the
  // user would give is set with `location::setAuthorizationAnswer`.
  void requestAlwaysAuthorization();
  void requestWhenInUseAuthorization();
  int requestCount() const;  // authorisation requests made through this manager

  double distanceFilter() const;
  void setDistanceFilter(double metres);
  double desiredAccuracy() const;
  void setDesiredAccuracy(double metres);

  void startMonitoringForRegion(const BeaconRegion& region);
  void stopMonitoringForRegion(const BeaconRegion& region);
  void startRangingBeaconsInRegion(const BeaconRegion& region);
  void stopRangingBeaconsInRegion(const BeaconRegion& region);
  std::vector<BeaconRegion> monitoredRegions() const;
  std::vector<BeaconRegion> rangedRegions() const;

  void startUpdatingLocation();
  void stopUpdatingLocation();
  bool isUpdatingLocation() const;
  void startMonitoringSignificantLocationChanges();
  void stopMonitoringSignificantLocationChanges();
  bool isMonitoringSignificantLocationChanges() const;
  std::optional<Location> location() const;  // the last fix delivered to this manager

  // Internal to the world side: post one report onto the manager's loop.
  void report(int32_t status);
  void deliverBeacons(const std::vector<Beacon>& beacons);
  void deliverLocation(const Location& fix, bool significant);

  LocationManager(LocationManagerDelegate delegate, std::shared_ptr<RunLoop> loop);

 private:
  template <class F>
  void post(F&& f);

  LocationManagerDelegate delegate_;
  std::weak_ptr<RunLoop> loop_;
  // Lock order: the simulated world's lock (location.cc's settings), then mutex_, then the
  // run loop's lock (a post to the owner's loop).
  mutable Mutex mutex_;
  double distanceFilter_ GUARDED_BY(mutex_) = -1;  // none
  double desiredAccuracy_ GUARDED_BY(mutex_) = kLocationAccuracyBest;
  std::vector<BeaconRegion> monitored_ GUARDED_BY(mutex_);
  std::vector<BeaconRegion> ranged_ GUARDED_BY(mutex_);
  bool updating_ GUARDED_BY(mutex_) = false;
  bool significant_ GUARDED_BY(mutex_) = false;
  int requests_ GUARDED_BY(mutex_) = 0;
  std::optional<Location> last_ GUARDED_BY(mutex_);
};

namespace location {
// The status every manager sees; every manager is told of a change.
void setAuthorizationStatus(int32_t status);
// What a pending request turns the status into (default: authorised always).
void setAuthorizationAnswer(int32_t status);
void setLocationServicesEnabled(bool enabled);
void setHeadingAvailable(bool available);
void setMonitoringAvailable(bool available);
// The usage-description keys of the app's information list (default:
// "NSLocationAlwaysUsageDescription" and "NSLocationWhenInUseUsageDescription").
void setInfoPlistKeys(std::vector<std::string> keys);
// One ranging second: every manager ranging a region gets the batch's
// beacons of that region's UUID (possibly none) as one batch per region.
// Nothing is delivered while the app is not authorised.
void rangeBeacons(const std::vector<Beacon>& beacons);
// One fix: delivered to managers updating locations; with `significant`,
// also to those monitoring significant changes.
void updateLocation(const Location& fix, bool significant = false);
// Puts every process-wide value back to its start (tests).
void reset();
}  // namespace location

}  // namespace platform
