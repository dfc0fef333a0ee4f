#include "MainSDK/mc_bluetooth_state_manager.h"
#include "platform/main_thread.h"

std::shared_ptr<MCBluetoothStateManager> MCBluetoothStateManager::init() {
  PLATFORM_MAIN_THREAD_ONLY();
  auto m = std::make_shared<MCBluetoothStateManager>();
  std::weak_ptr<MCBluetoothStateManager> weak = m;
  m->centralManager_ = platform::BluetoothCentral::create(
      [weak](int64_t) {
        auto self = weak.lock();
        if (self && self->centralManager_) self->centralManagerDidUpdateState(*self->centralManager_);
      },
      nullptr, {{"CBCentralManagerScanOptionAllowDuplicatesKey", false}});
  return m;
}

void MCBluetoothStateManager::centralManagerDidUpdateState(
    const platform::BluetoothCentral& central) {
  PLATFORM_MAIN_THREAD_ONLY();
  switch (central.state()) {
    case platform::kCentralStateUnknown:
      centralState_ = 0;
      report(0);
      break;
    case platform::kCentralStateUnsupported:
      centralState_ = 2;
      report(2);
      break;
    case platform::kCentralStateUnauthorized:
      centralState_ = 3;
      report(3);
      break;
    case platform::kCentralStatePoweredOff:
      centralState_ = 1;
      report(1);
      break;
    case platform::kCentralStatePoweredOn:
      if (locationManager_) {
        report(locationState_);
      } else {
        // The state follows from the new manager's first authorisation report.
        std::weak_ptr<MCBluetoothStateManager> weak = weak_from_this();
        locationManager_ = platform::LocationManager::create([weak](int32_t status) {
          auto self = weak.lock();
          if (self && self->locationManager_) self->locationManager(*self->locationManager_, status);
        });
      }
      break;
    default:  // resetting and anything unknown: keep the last state
      break;
  }
}

void MCBluetoothStateManager::locationManager(const platform::LocationManager&,
                                              int32_t didChangeAuthorizationStatus) {
  PLATFORM_MAIN_THREAD_ONLY();
  if (!centralManager_ || centralManager_->state() != platform::kCentralStatePoweredOn) return;
  int64_t state;
  switch (didChangeAuthorizationStatus) {
    case platform::kAuthorizationStatusNotDetermined: state = 5; break;
    case platform::kAuthorizationStatusRestricted: state = 6; break;
    case platform::kAuthorizationStatusDenied: state = 4; break;
    case platform::kAuthorizationStatusAuthorizedAlways: state = 7; break;
    case platform::kAuthorizationStatusAuthorizedWhenInUse: state = 8; break;
    default: return;
  }
  locationState_ = state;
  report(state);
}

void MCBluetoothStateManager::report(int64_t state) {
  marvistoBluetoothState_ = state;
  auto d = delegate_.lock();
  if (d && d->bluetoothStateManager) d->bluetoothStateManager(*this, state);
}
