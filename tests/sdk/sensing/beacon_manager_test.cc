// MCBeaconManager over the location and Bluetooth stand-ins, under the
// manual clock: ranging and fast-scan readings, the cleaner, the scan
// switches, the queue's cap, nearest-beacon measuring and the beacon key.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "MCBeaconManager/mc_beacon_key.h"
#include "MCBeaconManager/mc_beacon_manager.h"
#include "MCBeaconManager/mc_nearest_beacon.h"
#include "platform/app.h"
#include "platform/run_loop.h"
#include "platform/testing.h"

namespace {

using namespace platform;
namespace pt = platform::testing;

const std::string kUuid = "E2C56DB5-DFFB-48D2-B060-D0F5A71096E0";

Beacon Ranged(int64_t minor, int64_t rssi) {
  Beacon b;
  b.proximityUUID = kUuid;
  b.major = 1;
  b.minor = minor;
  b.rssi = rssi;
  b.proximity = kProximityNear;
  return b;
}

class BeaconManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RunLoop::setMainThread();
    pt::useManualClock();
    location::reset();
    location::setAuthorizationStatus(kAuthorizationStatusAuthorizedAlways);
    bluetooth::setRadioState(kCentralStatePoweredOn);
    m = MCBeaconManager::init();
    d = std::make_shared<MCBeaconManagerDelegate>();
    d->didRangeBeacons = [this](const std::vector<MCRangedBeacon>& b) {
      EXPECT_TRUE(RunLoop::isMainThread());
      lists.push_back(b);
    };
    d->beaconFounded = [this](const std::optional<std::string>& k, const std::optional<Error>& e) {
      found.push_back(k ? *k : "error:" + e->localizedDescription);
    };
    d->measuringBeaconWithProcess = [this](int64_t p) { progress.push_back(p); };
    m->setDelegate(d);
    // A floor whose beacon the model holds with a lower-case UUID.
    auto loc = std::make_shared<MCLocation>();
    auto floor = std::make_shared<MCSublocation>();
    auto b = std::make_shared<MCBeacon>();
    b->major = 1;
    b->minor = 7;
    b->uuid = "e2c56db5-dffb-48d2-b060-d0f5a71096e0";
    b->name = "AB12";
    floor->beacons->push_back(b);
    loc->sublocations.push_back(floor);
    m->setLocation(loc);
    m->setUuids({kUuid, "not a uuid"});
    pt::settle();
  }
  void TearDown() override {
    m->stopMeasureNearestBeacon();
    m->stopBeaconManager();
    pt::settle();
    bluetooth::setRadioState(kCentralStateUnknown);
    location::reset();
    pt::settle();
    pt::useRealClock();
  }
  std::vector<std::string> Keys() {
    WScanMessage msg;
    m->fillWscanMessage(msg, Clock::now());
    std::vector<std::string> keys;
    for (const auto& e : msg.entries) keys.push_back(e.bssid + " " + std::to_string(int(e.rssi)));
    return keys;
  }
  static void Advertise(const std::string& name, size_t bytes, int64_t rssi) {
    AdvertisementData ad;
    std::vector<uint8_t> data(bytes, 0);
    for (size_t i = 0; i < name.size() && i < bytes; ++i) data[i] = uint8_t(name[i]);
    ad.serviceData["FEAA"] = data;
    bluetooth::advertise(Peripheral{"p", {}}, ad, rssi);
  }
  std::shared_ptr<MCBeaconManager> m;
  std::shared_ptr<MCBeaconManagerDelegate> d;
  std::vector<std::vector<MCRangedBeacon>> lists;
  std::vector<std::string> found;
  std::vector<int64_t> progress;
};

TEST_F(BeaconManagerTest, RangingQueuesKeysListsRecordsAndPassesTheBatchOn) {
  std::vector<size_t> passed;
  m->setBatchReceivers({[&](const std::vector<Beacon>& b) { passed.push_back(b.size()); }, nullptr});
  m->startBeaconManager();
  EXPECT_EQ(m->regions().size(), 1u);  // the text that is no UUID is skipped
  location::rangeBeacons({Ranged(7, -70), Ranged(8, 0)});
  location::rangeBeacons({Ranged(7, -65)});
  location::rangeBeacons({Ranged(9, 0)});  // nothing heard, still passed on
  pt::settle();
  EXPECT_EQ(passed, (std::vector<size_t>{2, 1, 1}));
  const std::string key7 = "(00001,00007," + kUuid + ")";
  EXPECT_EQ(Keys(), (std::vector<std::string>{key7 + " -70", key7 + " -65"}));
  pt::advance(2.0);
  ASSERT_EQ(lists.size(), 1u);
  ASSERT_EQ(lists[0].size(), 1u);  // heard twice, listed once with the later level
  EXPECT_EQ(lists[0][0]["rssi"], -65);
  EXPECT_EQ(lists[0][0]["proximity"], kProximityNear);
  pt::advance(2.0);
  ASSERT_EQ(lists.size(), 2u);
  EXPECT_TRUE(lists[1].empty());

  // Switching the regular scan off stops ranging and empties the regions.
  m->regularScanEnabled(false);
  EXPECT_TRUE(m->regions().empty());
  location::rangeBeacons({Ranged(7, -70)});
  pt::settle();
  EXPECT_TRUE(Keys().empty());
  m->regularScanEnabled(true);
  EXPECT_EQ(m->regions().size(), 1u);
}

TEST_F(BeaconManagerTest, FastScanMatchesNamesAndUpperCasesTheKey) {
  m->fastScanEnabled(true);
  struct Case {
    std::string name;
    size_t bytes;
    int64_t rssi;
    bool heard;
  } cases[] = {{"ab12", 7, -60, true},  {"AB12", 6, -60, false}, {"ZZ99", 7, -60, false},
               {"AB12", 7, 0, false},   {"AB12", 9, -61, true}};
  std::vector<std::string> expected;
  for (const Case& c : cases) {
    Advertise(c.name, c.bytes, c.rssi);
    if (c.heard) expected.push_back("(00001,00007," + kUuid + ") " + std::to_string(c.rssi));
  }
  pt::settle();
  // The model's lower-case UUID gives the engine's upper-case key.
  EXPECT_EQ(Keys(), expected);
  m->fastScanEnabled(false);
  Advertise("AB12", 7, -60);
  pt::settle();
  EXPECT_TRUE(Keys().empty());
}

TEST_F(BeaconManagerTest, UndrainedQueueKeepsTheNewestSecondsAndRestartTimerNeverSpins) {
  m->changeRestartTimeout(0.4);  // a zero period would spin the loop
  m->startBeaconManager();
  for (int s = 0; s < 20; ++s) {
    location::rangeBeacons({Ranged(7, -70), Ranged(8, -71)});
    pt::advance(1.0);
  }
  EXPECT_EQ(m->refreshCentralManagerTimeout(), 0);
  EXPECT_LE(m->queuedCount(), size_t(2 * (kMCBeaconKeepSeconds + 1)));
  EXPECT_GE(m->queuedCount(), size_t(2 * kMCBeaconKeepSeconds));
}

TEST_F(BeaconManagerTest, NearestBeaconMeasuring) {
  struct Case {
    std::vector<std::pair<int64_t, int64_t>> perSecond;  // minor and RSSI, each second
    std::string result;
  } cases[] = {
      {{{7, -90}}, "(00001,00007," + kUuid + ")"},
      {{{7, 0}}, "error:  Couldn't detect nearest beacon. Beacon far away or not working!"},
      {{{7, -60}, {8, -66}}, "error:  Couldn't detect nearest beacon. Too many candidates!"},
      {{{7, -59}, {7, -60}, {8, -66}}, "(00001,00007," + kUuid + ")"},  // mean -59.5
  };
  m->startBeaconManager();
  for (const Case& c : cases) {
    found.clear();
    progress.clear();
    location::rangeBeacons({Ranged(9, -40)});  // before the start: never counts
    pt::settle();
    m->startMeasureNearestBeacon();
    for (int s = 0; s < 5; ++s) {
      std::vector<Beacon> batch;
      for (auto [minor, rssi] : c.perSecond) batch.push_back(Ranged(minor, rssi));
      location::rangeBeacons(batch);
      pt::advance(1.0);
      if (s == 3) EXPECT_TRUE(found.empty());
    }
    EXPECT_EQ(progress, (std::vector<int64_t>{25, 50, 75, 100}));
    EXPECT_EQ(found, std::vector<std::string>{c.result});
    EXPECT_FALSE(m->isFindingNearestBeacon());
  }
  // A stop after the third second reports nothing; a new start counts from 25.
  progress.clear();
  found.clear();
  m->startMeasureNearestBeacon();
  pt::advance(3.0);
  m->stopMeasureNearestBeacon();
  pt::advance(3.0);
  m->startMeasureNearestBeacon();
  pt::advance(1.0);
  EXPECT_EQ(progress, (std::vector<int64_t>{25, 50, 75, 25}));
  EXPECT_TRUE(found.empty());
}

TEST_F(BeaconManagerTest, AuthorisationIsAskedOnlyWhenUndeterminedOnANewEnoughSystem) {
  struct Case {
    std::string version;
    int32_t status;
    std::vector<std::string> keys;
    int32_t after;
  } cases[] = {
      {"17.2", kAuthorizationStatusNotDetermined, {"NSLocationAlwaysUsageDescription"}, kAuthorizationStatusAuthorizedAlways},
      {"17.2", kAuthorizationStatusNotDetermined, {"NSLocationWhenInUseUsageDescription"}, kAuthorizationStatusAuthorizedWhenInUse},
      {"17.2", kAuthorizationStatusNotDetermined, {}, kAuthorizationStatusNotDetermined},
      {"7.1", kAuthorizationStatusNotDetermined, {"NSLocationAlwaysUsageDescription"}, kAuthorizationStatusNotDetermined},
      {"17.2", kAuthorizationStatusDenied, {"NSLocationAlwaysUsageDescription"}, kAuthorizationStatusDenied},
  };
  for (const Case& c : cases) {
    Device::setSystemVersion(c.version);
    location::setInfoPlistKeys(c.keys);
    location::setAuthorizationStatus(c.status);
    pt::settle();  // the change's own callback configures too
    m->configureBluetooth();
    pt::settle();
    EXPECT_EQ(LocationManager::authorizationStatus(), c.after) << c.version;
  }
  Device::reset();
}

TEST(BeaconKeyTest, ParseChecksEveryPart) {
  const std::string u = "e2c56db5-dffb-48d2-b060-d0f5a71096e0";
  struct Case {
    std::string key;
    bool ok;
  } cases[] = {{"(00001,00007," + u + ")", true},  {"(00001,00007," + u, false},
               {"(0000a,00007," + u + ")", false}, {"(00001;00007," + u + ")", false},
               {"(00001,00007," + u + "]", false}, {"(00001,00007,e2c56db5_dffb-48d2-b060-d0f5a71096e0)", false},
               {"(00001,00007,g2c56db5-dffb-48d2-b060-d0f5a71096e0)", false}, {"", false}};
  for (const Case& c : cases) EXPECT_EQ(MCParseBeaconKey(c.key).has_value(), c.ok) << c.key;
  auto p = MCParseBeaconKey("(65535,00007," + u + ")");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->major, 65535);
  EXPECT_EQ(p->minor, 7);
  EXPECT_TRUE(MCSameUUID(p->uuid, kUuid));
  EXPECT_FALSE(MCSameUUID(p->uuid, "E2C56DB5-DFFB-48D2-B060-D0F5A71096E1"));
  EXPECT_EQ(MCBeaconKey(1, 7, u), "(00001,00007," + kUuid + ")");
  EXPECT_TRUE(MCBeaconManager::isValidUUID(kUuid));
  EXPECT_FALSE(MCBeaconManager::isValidUUID(u));
}

// Ranging, advertisements and the tick's fill at the same time (TSan).
TEST_F(BeaconManagerTest, ReadingsAndFillsRunConcurrently) {
  m->fastScanEnabled(true);
  m->startBeaconManager();
  std::atomic<bool> done{false};
  std::atomic<size_t> filled{0};
  std::thread tick([&] {
    while (!done) {
      WScanMessage msg;
      m->fillWscanMessage(msg, Clock::now());
      filled += msg.entries.size();
    }
  });
  for (int i = 0; i < 200; ++i) {
    Advertise("AB12", 7, -60);
    location::rangeBeacons({Ranged(7, -70)});
  }
  pt::settle();
  done = true;
  tick.join();
  EXPECT_EQ(filled + Keys().size(), 400u);
}

}  // namespace
