// Device orientation from accelerometer, gyroscope and magnetometer, and the
// heading it gives on the floor map. Gyroscope increments propagate the
// orientation; the orientation from gravity and magnetic field pulls it back
// with one time constant for tilt and one for heading. While the user moves
// the pull is switched off by the caller (pure gyroscope), and when walking
// starts after a stop the filter can be re-seeded from the stop's average.
// With the kit's behaviour the tilt keeps following gravity while the user
// moves, the heading pull uses the field averaged over the stop (a low-passed
// field lags a turn just made and would pull the heading back into it), the
// gyroscope's bias is learnt while the device lies still, the magnetometer's
// own offset once the walker has turned (after which the field, less the
// offset, also steers the heading while walking, slowly), and the heading is
// the phone's top edge. With the original behaviour the filter runs as first
// written: one Euler-angle blend with the low-passed streams, the heading the
// yaw angle.
#pragma once

#include <cstddef>
#include <deque>
#include <utility>
#include <vector>

#include "wifipos/motion/hard_iron.h"
#include "wifipos/motion/quaternion.h"
#include "wifipos/navigation_map/engine_behaviour.h"
#include "wifipos/sensor_value.h"

class SensorFusion {
 public:
  struct Properties {
    double accCoef = 1.0;       // s, time constant of the tilt correction
    double magnCoef = 1.0;      // s, time constant of the heading correction
    double lowPassTime = 0.297; // s, time constant of the input low pass
  };

  // Whatever the auto-clear setting, a stream never keeps more than this
  // span or count; the newest samples stay.
  static constexpr double kMaxBufferedSpan = 8.0;
  static constexpr size_t kMaxBufferedSamples = 2000;

  // The kit's filter or the original one (see the top of this file); kept
  // by clear().
  explicit SensorFusion(const EngineBehaviour& behaviour) : behaviour_(behaviour) {}

  // Sorts the samples by time, feeds each and updates the orientation.
  // -1 for an empty vector.
  int updateMeasurements(std::vector<SensorValue>& values);
  // 0, or -1 for a rejected sample (bad time, non-finite value, zero
  // accelerometer or magnetometer reading,
  // out of order, duplicate).
  int updateMeasurement(SensorValue& value);
  void updateOrientation();

  // reset comes back true when moving starts after a stop with reinit set and
  // the filter was re-seeded from the orientation averaged over the stop.
  void setMotionState(unsigned int state, bool reinit, bool& reset);
  // out[0] heading on the floor, out[1] roll, out[2] pitch, each in [-pi, pi).
  void getFusedOrientation(double* out) const;
  // Floor heading, as out[0] above, at time t (s, the samples' clock): a
  // step is detected a moment after it was taken, maybe already in the next
  // corner, and goes along the heading of its own time. Between kept
  // headings it is interpolated; before the oldest kept (the last few
  // seconds, or the last re-seeding) the oldest stands in, after the newest
  // the current. With the original behaviour always the current.
  double headingAt(double t) const;
  // True when the device is turning; computed is false without gyroscope data.
  bool checkRotation(bool& computed) const;

  // Floor azimuth and magnetic declination, radians.
  void setLocationParameters(double azimuth, double declination);
  void setAutoClearOldMeasurements(bool on) { autoClear_ = on; }
  const EngineBehaviour& behaviour() const { return behaviour_; }
  // Gyroscope bias learnt while still, rad/s per device axis.
  const SensorValue& getGyroBias() const { return gyroBias_; }
  // The magnetometer's own offset, learnt once the walker has turned
  // (hard_iron.h); the field less it steers the heading, also while walking.
  const attitude::HardIronEstimate& getHardIron() const { return hardIron_; }
  void clear();

  const Properties& getProperties() const { return properties_; }
  void setProperties(const Properties& p) { properties_ = p; }
  void setAccCoef(double c) { properties_.accCoef = c; }
  void setMagnCoef(double c) { properties_.magnCoef = c; }
  // The time of the last re-seeding, kept here for the caller's schedule.
  const SensorTime& getAlignmentTime() const { return alignmentTime_; }
  void setAlignmentTime(const SensorTime& t) { alignmentTime_ = t; }

  const Quaternion& getFusedQuaternion() const { return fusedQuaternion_; }
  bool isAllPresent() const { return allPresent_; }
  size_t getAccSize() const { return accelerations_.size(); }
  size_t getGyroSize() const { return gyroSamples_.size(); }
  size_t getGravitySize() const { return gravity_.size(); }

  // Orientation from gravity a and magnetic field m, both in the device
  // frame; rows of R (row by row) are east, north and up.
  static void calculateRotationMatrixFromGeomagnetic(double* R, const SensorValue& a,
                                                     const SensorValue& m);
  void calculateAccMagnQuaternion(const SensorValue& a, const SensorValue& m);
  static void calculateRotationQuaternionFromGyro(Quaternion& q, const SensorValue& g, double dt);
  void updateFusedQuaternion(double dt);

 private:
  int lowPassFilter(const std::deque<SensorValue>& in, std::deque<SensorValue>& out);
  void clearOldMeasurements(std::deque<SensorValue>& raw, std::deque<SensorValue>* filtered,
                            unsigned int& index);
  int checkTimeAndDuplicates(const std::deque<SensorValue>& stream, const SensorValue& s,
                             const char* name);
  void estimateSampleRate(const std::deque<SensorValue>& stream, double& period,
                          const char* name);
  void checkSensorsRate(const SensorValue& s);
  void updateOrientationAnew();
  void learnGyroBias(const SensorValue& g);

  Properties properties_;
  SensorTime alignmentTime_;
  std::deque<SensorValue> accelerations_;
  std::deque<SensorValue> gyroSamples_;
  std::deque<SensorValue> magnetometer_;
  std::deque<SensorValue> filteredMagnetometer_;
  std::deque<SensorValue> gravity_;
  Quaternion accMagnQuaternion_;
  Quaternion fusedQuaternion_;
  Quaternion gyroQuaternion_;
  SensorValue gyroAverage_;
  unsigned int gyroAverageCount_ = 0;
  bool hasAcc_ = false;
  bool hasGyro_ = false;
  bool hasMagn_ = false;
  bool allPresent_ = false;
  bool autoClear_ = false;
  // accIndex_: the last gravity sample handled (the next call starts there).
  // gyroIndex_: the next gyroscope sample whose interval is not yet
  // integrated; equals the stream size when all are.
  unsigned int accIndex_ = 0;
  unsigned int gyroIndex_ = 0;
  unsigned int magnIndex_ = 0;
  double accPeriod_ = 0.0;
  double magnPeriod_ = 0.0;
  double gyroPeriod_ = 0.0;
  unsigned int motionState_ = 0;
  SensorValue accAverage_;
  SensorValue magnAverage_;
  unsigned int accAverageCount_ = 0;
  unsigned int magnAverageCount_ = 0;
  double azimuth_ = 0.0;
  double declination_ = 0.0;
  EngineBehaviour behaviour_;
  // Time of the last gravity sample the kit's filter handled.
  double fusedTime_ = 0.0;
  attitude::HardIronEstimate hardIron_;
  double hardIronTime_ = 0.0;  // time of the last magnetometer sample it took
  // (time, bearing of the top edge) of the kit's filter's recent samples.
  std::deque<std::pair<double, double>> bearings_;
  // Bias learnt from whole still stretches of the gyroscope: `stillSum_` and
  // `stillCount_` gather the current stretch since `stillStart_`.
  SensorValue gyroBias_;
  double biasWeight_ = 0.0;
  SensorValue stillSum_;
  double stillSquares_ = 0.0;
  unsigned int stillCount_ = 0;
  double stillStart_ = 0.0;
};
