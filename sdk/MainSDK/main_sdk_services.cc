// The coordinator's side of the service managers: where ranging batches and
// applied settings go, where the settings manager finds the last fix and the
// venue manager its archive.
#include "MCArchiveManager/mc_archive_manager.h"
#include "MCBeaconManager/mc_beacon_manager.h"
#include "MCModels/mc_json.h"
#include "MCPushManager/mc_push_manager.h"
#include "MCSettingsManager/mc_settings_manager.h"
#include "MCVenueManager/mc_venue_manager.h"
#include "MainSDK/main_sdk.h"
#include "Device/mc_device.h"
#include "Foundation/mc_log.h"
#include "Sensors/mc_sensor_manager.h"
#include "MCServerManager/mc_server_manager.h"

void MainSDK::servicesWire() {
  const auto push = m_.pushManager;
  const auto settings = m_.settingsManager;
  const auto beacons = m_.beaconManager;
  const auto navigation = m_.navigationManager;
  const auto sensors = m_.sensorManager;
  if (beacons) {
    MCBeaconBatchReceivers receivers;
    if (push) receivers.checkBeacons = [push](const std::vector<platform::Beacon>& b) { push->checkBeacons(b); };
    if (settings) receivers.addNewBeacons = [settings](const std::vector<platform::Beacon>& b) { settings->addNewBeacons(b); };
    beacons->setBatchReceivers(std::move(receivers));
  }
  if (!settings) return;
  MCSettingsTargets targets;
  if (beacons) {
    targets.fastScanEnabled = [beacons](bool on) { beacons->fastScanEnabled(on); };
    targets.regularScanEnabled = [beacons](bool on) { beacons->regularScanEnabled(on); };
    targets.changeRestartTimeout = [beacons](double s) { beacons->changeRestartTimeout(s); };
  }
  if (navigation) targets.setDirectTimeout = [navigation](int32_t s) { navigation->setDirectTimeout(s); };
  if (push) targets.changeUpdateActionsTimeout = [push](int32_t s) { push->changeUpdateActionsTimeout(s); };
  if (const auto server = m_.serverManager) {
    targets.setMqMessageTimeoutForeground = [server](int32_t s) { server->setMqMessageTimeoutForeground(s); };
    targets.setMqMessageTimeoutBackground = [server](int32_t s) { server->setMqMessageTimeoutBackground(s); };
  }
  settings->setTargets(std::move(targets));
  if (m_.device) settings->setDevice(m_.device);
  // The sensor manager's location updates are the phone's last known fix.
  if (sensors) {
    const std::weak_ptr<MCSensorManager> weak = sensors;
    settings->setFixSource([weak]() -> std::optional<platform::Location> {
      const auto s = weak.lock();
      const auto manager = s ? s->locationManager() : nullptr;
      return manager ? manager->location() : std::nullopt;
    });
  }
  if (m_.venueManager && m_.archiveManager) m_.venueManager->setArchiveManager(m_.archiveManager);
}
