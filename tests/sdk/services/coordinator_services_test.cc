// The coordinator's wiring of the service managers: its first settings
// request, settings reaching the managers they concern, ranging batches
// reaching the push actions, and the push-token cloud set-up.
#include "MCArchiveManager/mc_archive_manager.h"
#include "MCBeaconManager/mc_beacon_manager.h"
#include "MCLogManager/mc_log_manager.h"
#include "MCPushManager/mc_push_manager.h"
#include "MCSettingsManager/mc_settings_manager.h"
#include "MCVenueManager/mc_venue_manager.h"
#include "MainSDK/main_sdk.h"
#include "Device/mc_device.h"
#include "Sensors/mc_sensor_manager.h"
#include "MCServerManager/mc_server_manager.h"
#include "MCServerManager/mc_service_addresses.h"
#include "sdk/services/services_support.h"

using nlohmann::json;

namespace {

using services_test::ServicesTest;

TEST_F(ServicesTest, TheCoordinatorWiresTheServiceManagers) {
  MainSDKManagers m = MainSDKManagers::shared();
  m.pushManager = std::make_shared<MCPushManager>();
  m.navigationManager = std::make_shared<MCNavigationManager>(m.pushManager);
  m.serverManager = std::make_shared<MCServerManager>();
  m.venueManager = std::make_shared<MCVenueManager>();
  m.logManager = std::make_shared<MCLogManager>();
  m.archiveManager = std::make_shared<MCArchiveManager>();
  m.settingsManager = std::make_shared<MCSettingsManager>();
  m.sensorManager = MCSensorManager::init();
  m.beaconManager = MCBeaconManager::init();
  m.device = MCDevice::init();
  MCServiceAddresses::setCloudSetupURL(base() + "/device/cloudSetup");
  editReplies([](contentserver::SdkReplies& r) {
    r.config = {{"post_zone_timeout", 45}, {"fast_scan_enabled", true}, {"actions_update_timeout", 120}};
  });
  auto delegate = std::make_shared<MainSDKDelegate>();
  std::vector<int64_t> pushed;
  delegate->didRangePushWithTitle = [&](MainSDK&, const std::string&, const std::string&, const std::string&,
                                        int64_t id) { pushed.push_back(id); };
  auto sdk = MainSDK::initWithUserHash("hash-5", base(), m);
  sdk->setDelegate(delegate);
  ASSERT_TRUE(awaitCount("/v0/apps/config", 1));
  EXPECT_NE(routes_->records("/v0/apps/config")[0].form.at("data").find("userHash=\"hash-5\""), std::string::npos);
  ASSERT_TRUE(platform::testing::pumpUntil([&] { return m.navigationManager->directTimeout() == 45; }));
  EXPECT_TRUE(m.beaconManager->fastScanEnabled());
  EXPECT_EQ(m.pushManager->updateActionsTimeout(), 120);

  json beacon = {{"id", 1}, {"major", 7}, {"minor", 9}, {"uuid", services_test::kUuid}};
  beacon["actions"] = json::array({{{"id", 8}, {"active", 1}, {"frequency", 60}}});
  json floor = json::object();
  floor["beacons"] = json::array({beacon});
  json data = {{"success", 1}};
  data["location"] = {{"sublocations", json::array({floor})}};
  ASSERT_TRUE(m.pushManager->parsePushes({{"data", data}}));
  m.beaconManager->locationManager(*m.beaconManager->locationManager(), {services_test::RangedBeacon(7, 9)},
                                   *platform::BeaconRegion::initWithProximityUUID(services_test::kUuid, "r"));
  EXPECT_EQ(pushed, std::vector<int64_t>{8});
  m.pushManager->beacons()[0]->actions[0]->stopAction();

  sdk->registerToken({0x01, 0xab, 0xff});
  ASSERT_TRUE(awaitCount("/device/cloudSetup", 1));
  const auto form = routes_->records("/device/cloudSetup")[0].form;
  EXPECT_EQ(form.at("token") + " " + form.at("deviceType") + " " + form.at("deviceId"), "01abff ios " + m.device->deviceId);
  sdk->stopMarvisto();
  EXPECT_FALSE(m.settingsManager->configTimerPeriod());
  MCServiceAddresses::reset();
}

}  // namespace
