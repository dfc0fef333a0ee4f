// The coordinator's calls on the sensor and beacon managers, and their events.
#include "MCBeaconManager/mc_beacon_manager.h"
#include "MainSDK/main_sdk.h"
#include "MainSDK/main_sdk_delegates.h"
#include "Sensors/mc_sensor_manager.h"
#include "platform/mutex.h"

void MainSDKSharedReadingManagers(MainSDKManagers& m) {
  m.sensorManager = MCSensorManager::sharedInstance();
  m.beaconManager = MCBeaconManager::sharedInstance();
}

void MainSDK::readingsWire() {
  const std::weak_ptr<MainSDK> self = weak_from_this();
  const auto send = [self](auto&& call) {
    if (auto sdk = self.lock()) {
      if (auto d = sdk->delegateNow()) call(*sdk, *d);
    }
  };
  auto sensor = std::make_shared<MCSensorManagerDelegate>();
  sensor->getLatitude = [send](double latitude, double longitude) {
    send([&](MainSDK& s, MainSDKDelegate& d) {
      if (d.getLatitude) d.getLatitude(s, latitude, longitude);
    });
  };
  auto beacon = std::make_shared<MCBeaconManagerDelegate>();
  beacon->didRangeBeacons = [send](const std::vector<MCRangedBeacon>& beacons) {
    send([&](MainSDK& s, MainSDKDelegate& d) {
      if (d.didRangeBeacons) d.didRangeBeacons(s, beacons);
    });
  };
  beacon->measuringBeaconWithProcess = [send](int64_t process) {
    send([&](MainSDK& s, MainSDKDelegate& d) {
      if (d.measuringBeaconWithProcess) d.measuringBeaconWithProcess(s, process);
    });
  };
  beacon->beaconFounded = [self](const std::optional<std::string>& key,
                                 const std::optional<platform::Error>& error) {
    if (auto sdk = self.lock()) sdk->beaconFounded(key, error);
  };
  m_.sensorManager->setDelegate(sensor);
  publishBeacons();
  m_.beaconManager->setDelegate(beacon);
  delegates_->sensor = sensor;
  delegates_->beacon = beacon;
}

void MainSDK::readingsFill(WScanMessage& message, platform::WallTime t) {
  m_.beaconManager->fillWscanMessage(message, t);
  m_.sensorManager->fillWscanMessage(message, t);
}

void MainSDK::readingsClear() {
  m_.sensorManager->clearSensorEntries();
  m_.beaconManager->clearScanEntries();
}

void MainSDK::readingsStart() {
  m_.sensorManager->startSensorsUpdate();
  m_.beaconManager->setUuids(uuids());
  m_.beaconManager->startBeaconManager();
}

void MainSDK::readingsStop() {
  m_.beaconManager->stopBeaconManager();
  m_.sensorManager->stopSensorsUpdate();
}

// The beacon manager's fast scan works on its own copy of the location's
// beacons, taken here under the location lock (the location lock before the
// beacon manager's own) after every change of the floors or their beacons.
void MainSDK::publishBeacons() {
  platform::MutexLock lock(locationMutex_);
  m_.beaconManager->setLocation(location_);
}

void MainSDK::readingsConfigure() {
  publishBeacons();
  m_.beaconManager->configureBluetooth();
  m_.sensorManager->configureSensors();
}

void MainSDK::readingsMeasure(bool start) {
  if (start) {
    m_.beaconManager->startMeasureNearestBeacon();
  } else {
    m_.beaconManager->stopMeasureNearestBeacon();
  }
}

void MainSDK::changeSensorsFrequencyTo(double hz) { m_.sensorManager->changeSensorsFrequencyTo(hz); }
void MainSDK::shouldDisplayCalibration(bool display) {
  m_.sensorManager->setShouldDisplayCalibration(display);
}
void MainSDK::regularScanEnabled(bool enabled) { m_.beaconManager->regularScanEnabled(enabled); }
void MainSDK::fastScanEnabled(bool enabled) { m_.beaconManager->fastScanEnabled(enabled); }
void MainSDK::changeRestartTimeout(double seconds) {
  m_.beaconManager->changeRestartTimeout(seconds);
}
