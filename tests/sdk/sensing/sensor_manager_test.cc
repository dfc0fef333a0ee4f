// MCSensorManager over the motion and location stand-ins, under the manual
// clock: sample codes and values, the offset rule, the caps on the queue and
// the text lists, and the threads samples and fixes arrive on.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "Sensors/mc_sensor_manager.h"
#include "platform/run_loop.h"
#include "platform/testing.h"

namespace {

using namespace platform;
namespace pt = platform::testing;

class SensorManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RunLoop::setMainThread();
    pt::useManualClock();
    location::reset();
    motion::reset();
    location::setAuthorizationStatus(kAuthorizationStatusAuthorizedAlways);
    m = MCSensorManager::init();
  }
  void TearDown() override {
    m->stopSensorsUpdate();
    pt::settle();
    location::reset();
    motion::reset();
    pt::useRealClock();
  }
  // One sample of each motion sensor at time `t`.
  static void FeedAll(double t, double ax, double az) {
    motion::feed(AccelerometerData{t, {ax, 0.25, az}});
    motion::feed(GyroData{t, {0.1, 0.2, 0.3}});
    DeviceMotion d;
    d.timestamp = t;
    d.magneticField = {{20, -5, -40}, kMagneticFieldCalibrationAccuracyMedium};
    motion::feed(d);
  }
  std::shared_ptr<MCSensorManager> m;
};

TEST_F(SensorManagerTest, SamplesBecomeCodedEntriesWithOffsetsAndTexts) {
  m->configureSensors();
  m->startSensorsUpdate();
  WScanMessage msg;
  msg.sensorEntries.resize(3);  // left over: replaced, not appended to
  FeedAll(0, 0.5, -1.0);
  pt::advance(0.0125);  // 12.5 ms before the tick
  const WallTime tick = Clock::now();
  pt::advance(0.0015);  // 1.5 ms after the tick
  FeedAll(0.014, 0, 0);
  pt::settle();
  m->fillWscanMessage(msg, tick);
  ASSERT_EQ(msg.sensorEntries.size(), 6u);
  std::map<int, std::vector<SensorEntry>> byCode;
  for (const auto& e : msg.sensorEntries) byCode[e.type].push_back(e);
  const auto& acc = byCode[101].at(0);
  EXPECT_DOUBLE_EQ(acc.values[0], -4.9);
  EXPECT_DOUBLE_EQ(acc.values[2], 9.8);
  EXPECT_EQ(acc.offset, 12);
  EXPECT_EQ(byCode[101].at(1).offset, -1);  // truncated toward zero
  EXPECT_EQ(byCode[102].at(0).values[3], 1.0);
  EXPECT_EQ(byCode[103].at(0).values[2], 0.3);
  EXPECT_EQ(m->queuedCount(), 0u);
  m->fillWscanMessage(msg, tick);
  EXPECT_TRUE(msg.sensorEntries.empty());

  // The accelerometer text is of the products, the magnetometer of the field.
  EXPECT_EQ(m->arrayWithAccelerometerData(),
            (std::vector<std::string>{"-4.90, -2.45, 9.80", "-0.00, -2.45, -0.00"}));
  EXPECT_EQ(m->arrayWithMagnetometerData().front(), "20.00, -5.00, -40.00");
  EXPECT_EQ(m->arrayWithGyroscopeData().size(), 2u);
  EXPECT_TRUE(m->arrayWithAccelerometerData().empty());
}

TEST_F(SensorManagerTest, UndrainedQueueAndTextsKeepOnlyTheNewestSeconds) {
  m->configureSensors();
  m->startSensorsUpdate();
  const int rate = 100, seconds = 12;
  for (int i = 0; i < rate * seconds; ++i) {
    FeedAll(i * 0.01, 0, -1);
    pt::advance(0.01);
  }
  const size_t keep = size_t(kMCSensorKeepSeconds * rate);
  EXPECT_LE(m->queuedCount(), 3 * (keep + 1));
  EXPECT_GE(m->queuedCount(), 3 * (keep - 1));
  const auto texts = m->arrayWithGyroscopeData();
  EXPECT_EQ(texts.size(), keep);
  WScanMessage msg;
  m->fillWscanMessage(msg, Clock::now());
  for (const auto& e : msg.sensorEntries) EXPECT_LE(e.offset, 1000 * kMCSensorKeepSeconds + 10);
}

TEST_F(SensorManagerTest, MissingSensorsFrequencyChangeAndGpsFlag) {
  motion::setAvailable(motion::kGyroscope, false);
  m->configureSensors();
  EXPECT_FALSE(m->gyroscopeQueue());
  m->startSensorsUpdate();
  FeedAll(0, 0, -1);
  pt::settle();
  EXPECT_TRUE(m->arrayWithGyroscopeData().empty());
  EXPECT_EQ(m->arrayWithAccelerometerData().size(), 1u);

  // A new period stops the updates and keeps them stopped until started.
  m->changeSensorsFrequencyTo(0.02);
  FeedAll(0.5, 0, -1);
  pt::settle();
  EXPECT_TRUE(m->arrayWithAccelerometerData().empty());
  m->startSensorsUpdate();
  for (int i = 0; i < 100; ++i) FeedAll(1 + i * 0.01, 0, -1);
  pt::settle();
  EXPECT_EQ(m->arrayWithAccelerometerData().size(), 50u);

  // Location fixes: on the maker's loop, to the delegate; with the flag off
  // only significant changes still arrive.
  auto d = std::make_shared<MCSensorManagerDelegate>();
  std::vector<double> lats;
  d->getLatitude = [&](double lat, double) {
    EXPECT_TRUE(RunLoop::isMainThread());
    lats.push_back(lat);
  };
  m->setDelegate(d);
  m->clearSensorEntries();
  m->stopSensorsUpdate();
  m->gpsScanEnabled(false);
  m->startSensorsUpdate();
  location::updateLocation(Location{1, 2, 3, 4, 0, 0}, false);
  location::updateLocation(Location{5, 6, 7, 8, 0, 0}, true);
  pt::settle();
  EXPECT_EQ(lats, std::vector<double>{5});
  WScanMessage msg;
  m->fillWscanMessage(msg, Clock::now());
  ASSERT_EQ(msg.sensorEntries.size(), 1u);
  EXPECT_EQ(msg.sensorEntries[0].type, 105);
  EXPECT_EQ(msg.sensorEntries[0].values[3], 8);
}

// The three handlers and the tick's fill run at the same time (TSan).
TEST_F(SensorManagerTest, HandlersAndFillsRunConcurrently) {
  m->configureSensors();
  m->startSensorsUpdate();
  std::atomic<bool> done{false};
  std::atomic<size_t> filled{0};
  std::thread tick([&] {
    while (!done) {
      WScanMessage msg;
      m->fillWscanMessage(msg, Clock::now());
      filled += msg.sensorEntries.size();
      m->arrayWithMagnetometerData();
    }
  });
  for (int i = 0; i < 300; ++i) FeedAll(i * 0.01, 0, -1);
  pt::settle();
  done = true;
  tick.join();
  WScanMessage msg;
  m->fillWscanMessage(msg, Clock::now());
  EXPECT_EQ(filled + msg.sensorEntries.size(), 900u);
}

}  // namespace
