#include "platform/motion_manager.h"

#include <vector>

#include "platform/mutex.h"

namespace platform {
namespace {

// The device's motion sensors: which exist, and the managers they feed.
struct Sensors {
  Mutex mutex;
  bool available[3] GUARDED_BY(mutex) = {true, true, true};
  std::vector<std::weak_ptr<MotionManager>> managers GUARDED_BY(mutex);

  static Sensors& instance() {
    static Sensors* s = new Sensors;  // outlives every manager
    return *s;
  }
  std::vector<std::shared_ptr<MotionManager>> live() {
    MutexLock lock(mutex);
    std::vector<std::shared_ptr<MotionManager>> out;
    std::erase_if(managers, [](const auto& w) { return w.expired(); });
    for (const auto& w : managers)
      if (auto m = w.lock()) out.push_back(std::move(m));
    return out;
  }
};

// A sample is handed on when its interval has passed; a small tolerance keeps
// a 100 Hz feed at 100 Hz for a 0.01 s interval despite rounding.
constexpr double kIntervalTolerance = 1e-4;

}  // namespace

std::shared_ptr<MotionManager> MotionManager::create() {
  auto m = std::make_shared<MotionManager>();
  Sensors& s = Sensors::instance();
  MutexLock lock(s.mutex);
  s.managers.push_back(m);
  return m;
}

bool MotionManager::isAccelerometerAvailable() const { return motion::isAvailable(motion::kAccelerometer); }
bool MotionManager::isGyroAvailable() const { return motion::isAvailable(motion::kGyroscope); }
bool MotionManager::isDeviceMotionAvailable() const { return motion::isAvailable(motion::kDeviceMotion); }

#define MV_INTERVAL(Name, source)                   \
  double MotionManager::Name##UpdateInterval() const { \
    MutexLock lock(mutex_);                   \
    return source.interval;                         \
  }
MV_INTERVAL(accelerometer, accelerometer_)
MV_INTERVAL(gyro, gyro_)
MV_INTERVAL(deviceMotion, deviceMotion_)
#undef MV_INTERVAL

void MotionManager::setAccelerometerUpdateInterval(double seconds) {
  MutexLock lock(mutex_);
  accelerometer_.interval = seconds;
}
void MotionManager::setGyroUpdateInterval(double seconds) {
  MutexLock lock(mutex_);
  gyro_.interval = seconds;
}
void MotionManager::setDeviceMotionUpdateInterval(double seconds) {
  MutexLock lock(mutex_);
  deviceMotion_.interval = seconds;
}

void MotionManager::startAccelerometerUpdatesToQueue(QueuePtr queue, AccelerometerHandler handler) {
  if (!queue || !isAccelerometerAvailable()) return;
  MutexLock lock(mutex_);
  accelerometer_.queue = std::move(queue);
  accelerometer_.handler = std::move(handler);
  accelerometer_.active = true;
  accelerometer_.lastTimestamp = -1e300;
}
void MotionManager::stopAccelerometerUpdates() {
  MutexLock lock(mutex_);
  accelerometer_.active = false;
  accelerometer_.handler = nullptr;
}
bool MotionManager::isAccelerometerActive() const {
  MutexLock lock(mutex_);
  return accelerometer_.active;
}

void MotionManager::startGyroUpdatesToQueue(QueuePtr queue, GyroHandler handler) {
  if (!queue || !isGyroAvailable()) return;
  MutexLock lock(mutex_);
  gyro_.queue = std::move(queue);
  gyro_.handler = std::move(handler);
  gyro_.active = true;
  gyro_.lastTimestamp = -1e300;
}
void MotionManager::stopGyroUpdates() {
  MutexLock lock(mutex_);
  gyro_.active = false;
  gyro_.handler = nullptr;
}
bool MotionManager::isGyroActive() const {
  MutexLock lock(mutex_);
  return gyro_.active;
}

void MotionManager::startDeviceMotionUpdatesUsingReferenceFrame(uint32_t frame, QueuePtr queue,
                                                                DeviceMotionHandler handler) {
  if (!queue || !isDeviceMotionAvailable()) return;
  MutexLock lock(mutex_);
  frame_ = frame;
  deviceMotion_.queue = std::move(queue);
  deviceMotion_.handler = std::move(handler);
  deviceMotion_.active = true;
  deviceMotion_.lastTimestamp = -1e300;
}
void MotionManager::stopDeviceMotionUpdates() {
  MutexLock lock(mutex_);
  deviceMotion_.active = false;
  deviceMotion_.handler = nullptr;
}
bool MotionManager::isDeviceMotionActive() const {
  MutexLock lock(mutex_);
  return deviceMotion_.active;
}
uint32_t MotionManager::attitudeReferenceFrame() const {
  MutexLock lock(mutex_);
  return frame_;
}

std::optional<AccelerometerData> MotionManager::accelerometerData() const {
  MutexLock lock(mutex_);
  return accelerometer_.latest;
}
std::optional<GyroData> MotionManager::gyroData() const {
  MutexLock lock(mutex_);
  return gyro_.latest;
}
std::optional<DeviceMotion> MotionManager::deviceMotion() const {
  MutexLock lock(mutex_);
  return deviceMotion_.latest;
}

template <class Sample, class Handler>
void MotionManager::feedSource(Source<Sample, Handler>& source, const Sample& sample) {
  QueuePtr queue;
  Handler handler;
  {
    MutexLock lock(mutex_);
    if (!source.active) return;
    if (sample.timestamp - source.lastTimestamp < source.interval - kIntervalTolerance) return;
    source.lastTimestamp = sample.timestamp;
    source.latest = sample;
    queue = source.queue;
    handler = source.handler;
  }
  if (handler) queue->async([handler, sample] { handler(&sample, nullptr); });
}

// These three only name the source; feedSource reads and writes it under the lock.
void MotionManager::feed(const AccelerometerData& sample) NO_THREAD_SAFETY_ANALYSIS {
  feedSource(accelerometer_, sample);
}
void MotionManager::feed(const GyroData& sample) NO_THREAD_SAFETY_ANALYSIS { feedSource(gyro_, sample); }
void MotionManager::feed(const DeviceMotion& sample) NO_THREAD_SAFETY_ANALYSIS {
  feedSource(deviceMotion_, sample);
}

void MotionManager::fail(int which, const Error& error) {
  MutexLock lock(mutex_);
  auto post = [&](auto& source) {
    if (!source.active || !source.handler) return;
    source.queue->async([h = source.handler, error] { h(nullptr, &error); });
  };
  if (which == motion::kAccelerometer) post(accelerometer_);
  if (which == motion::kGyroscope) post(gyro_);
  if (which == motion::kDeviceMotion) post(deviceMotion_);
}

namespace motion {

void setAvailable(Sensor sensor, bool available) {
  Sensors& s = Sensors::instance();
  MutexLock lock(s.mutex);
  s.available[sensor] = available;
}

bool isAvailable(Sensor sensor) {
  Sensors& s = Sensors::instance();
  MutexLock lock(s.mutex);
  return s.available[sensor];
}

void feed(const AccelerometerData& sample) {
  for (const auto& m : Sensors::instance().live()) m->feed(sample);
}
void feed(const GyroData& sample) {
  for (const auto& m : Sensors::instance().live()) m->feed(sample);
}
void feed(const DeviceMotion& sample) {
  for (const auto& m : Sensors::instance().live()) m->feed(sample);
}
void fail(Sensor sensor, const Error& error) {
  for (const auto& m : Sensors::instance().live()) m->fail(sensor, error);
}

void reset() {
  Sensors& s = Sensors::instance();
  MutexLock lock(s.mutex);
  for (bool& a : s.available) a = true;
}

}  // namespace motion
}  // namespace platform
