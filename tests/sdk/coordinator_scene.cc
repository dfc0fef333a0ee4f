#include "sdk/coordinator_scene.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "MCArchiveManager/mc_archive_manager.h"
#include "MCBeaconManager/mc_beacon_manager.h"
#include "Sensors/mc_sensor_manager.h"
#include "MCLogManager/mc_log_manager.h"
#include "MCPushManager/mc_push_manager.h"
#include "MCSettingsManager/mc_settings_manager.h"
#include "MCVenueManager/mc_venue_manager.h"
#include "Device/mc_device.h"
#include "MCServerManager/mc_server_manager.h"
#include "mapview/mc_map_view_manager.h"
#include "platform/paths.h"
#include "platform/run_loop.h"
#include "platform/user_defaults.h"

namespace fs = std::filesystem;

namespace sdk_test {

MainSDKManagers FreshManagers() {
  MainSDKManagers m = MainSDKManagers::shared();
  m.pushManager = std::make_shared<MCPushManager>();
  // Zone visits go to a closed loopback port: nothing leaves the machine.
  m.pushManager->setZoneVisitURL("http://127.0.0.1:1/zones/visit");
  m.navigationManager = std::make_shared<MCNavigationManager>(m.pushManager);
  m.serverManager = std::make_shared<MCServerManager>();
  m.venueManager = std::make_shared<MCVenueManager>();
  m.logManager = std::make_shared<MCLogManager>();
  m.archiveManager = std::make_shared<MCArchiveManager>();
  m.settingsManager = std::make_shared<MCSettingsManager>();
  m.mapViewManager = std::make_shared<MCMapViewManager>();
  m.sensorManager = MCSensorManager::init();
  m.beaconManager = MCBeaconManager::init();
  m.device = MCDevice::init();
  return m;
}

void CapturingServer::addMQMessage(WScanMessage m) {
  std::lock_guard lock(mutex_);
  positions_.push_back({double(m.outSubLocation), m.outX, m.outY});
}

std::vector<std::array<double, 3>> CapturingServer::take() {
  std::lock_guard lock(mutex_);
  return std::exchange(positions_, {});
}

CoordinatorScene::CoordinatorScene(const std::function<void(MainSDKManagers&)>& adjust) {
  platform::RunLoop::setMainThread();
  platform::testing::useManualClock({1767268800, 0});
  MainSDKManagers managers = FreshManagers();
  managers.serverManager = server;
  if (adjust) adjust(managers);
  sdk = MainSDK::initWithUserHash("hash", "http://127.0.0.1:1", managers);
  delegate->didEnterZoneWithId = [this](MainSDK&, int64_t id) {
    heard.zones.push_back({true, id});
    heard.threads.push_back(std::this_thread::get_id());
  };
  delegate->didExitZoneWithId = [this](MainSDK&, int64_t id) {
    heard.zones.push_back({false, id});
    heard.threads.push_back(std::this_thread::get_id());
  };
  delegate->beaconFounded = [this](MainSDK&, std::shared_ptr<MCBeacon> b, const platform::Error* e) {
    heard.placed.push_back(b ? b->uuid : "error " + std::to_string(e ? e->code : 0));
  };
  sdk->setDelegate(delegate);
}

CoordinatorScene::~CoordinatorScene() {
  sdk.reset();
  platform::testing::useRealClock();
}

void CoordinatorScene::install(const std::string& name, const std::string& archive) {
  const fs::path dir = platform::Paths::documents() / name;
  fs::create_directories(dir);
  fs::copy_file(archive, dir / "map.mvz", fs::copy_options::overwrite_existing);
}

std::vector<std::shared_ptr<const MCDeviceInfo>> CoordinatorScene::replay(
    const std::string& log, const std::function<void()>& started) {
  const fs::path dir = sdk->managers().logManager->fullPathToDir();
  fs::copy_file(log, dir / "walk.log", fs::copy_options::overwrite_existing);
  std::optional<platform::Error> error;
  const uint64_t n = sdk->startNavigateByLog("walk.log", &error);
  EXPECT_FALSE(error) << error->localizedDescription;
  if (started) started();
  std::vector<std::shared_ptr<const MCDeviceInfo>> out;
  for (uint64_t i = 0; i + 1 < n; ++i) {
    sdk->mainNavigationQueue();
    out.push_back(sdk->deviceInfo());
  }
  return out;
}

}  // namespace sdk_test
