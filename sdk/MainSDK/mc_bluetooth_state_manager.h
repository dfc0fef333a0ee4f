// Reduces the Bluetooth radio's power state and the app's location
// authorisation to one combined Bluetooth state and reports it to the delegate
// whenever a callback yields one:
//   0 unknown, 1 powered off, 2 unsupported, 3 Bluetooth not authorised,
//   4..8 powered on with location use denied, not determined, restricted,
//   authorised always, authorised when in use.
// Made and used on the main thread; both callbacks and the delegate run on
// the main queue. Not locked.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/bluetooth_central.h"
#include "platform/location_manager.h"

class MCBluetoothStateManager;

struct MCBluetoothStateManagerDelegate {
  // bluetoothStateManager:didChangeBluetoothState:
  std::function<void(MCBluetoothStateManager& manager, int64_t state)> bluetoothStateManager;
};

class MCBluetoothStateManager : public std::enable_shared_from_this<MCBluetoothStateManager> {
 public:
  // Creates the central manager (reports on the main queue); no location manager yet.
  static std::shared_ptr<MCBluetoothStateManager> init();

  void centralManagerDidUpdateState(const platform::BluetoothCentral& central);
  void locationManager(const platform::LocationManager& manager,
                       int32_t didChangeAuthorizationStatus);

  int64_t marvistoBluetoothState() const { return marvistoBluetoothState_; }
  void setMarvistoBluetoothState(int64_t state) { marvistoBluetoothState_ = state; }
  std::weak_ptr<MCBluetoothStateManagerDelegate> delegate() const { return delegate_; }
  void setDelegate(std::weak_ptr<MCBluetoothStateManagerDelegate> delegate) {
    delegate_ = std::move(delegate);
  }

  std::shared_ptr<platform::LocationManager> locationManager() const { return locationManager_; }
  std::shared_ptr<platform::BluetoothCentral> centralManager() const { return centralManager_; }
  int64_t centralState() const { return centralState_; }
  int64_t locationState() const { return locationState_; }

 private:
  void report(int64_t state);

  std::shared_ptr<platform::LocationManager> locationManager_;
  std::shared_ptr<platform::BluetoothCentral> centralManager_;
  int64_t centralState_ = 0;
  int64_t locationState_ = 0;
  std::weak_ptr<MCBluetoothStateManagerDelegate> delegate_;
  int64_t marvistoBluetoothState_ = 0;
};
