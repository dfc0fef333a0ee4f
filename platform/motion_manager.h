// The phone's motion manager: which motion sensors the device has, their
// update intervals, and accelerometer, gyroscope and device-motion updates
// delivered to handlers on the queues the caller gives, plus the latest
// sample of each. The sensors are process-wide and are fed by tests or by the
// simulated world through the functions of `platform::motion`; a manager
// hands a fed sample on when at least its update interval has passed since
// the last one it handed on. Every member function is safe from any thread;
// the three handlers run on their own queues, possibly at the same time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "platform/dispatch.h"
#include "platform/error.h"
#include "platform/mutex.h"

namespace platform {

struct Acceleration {  // in g
  double x = 0, y = 0, z = 0;
};
struct RotationRate {  // radians per second
  double x = 0, y = 0, z = 0;
};
struct MagneticField {  // microtesla
  double x = 0, y = 0, z = 0;
};

// Calibration accuracy of a magnetic field.
enum : int32_t {
  kMagneticFieldCalibrationAccuracyUncalibrated = -1,
  kMagneticFieldCalibrationAccuracyLow = 0,
  kMagneticFieldCalibrationAccuracyMedium = 1,
  kMagneticFieldCalibrationAccuracyHigh = 2,
};

struct CalibratedMagneticField {
  MagneticField field;
  int32_t accuracy = kMagneticFieldCalibrationAccuracyUncalibrated;
};

struct Attitude {  // radians
  double roll = 0, pitch = 0, yaw = 0;
};

// Reference frames of device motion.
enum : uint32_t {
  kAttitudeReferenceFrameXArbitraryZVertical = 1,
  kAttitudeReferenceFrameXArbitraryCorrectedZVertical = 2,
  kAttitudeReferenceFrameXMagneticNorthZVertical = 4,
  kAttitudeReferenceFrameXTrueNorthZVertical = 8,
};

struct AccelerometerData {
  double timestamp = 0;  // seconds
  Acceleration acceleration;
};
struct GyroData {
  double timestamp = 0;
  RotationRate rotationRate;
};
struct DeviceMotion {
  double timestamp = 0;
  Attitude attitude;
  RotationRate rotationRate;
  Acceleration gravity;
  Acceleration userAcceleration;
  CalibratedMagneticField magneticField;
};

class MotionManager : public std::enable_shared_from_this<MotionManager> {
 public:
  // A handler gets a sample or an error; the other is null.
  using AccelerometerHandler = std::function<void(const AccelerometerData*, const Error*)>;
  using GyroHandler = std::function<void(const GyroData*, const Error*)>;
  using DeviceMotionHandler = std::function<void(const DeviceMotion*, const Error*)>;

  static std::shared_ptr<MotionManager> create();

  bool isAccelerometerAvailable() const;
  bool isGyroAvailable() const;
  bool isDeviceMotionAvailable() const;

  double accelerometerUpdateInterval() const;
  void setAccelerometerUpdateInterval(double seconds);
  double gyroUpdateInterval() const;
  void setGyroUpdateInterval(double seconds);
  double deviceMotionUpdateInterval() const;
  void setDeviceMotionUpdateInterval(double seconds);

  // A null queue or an unavailable sensor starts nothing.
  void startAccelerometerUpdatesToQueue(QueuePtr queue, AccelerometerHandler handler);
  void stopAccelerometerUpdates();
  bool isAccelerometerActive() const;
  void startGyroUpdatesToQueue(QueuePtr queue, GyroHandler handler);
  void stopGyroUpdates();
  bool isGyroActive() const;
  void startDeviceMotionUpdatesUsingReferenceFrame(uint32_t frame, QueuePtr queue,
                                                   DeviceMotionHandler handler);
  void stopDeviceMotionUpdates();
  bool isDeviceMotionActive() const;
  uint32_t attitudeReferenceFrame() const;

  // The latest sample handed on while the updates ran; none before the first.
  std::optional<AccelerometerData> accelerometerData() const;
  std::optional<GyroData> gyroData() const;
  std::optional<DeviceMotion> deviceMotion() const;

  // Internal to the sensors.
  void feed(const AccelerometerData& sample);
  void feed(const GyroData& sample);
  void feed(const DeviceMotion& sample);
  void fail(int which, const Error& error);

  MotionManager() = default;

 private:
  template <class Sample, class Handler>
  struct Source {
    double interval = 0.01;
    QueuePtr queue;
    Handler handler;
    bool active = false;
    double lastTimestamp = -1e300;
    std::optional<Sample> latest;
  };
  template <class Sample, class Handler>
  void feedSource(Source<Sample, Handler>& source, const Sample& sample);

  mutable Mutex mutex_;
  Source<AccelerometerData, AccelerometerHandler> accelerometer_ GUARDED_BY(mutex_);
  Source<GyroData, GyroHandler> gyro_ GUARDED_BY(mutex_);
  Source<DeviceMotion, DeviceMotionHandler> deviceMotion_ GUARDED_BY(mutex_);
  uint32_t frame_ GUARDED_BY(mutex_) = kAttitudeReferenceFrameXArbitraryZVertical;
};

namespace motion {
enum Sensor : int { kAccelerometer = 0, kGyroscope = 1, kDeviceMotion = 2 };
void setAvailable(Sensor sensor, bool available);
bool isAvailable(Sensor sensor);
// One sample from the hardware; every manager running that update gets it.
void feed(const AccelerometerData& sample);
void feed(const GyroData& sample);
void feed(const DeviceMotion& sample);
// One failure report for the running updates of `sensor`.
void fail(Sensor sensor, const Error& error);
// Every sensor available again (tests).
void reset();
}  // namespace motion

}  // namespace platform
