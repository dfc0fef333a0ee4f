// Beacon reports: lines buffered up to the report length, the texts each
// report carries, and every buffered line counted once at the server.
#include "MCSettingsManager/mc_settings_manager.h"
#include "MainSDK/mc_device.h"
#include "sdk/services/services_support.h"

using services_test::RangedBeacon;
using services_test::ServicesTest;

namespace {

size_t Occurrences(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class BeaconReports : public ServicesTest {
 protected:
  void SetUp() override {
    ServicesTest::SetUp();
    device_ = std::make_shared<MCDevice>();
    device_->deviceId = "dev-1";
    device_->wifiInfo = platform::WifiInfo{"aa:bb:cc:dd:ee:ff", "MV", {0x4d, 0x56, 0x0a}};
    m_ = std::make_shared<MCSettingsManager>();
    m_->setDevice(device_);
    m_->setServer(base());
    m_->setUserHash("hash-2");
    m_->setFixSource([this] { return fix_; });
  }
  void TearDown() override {
    m_->stopManager();
    ServicesTest::TearDown();
  }
  std::vector<std::string> reports() const {
    std::vector<std::string> out;
    for (const auto& r : routes_->records("/v0/locations/byBeacon")) out.push_back(r.form.at("data"));
    return out;
  }
  // The reply restarts the report timer: periods count from its arrival.
  void startAndAwaitReply() {
    m_->makeConfigRequest();
    ASSERT_TRUE(platform::testing::pumpUntil([&] { return m_->settings().contains("post_zone_timeout"); }));
  }
  std::vector<platform::Beacon> batch(int n, int from) const {
    std::vector<platform::Beacon> out;
    for (int k = 0; k < n; ++k) out.push_back(RangedBeacon(from + k, 100 + k));
    return out;
  }

  std::optional<platform::Location> fix_ = services_test::Fix();
  std::shared_ptr<MCDevice> device_;
  std::shared_ptr<MCSettingsManager> m_;
};

TEST_F(BeaconReports, BatchesFillToTheLengthAndEveryLineReachesTheServerOnce) {
  startAndAwaitReply();  // on, every 40 s, 30 lines
  const size_t expected[] = {12, 24, 30, 30};
  for (int k = 0; k < 4; ++k) {
    m_->addNewBeacons(batch(12, 12 * k));
    EXPECT_EQ(m_->beaconsCount(), int64_t(expected[k]));
  }
  platform::testing::advance(40.0);
  ASSERT_TRUE(awaitCount("/v0/locations/byBeacon", 1));
  EXPECT_EQ(m_->beaconsCount(), 0);
  m_->addNewBeacons(batch(5, 200));
  platform::testing::advance(40.0);
  ASSERT_TRUE(awaitCount("/v0/locations/byBeacon", 2));
  platform::testing::advance(40.0);  // nothing ranged: still a report
  ASSERT_TRUE(awaitCount("/v0/locations/byBeacon", 3));

  const auto sent = reports();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(Occurrences(sent[0], "<bluetooth "), 30u);
  EXPECT_EQ(Occurrences(sent[1], "<bluetooth "), 5u);
  EXPECT_EQ(Occurrences(sent[2], "<bluetooth "), 0u);
  // Each buffered beacon once, in order: the first 30 of the first batches, then the 5.
  for (int k = 0; k < 30; ++k) EXPECT_EQ(Occurrences(sent[0], "major=\"" + std::string(5 - std::to_string(k).size(), '0') + std::to_string(k) + "\""), 1u) << k;
  for (const auto& text : sent) {
    EXPECT_EQ(text.rfind("<device deviceId=\"dev-1\" deviceTime=\"", 0), 0u) << text;
    EXPECT_NE(text.find("userHash=\"hash-2\" apiKey=\"hash-2\" wifi_network=\"aa:bb:cc:dd:ee:ff,4d560a\"/>"
                        "<location latitude=\"52.50000000\" longitude=\"13.25000000\" altitude=\"34.50\" "
                        "accuracy=\"5.00\" deviceTime=\"1767225600\"/>"),
              std::string::npos)
        << text;
  }
}

TEST_F(BeaconReports, LinesAndTextsAsTheServerReadsThem) {
  struct Row {
    int64_t major, minor;
    bool fix, wifi;
    const char* line;      // expected beacon line part, or "" for none buffered
    const char* network;   // the device text's wifi_network
  };
  const Row rows[] = {
      {7, 123, true, true, "major=\"00007\" minor=\"00123\" UUID=\"A07C5CA8-59EB-4EA8-9956-30B776E0FEDC\" battery=\"\" power=\"\"/>",
       "aa:bb:cc:dd:ee:ff,4d560a"},
      {123456, 65535, true, false, "major=\"123456\" minor=\"65535\"", ","},
      {1, 1, false, true, "", "aa:bb:cc:dd:ee:ff,4d560a"},
  };
  startAndAwaitReply();
  size_t seen = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    fix_ = row.fix ? std::optional<platform::Location>(services_test::Fix()) : std::nullopt;
    if (!row.wifi) device_->wifiInfo.reset();
    m_->addNewBeacons({RangedBeacon(row.major, row.minor)});
    platform::testing::advance(40.0);
    ASSERT_TRUE(awaitCount("/v0/locations/byBeacon", ++seen));
    const std::string text = reports().back();
    if (*row.line) {
      EXPECT_NE(text.find("<bluetooth latitude=\"52.50000000\" longitude=\"13.25000000\" altitude=\"34.50\" "
                          "accuracy=\"5.00\" deviceTime=\"1767225600\" " + std::string(row.line)),
                std::string::npos) << text;
    } else {
      EXPECT_EQ(text.find("<bluetooth"), std::string::npos) << text;
      EXPECT_EQ(text.find("<location"), std::string::npos) << text;
    }
    EXPECT_NE(text.find("wifi_network=\"" + std::string(row.network) + "\"/>"), std::string::npos) << text;
    device_->wifiInfo = platform::WifiInfo{"aa:bb:cc:dd:ee:ff", "MV", {0x4d, 0x56, 0x0a}};
  }
}

}  // namespace
