// What the kit says about the phone in every message and request: a device
// identifier that survives reinstalls (kept in the keychain), the hardware
// model, the OS version, the Wi-Fi network, the location authorisation at
// start and the Bluetooth radio's state. One per process (`device()`), made
// once and then only read, except centralManagerState, which the central
// manager's own serial queue writes. Safe for concurrent reads.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/app.h"
#include "platform/bluetooth_central.h"

class MCDevice : public std::enable_shared_from_this<MCDevice> {
 public:
  // The process's device, made on first use.
  static std::shared_ptr<MCDevice> device();
  // A new device read from the phone now (the shared one is made this way).
  static std::shared_ptr<MCDevice> init();

  // The keychain's identifier for this app; the vendor identifier, stored
  // there, when it holds none.
  std::string loadDeviceId();
  std::string loadDeviceModel();
  std::optional<platform::WifiInfo> loadWifiInfo();
  void centralManagerDidUpdateState(const platform::BluetoothCentral& central);

  int32_t authorizationStatus = 0;
  std::string deviceId;
  std::string osVersion;
  std::string model;
  std::optional<platform::WifiInfo> wifiInfo;
  int64_t centralManagerState() const { return centralManagerState_.load(); }
  void setCentralManagerState(int64_t state) { centralManagerState_ = state; }
  std::shared_ptr<platform::BluetoothCentral> centralManager;

 private:
  std::atomic<int64_t> centralManagerState_{0};
};
