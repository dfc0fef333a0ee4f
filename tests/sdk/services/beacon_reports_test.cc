// Beacon reports: lines buffered up to the report length, the texts a report
// carries, and every buffered line counted once at the server.
#include "MCSettingsManager/mc_settings_manager.h"
#include "Device/mc_device.h"
#include "sdk/services/services_support.h"

using services_test::RangedBeacon;

namespace {

size_t Lines(const std::string& text) {
  size_t n = 0;
  for (size_t at = text.find("<bluetooth "); at != std::string::npos; at = text.find("<bluetooth ", at + 1)) ++n;
  return n;
}

class BeaconReports : public services_test::ServicesTest {
 protected:
  void SetUp() override {
    ServicesTest::SetUp();
    device_->deviceId = "dev-1";
    device_->wifiInfo = platform::WifiInfo{"aa:bb", "MV", {0x4d, 0x56, 0x0a}};
    m_->setDevice(device_);
    m_->setServer(base());
    m_->setUserHash("hash-2");
    m_->setFixSource([this] { return fix_; });
    m_->makeConfigRequest();  // the default reply: on, every 40 s, 30 lines; periods count from it
    ASSERT_TRUE(platform::testing::pumpUntil([&] { return m_->settings().contains("post_zone_timeout"); }));
  }
  void TearDown() override {
    m_->stopManager();
    ServicesTest::TearDown();
  }
  std::string report(size_t n) {
    platform::testing::advance(40.0);
    EXPECT_TRUE(awaitCount("/v0/locations/byBeacon", n));
    return routes_->records("/v0/locations/byBeacon").back().form.at("data");
  }

  std::optional<platform::Location> fix_ = services_test::Fix();
  std::shared_ptr<MCDevice> device_ = std::make_shared<MCDevice>();
  std::shared_ptr<MCSettingsManager> m_ = std::make_shared<MCSettingsManager>();
};

TEST_F(BeaconReports, BatchesFillToTheLengthAndEachLineReachesTheServerOnce) {
  for (int64_t want : {12, 24, 30, 30}) {
    std::vector<platform::Beacon> batch;
    for (int k = 0; k < 12; ++k) batch.push_back(RangedBeacon(int64_t(m_->beaconsCount()) + k, 1));
    m_->addNewBeacons(batch);
    EXPECT_EQ(m_->beaconsCount(), want);
  }
  const std::string first = report(1);
  EXPECT_EQ(Lines(first), 30u);
  EXPECT_NE(first.find("major=\"00029\""), std::string::npos);
  EXPECT_EQ(first.find("major=\"00030\""), std::string::npos);
  m_->addNewBeacons({RangedBeacon(1, 1), RangedBeacon(2, 1)});
  EXPECT_EQ(Lines(report(2)), 2u);
  EXPECT_EQ(Lines(report(3)), 0u);  // nothing ranged: a report all the same
}

TEST_F(BeaconReports, TheTextsAsTheServerReadsThem) {
  const std::string where = "latitude=\"52.50000000\" longitude=\"13.25000000\" altitude=\"34.50\" "
                            "accuracy=\"5.00\" deviceTime=\"1767225600\"";
  struct Row {
    int64_t major, minor;
    bool fix, wifi;
    std::vector<std::string> has, lacks;
  };
  const Row rows[] = {
      {7, 123, true, true,
       {"<device deviceId=\"dev-1\" deviceTime=\"", "userHash=\"hash-2\" apiKey=\"hash-2\" wifi_network=\"aa:bb,4d560a\"/>",
        "<location " + where + "/><bluetooth " + where + " major=\"00007\" minor=\"00123\" UUID=\"" +
            services_test::kUuid + "\" battery=\"\" power=\"\"/>"},
       {}},
      {123456, 65535, true, false, {"major=\"123456\" minor=\"65535\"", "wifi_network=\",\"/>"}, {}},
      {1, 1, false, true, {"wifi_network=\"aa:bb,4d560a\"/>"}, {"<bluetooth", "<location"}},
  };
  size_t n = 0;
  for (const Row& row : rows) {
    fix_ = row.fix ? std::optional<platform::Location>(services_test::Fix()) : std::nullopt;
    if (!row.wifi) device_->wifiInfo.reset();
    m_->addNewBeacons({RangedBeacon(row.major, row.minor)});
    const std::string text = report(++n);
    for (const auto& part : row.has) EXPECT_NE(text.find(part), std::string::npos) << part << "\n" << text;
    for (const auto& part : row.lacks) EXPECT_EQ(text.find(part), std::string::npos) << part << "\n" << text;
    device_->wifiInfo = platform::WifiInfo{"aa:bb", "MV", {0x4d, 0x56, 0x0a}};
  }
}

}  // namespace
