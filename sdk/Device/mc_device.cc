#include "Device/mc_device.h"

#include "Foundation/mc_log.h"
#include "Device/mc_pw_keychain.h"
#include "platform/dispatch.h"
#include "platform/location_manager.h"
#include "platform/main_thread.h"

namespace {
constexpr const char* kDeviceIdAccount = "MCUUID";
}  // namespace

std::shared_ptr<MCDevice> MCDevice::device() {
  static const std::shared_ptr<MCDevice> shared = init();
  return shared;
}

std::shared_ptr<MCDevice> MCDevice::init() {
  auto d = std::make_shared<MCDevice>();
  d->deviceId = d->loadDeviceId();
  MC_LOG(1, "Device unique id: " + d->deviceId + "\n");
  d->model = d->loadDeviceModel();
  MC_LOG(1, "Device model: " + d->model + "\n");
  d->osVersion = platform::Device::systemVersion();
  MC_LOG(1, "OS Version: " + d->osVersion + "\n");
  d->wifiInfo = d->loadWifiInfo();
  d->authorizationStatus = platform::LocationManager::authorizationStatus();
  std::weak_ptr<MCDevice> weak = d;
  auto queue = platform::dispatch::serialQueue("com.marvisto.centralManager");
  d->centralManager = platform::BluetoothCentral::create(
      [weak, queue](int64_t state) {
        PLATFORM_ON_QUEUE(*queue);
        if (auto self = weak.lock()) self->setCentralManagerState(state);
      },
      queue);
  return d;
}

std::string MCDevice::loadDeviceId() {
  const std::string service = platform::Bundle::bundleName();
  if (auto stored = MCPWKeychain::passwordForService(service, kDeviceIdAccount)) return *stored;
  const std::string id = platform::Device::identifierForVendor();
  // A keychain that cannot be written leaves this run's identifier in use.
  MCPWKeychain::setPassword(id, service, kDeviceIdAccount);
  return id;
}

std::string MCDevice::loadDeviceModel() { return platform::Device::machine(); }

std::optional<platform::WifiInfo> MCDevice::loadWifiInfo() {
  return platform::Device::currentWifi();
}

void MCDevice::centralManagerDidUpdateState(const platform::BluetoothCentral& central) {
  setCentralManagerState(central.state());
}
