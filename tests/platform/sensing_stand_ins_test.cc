// The location manager, Bluetooth central and motion manager stand-ins:
// what reaches a receiver, and on which thread or queue, under the manual clock.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/bluetooth_central.h"
#include "platform/location_manager.h"
#include "platform/motion_manager.h"
#include "platform/run_loop.h"
#include "platform/testing.h"

namespace {

using namespace platform;
namespace pt = platform::testing;

class SensingStandIns : public ::testing::Test {
 protected:
  void SetUp() override {
    RunLoop::setMainThread();
    pt::useManualClock();
    location::reset();
    motion::reset();
  }
  void TearDown() override {
    pt::settle();
    bluetooth::setRadioState(kCentralStateUnknown);
    location::reset();
    motion::reset();
    pt::settle();
    pt::useRealClock();
  }
};

Beacon Heard(const std::string& uuid, int64_t minor, int64_t rssi) {
  Beacon b;
  b.proximityUUID = uuid;
  b.minor = minor;
  b.rssi = rssi;
  return b;
}

TEST_F(SensingStandIns, RangingReachesTheMakersLoopPerRegionOnlyWhenAuthorised) {
  const std::string a = "E2C56DB5-DFFB-48D2-B060-D0F5A71096E0", b = "11111111-2222-4333-8444-555555555555";
  std::vector<std::pair<std::string, size_t>> batches;
  LocationManagerDelegate d;
  d.didRangeBeacons = [&](LocationManager&, const std::vector<Beacon>& beacons, const BeaconRegion& r) {
    EXPECT_TRUE(RunLoop::isMainThread());
    batches.emplace_back(r.identifier, beacons.size());
  };
  auto m = LocationManager::create(d);
  ASSERT_FALSE(BeaconRegion::initWithProximityUUID("not-a-uuid", "x"));
  auto lower = BeaconRegion::initWithProximityUUID("e2c56db5-dffb-48d2-b060-d0f5a71096e0", "A");
  ASSERT_TRUE(lower);
  EXPECT_EQ(lower->proximityUUID, a);
  m->startRangingBeaconsInRegion(*lower);
  const std::vector<Beacon> air = {Heard(a, 1, -60), Heard(b, 2, -70), Heard(a, 3, 0)};
  location::rangeBeacons(air);  // not authorised yet
  pt::settle();
  EXPECT_TRUE(batches.empty());
  location::setAuthorizationStatus(kAuthorizationStatusAuthorizedWhenInUse);
  location::rangeBeacons(air);
  pt::settle();
  ASSERT_EQ(batches.size(), 1u);
  EXPECT_EQ(batches[0], std::make_pair(std::string("A"), size_t(2)));
  m->stopRangingBeaconsInRegion(*lower);
  location::rangeBeacons(air);
  pt::settle();
  EXPECT_EQ(batches.size(), 1u);
}

TEST_F(SensingStandIns, AuthorisationRequestsAndLocationUpdates) {
  std::vector<int32_t> statuses;
  std::vector<double> fixes;
  LocationManagerDelegate d;
  d.didChangeAuthorizationStatus = [&](LocationManager&, int32_t s) { statuses.push_back(s); };
  d.didUpdateLocations = [&](LocationManager&, const std::vector<Location>& l) {
    fixes.push_back(l.at(0).latitude);
  };
  auto m = LocationManager::create(d);
  location::setAuthorizationAnswer(kAuthorizationStatusAuthorizedAlways);
  m->requestWhenInUseAuthorization();
  m->requestAlwaysAuthorization();  // already determined: no change
  pt::settle();
  EXPECT_EQ(statuses, (std::vector<int32_t>{0, kAuthorizationStatusAuthorizedWhenInUse}));
  EXPECT_EQ(m->requestCount(), 2);

  struct Step {
    bool updating, significantMonitor, significantFix;
    bool delivered;
  } steps[] = {{false, false, false, false}, {false, true, false, false}, {false, true, true, true},
               {true, false, false, true}};
  double lat = 1;
  for (const Step& s : steps) {
    s.updating ? m->startUpdatingLocation() : m->stopUpdatingLocation();
    s.significantMonitor ? m->startMonitoringSignificantLocationChanges()
                         : m->stopMonitoringSignificantLocationChanges();
    const size_t before = fixes.size();
    location::updateLocation(Location{lat, 0, 0, 5, 5, 0}, s.significantFix);
    pt::settle();
    EXPECT_EQ(fixes.size() - before, s.delivered ? 1u : 0u) << lat;
    if (s.delivered) EXPECT_EQ(m->location()->latitude, lat);
    ++lat;
  }
}

TEST_F(SensingStandIns, AdvertisementsOnTheCentralsQueueWhileScanningAndPoweredOn) {
  auto queue = dispatch::serialQueue("test.central");
  std::atomic<int> heard{0};
  auto c = BluetoothCentral::create(
      nullptr, queue, {},
      [&](const Peripheral&, const AdvertisementData& a, int64_t rssi) {
        EXPECT_TRUE(queue->isCurrent());
        EXPECT_EQ(a.serviceData.at("FEAA").size(), 7u);
        EXPECT_EQ(rssi, -70);
        ++heard;
      });
  AdvertisementData ad;
  ad.serviceData["FEAA"] = std::vector<uint8_t>(7, 'A');
  struct Step {
    int64_t radio;
    int scan;  // 0 stopped, 1 without duplicates, 2 with duplicates
    int expected;  // of three advertisements from two peripherals
  } steps[] = {{kCentralStatePoweredOn, 0, 0}, {kCentralStatePoweredOff, 2, 0},
               {kCentralStatePoweredOn, 1, 2}, {kCentralStatePoweredOn, 2, 3}};
  for (const Step& s : steps) {
    bluetooth::setRadioState(s.radio);
    if (s.scan) c->scanForPeripheralsWithServices({}, {{kCentralManagerScanOptionAllowDuplicatesKey, s.scan == 2}});
    else c->stopScan();
    heard = 0;
    for (const char* id : {"p1", "p1", "p2"}) bluetooth::advertise(Peripheral{id, {}}, ad, -70);
    pt::settle();
    EXPECT_EQ(heard, s.expected) << s.scan;
  }
  EXPECT_EQ(c->state(), kCentralStatePoweredOn);
}

TEST_F(SensingStandIns, MotionSamplesAtTheIntervalOnTheirQueuesInParallel) {
  auto m = MotionManager::create();
  struct Source {
    double interval;
    int expected;  // of 100 samples fed at 100 Hz
  } table[] = {{0.01, 100}, {0.02, 50}, {0.05, 20}};
  for (const Source& s : table) {
    auto qa = dispatch::serialQueue("test.acc"), qg = dispatch::serialQueue("test.gyro"),
         qm = dispatch::serialQueue("test.motion");
    std::atomic<int> acc{0}, gyro{0}, dm{0};
    m->setAccelerometerUpdateInterval(s.interval);
    m->setGyroUpdateInterval(s.interval);
    m->setDeviceMotionUpdateInterval(s.interval);
    m->startAccelerometerUpdatesToQueue(qa, [&](const AccelerometerData* d, const Error*) {
      EXPECT_TRUE(qa->isCurrent());
      EXPECT_TRUE(d);
      ++acc;
    });
    m->startGyroUpdatesToQueue(qg, [&](const GyroData*, const Error*) {
      EXPECT_TRUE(qg->isCurrent());
      ++gyro;
    });
    m->startDeviceMotionUpdatesUsingReferenceFrame(
        kAttitudeReferenceFrameXMagneticNorthZVertical, qm, [&](const DeviceMotion* d, const Error*) {
          EXPECT_TRUE(qm->isCurrent());
          EXPECT_EQ(d->magneticField.accuracy, kMagneticFieldCalibrationAccuracyHigh);
          ++dm;
        });
    // Fed from two threads at once, as the world and a test script might.
    std::thread other([&] {
      for (int i = 0; i < 100; ++i) motion::feed(GyroData{i * 0.01, {0, 0, 1}});
    });
    for (int i = 0; i < 100; ++i) {
      motion::feed(AccelerometerData{i * 0.01, {0, 0, -1}});
      DeviceMotion d;
      d.timestamp = i * 0.01;
      d.magneticField.accuracy = kMagneticFieldCalibrationAccuracyHigh;
      motion::feed(d);
    }
    other.join();
    pt::settle();
    EXPECT_EQ(acc, s.expected);
    EXPECT_EQ(gyro, s.expected);
    EXPECT_EQ(dm, s.expected);
    EXPECT_EQ(m->accelerometerData()->timestamp, (100 - 100 / s.expected) * 0.01);
    m->stopAccelerometerUpdates();
    m->stopGyroUpdates();
    m->stopDeviceMotionUpdates();
  }
  // An unavailable sensor never starts; errors reach a running handler.
  motion::setAvailable(motion::kGyroscope, false);
  m->startGyroUpdatesToQueue(dispatch::serialQueue("g"), [](const GyroData*, const Error*) {});
  EXPECT_FALSE(m->isGyroActive());
  std::atomic<int> errors{0};
  m->startAccelerometerUpdatesToQueue(dispatch::serialQueue("a"),
                                      [&](const AccelerometerData* d, const Error* e) {
                                        errors += !d && e;
                                      });
  motion::fail(motion::kAccelerometer, Error::make("test", 1));
  pt::settle();
  EXPECT_EQ(errors, 1);
}

}  // namespace
