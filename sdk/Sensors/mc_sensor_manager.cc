#include "Sensors/mc_sensor_manager.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "Foundation/mc_log.h"
#include "platform/main_thread.h"

namespace {

std::string triple(double a, double b, double c) {
  char text[128];
  std::snprintf(text, sizeof text, "%3.2f, %3.2f, %3.2f", a, b, c);
  return text;
}

// Seconds from `older` to `newer`.
double secondsBetween(const platform::WallTime& newer, const platform::WallTime& older) {
  return double(newer.seconds - older.seconds) + double(newer.microseconds - older.microseconds) / 1e6;
}

// The maker's reverse-DNS prefix of queue labels.
constexpr const char* kMCMakerPrefix = "com.marvisto";

// However fast the samples come, no list holds more than this.
constexpr size_t kHardCap = 100000;

}  // namespace

std::shared_ptr<MCSensorManager> MCSensorManager::sharedInstance() {
  static const std::shared_ptr<MCSensorManager> shared = init();
  return shared;
}

MCSensorManager::MCSensorManager() : motionManager_(platform::MotionManager::create()) {}

std::shared_ptr<MCSensorManager> MCSensorManager::init() {
  auto m = std::make_shared<MCSensorManager>();
  std::weak_ptr<MCSensorManager> weak = m;
  platform::LocationManagerDelegate d;
  d.didUpdateLocations = [weak](platform::LocationManager& lm,
                                const std::vector<platform::Location>& fixes) {
    if (auto self = weak.lock()) self->locationManager(lm, fixes);
  };
  m->locationManager_ = platform::LocationManager::create(std::move(d));
  return m;
}

void MCSensorManager::configureSensors() {
  MC_LOG(1, "Starting configure sensors.\n");
  if (!platform::LocationManager::headingAvailable())
    MC_LOG(1, "ERROR! This device does not support heading.\n");
  if (!platform::LocationManager::locationServicesEnabled())
    MC_LOG(1, "ERROR! Location services disable on device.\n");
  else
    locationManager_->startMonitoringSignificantLocationChanges();
  const double p = period();
  const std::string prefix = kMCMakerPrefix;
  motionManager_->setDeviceMotionUpdateInterval(p);
  platform::MutexLock lock(propMutex_);
  if (motionManager_->isGyroAvailable()) {
    motionManager_->setGyroUpdateInterval(p);
    gyroscopeQueue_ = platform::dispatch::serialQueue(prefix + ".gyroscope");
  } else {
    MC_LOG(1, "ERROR! Gyroscope not avaliable on device.\n");
  }
  if (motionManager_->isAccelerometerAvailable()) {
    motionManager_->setAccelerometerUpdateInterval(p);
    accelerometerQueue_ = platform::dispatch::serialQueue(prefix + ".accelerometer");
  } else {
    MC_LOG(1, "ERROR! Accelerometer not avaliable on device.\n");
  }
  if (motionManager_->isDeviceMotionAvailable()) {
    motionManager_->setDeviceMotionUpdateInterval(p);
    magnetometerQueue_ = platform::dispatch::serialQueue(prefix + ".magnetometer");
  } else {
    MC_LOG(1, "ERROR! Device motion not avaliable on device.\n");
  }
}

void MCSensorManager::startSensorsUpdate() {
  if (gpsScanEnabled()) {
    MC_LOG(2, "Start GPS location update.\n");
    locationManager_->startUpdatingLocation();
  }
  std::weak_ptr<MCSensorManager> weak = weak_from_this();
  // A source whose queue was never made (unavailable, or not configured) stays off.
  MC_LOG(2, "Start magnetometer update.\n");
  if (auto q = magnetometerQueue())
    motionManager_->startDeviceMotionUpdatesUsingReferenceFrame(
        platform::kAttitudeReferenceFrameXMagneticNorthZVertical, q,
        [weak, q](const platform::DeviceMotion* m, const platform::Error* e) {
          PLATFORM_ON_QUEUE(*q);
          if (auto self = weak.lock()) self->handleDeviceMotion(m, e);
        });
  MC_LOG(2, "Start accelerometer update.\n");
  if (auto q = accelerometerQueue())
    motionManager_->startAccelerometerUpdatesToQueue(
        q, [weak, q](const platform::AccelerometerData*, const platform::Error* e) {
          PLATFORM_ON_QUEUE(*q);
          if (auto self = weak.lock()) self->handleAccelerometer(e);
        });
  MC_LOG(2, "Start gyroscope update.\n");
  if (auto q = gyroscopeQueue())
    motionManager_->startGyroUpdatesToQueue(
        q, [weak, q](const platform::GyroData* g, const platform::Error* e) {
          PLATFORM_ON_QUEUE(*q);
          if (auto self = weak.lock()) self->handleGyroscope(g, e);
        });
}

void MCSensorManager::stopSensorsUpdate() {
  MC_LOG(1, "Stop sensors update.\n");
  locationManager_->stopUpdatingLocation();
  motionManager_->stopDeviceMotionUpdates();
  motionManager_->stopAccelerometerUpdates();
  motionManager_->stopGyroUpdates();
}

void MCSensorManager::handleDeviceMotion(const platform::DeviceMotion* motion,
                                         const platform::Error* error) {
  if (error) {
    MC_LOG(1, "ERROR! Motion error: " + error->description() + "\n");
    return;
  }
  platform::MagneticField f;
  double accuracy = 0;
  if (motion) {
    f = motion->magneticField.field;
    accuracy = motion->magneticField.accuracy;
  }
  addSensorEntry(102, f.x, f.y, f.z, accuracy);
  appendText(magnetometerText_, f.x, f.y, f.z);
}

void MCSensorManager::handleAccelerometer(const platform::Error* error) {
  if (error) {
    MC_LOG(1, "ERROR! Accelerometer error: " + error->description() + "\n");
    return;
  }
  platform::Acceleration a;
  if (auto latest = motionManager_->accelerometerData()) a = latest->acceleration;
  const double x = a.x * -9.8, y = a.y * -9.8, z = a.z * -9.8;
  addSensorEntry(101, x, y, z, 0);
  appendText(accelerometerText_, x, y, z);
}

void MCSensorManager::handleGyroscope(const platform::GyroData* data, const platform::Error* error) {
  if (error) {
    MC_LOG(1, "ERROR! Gyroscope error: " + error->description() + "\n");
    return;
  }
  platform::RotationRate r;
  if (data) r = data->rotationRate;
  addSensorEntry(103, r.x, r.y, r.z, 0);
  appendText(gyroscopeText_, r.x, r.y, r.z);
}

void MCSensorManager::locationManager(platform::LocationManager&,
                                      const std::vector<platform::Location>& didUpdateLocations) {
  for (const auto& fix : didUpdateLocations) {
    addSensorEntry(105, fix.latitude, fix.longitude, fix.altitude, fix.horizontalAccuracy);
    if (auto d = delegate().lock(); d && d->getLatitude) d->getLatitude(fix.latitude, fix.longitude);
  }
}

size_t MCSensorManager::textCap() const {
  const double p = period();
  const double lines = p > 0 ? std::ceil(kMCSensorKeepSeconds / p) : double(kHardCap);
  return size_t(std::clamp(lines, 1.0, double(kHardCap)));
}

void MCSensorManager::appendText(TextQueue& queue, double a, double b, double c) {
  const size_t cap = textCap();
  platform::MutexLock lock(queue.mutex);
  queue.lines.push_back(triple(a, b, c));
  while (queue.lines.size() > cap) queue.lines.pop_front();
}

void MCSensorManager::addSensorEntry(int32_t code, double v0, double v1, double v2, double v3) {
  SensorEntry e;
  e.type = code;
  e.values[0] = v0;
  e.values[1] = v1;
  e.values[2] = v2;
  e.values[3] = v3;
  MCSensorEntry entry = MCSensorEntry::initWithSensorEntry(e);
  platform::MutexLock lock(mutex_);
  sensorEntries_.push_back(entry);
  // Undrained, the queue keeps only its newest seconds.
  while (!sensorEntries_.empty() &&
         (sensorEntries_.size() > kHardCap ||
          secondsBetween(entry.scanTime(), sensorEntries_.front().scanTime()) > kMCSensorKeepSeconds))
    sensorEntries_.pop_front();
}

void MCSensorManager::fillWscanMessage(WScanMessage& message, const platform::WallTime& withTime) {
  platform::MutexLock lock(mutex_);
  message.sensorEntries.clear();
  for (auto& entry : sensorEntries_) {
    entry.calculateOffsetWithTime(withTime);
    message.sensorEntries.push_back(entry.sensorEntry());
  }
  sensorEntries_.clear();
}

void MCSensorManager::clearSensorEntries() {
  platform::MutexLock lock(mutex_);
  sensorEntries_.clear();
}

void MCSensorManager::changeSensorsFrequencyTo(double seconds) {
  stopSensorsUpdate();
  setPeriod(seconds);
  configureSensors();
}

void MCSensorManager::gpsScanEnabled(bool enabled) {
  {
    platform::MutexLock lock(propMutex_);
    if (gpsScanEnabled_ == enabled) return;
    gpsScanEnabled_ = enabled;
  }
  if (enabled)
    locationManager_->startUpdatingLocation();
  else
    locationManager_->stopUpdatingLocation();
}

std::vector<std::string> MCSensorManager::drain(TextQueue& queue) {
  platform::MutexLock lock(queue.mutex);
  std::vector<std::string> out(queue.lines.begin(), queue.lines.end());
  queue.lines.clear();
  return out;
}

std::vector<std::string> MCSensorManager::arrayWithAccelerometerData() {
  return drain(accelerometerText_);
}
std::vector<std::string> MCSensorManager::arrayWithMagnetometerData() {
  return drain(magnetometerText_);
}
std::vector<std::string> MCSensorManager::arrayWithGyroscopeData() {
  return drain(gyroscopeText_);
}

bool MCSensorManager::shouldDisplayCalibration() const {
  platform::MutexLock lock(propMutex_);
  return shouldDisplayCalibration_;
}
void MCSensorManager::setShouldDisplayCalibration(bool value) {
  platform::MutexLock lock(propMutex_);
  shouldDisplayCalibration_ = value;
}
bool MCSensorManager::gpsScanEnabled() const {
  platform::MutexLock lock(propMutex_);
  return gpsScanEnabled_;
}
void MCSensorManager::setGpsScanEnabled(bool value) {
  platform::MutexLock lock(propMutex_);
  gpsScanEnabled_ = value;
}
double MCSensorManager::period() const {
  platform::MutexLock lock(propMutex_);
  return period_;
}
void MCSensorManager::setPeriod(double seconds) {
  platform::MutexLock lock(propMutex_);
  period_ = seconds;
}
std::weak_ptr<MCSensorManagerDelegate> MCSensorManager::delegate() const {
  platform::MutexLock lock(propMutex_);
  return delegate_;
}
void MCSensorManager::setDelegate(std::weak_ptr<MCSensorManagerDelegate> delegate) {
  platform::MutexLock lock(propMutex_);
  delegate_ = std::move(delegate);
}
size_t MCSensorManager::queuedCount() const {
  platform::MutexLock lock(mutex_);
  return sensorEntries_.size();
}
platform::QueuePtr MCSensorManager::gyroscopeQueue() const {
  platform::MutexLock lock(propMutex_);
  return gyroscopeQueue_;
}
platform::QueuePtr MCSensorManager::accelerometerQueue() const {
  platform::MutexLock lock(propMutex_);
  return accelerometerQueue_;
}
platform::QueuePtr MCSensorManager::magnetometerQueue() const {
  platform::MutexLock lock(propMutex_);
  return magnetometerQueue_;
}
