// The phone's own magnetisation (hard iron) adds a constant vector to every
// magnetometer reading in the device frame, and turns every heading the field
// gives by a few degrees. Once the walker has turned, the device has seen the
// earth's field from several directions while the gyroscope tracked how it
// turned: a constant field in the world frame plus a constant offset in the
// device frame fits the readings, and the offset is the bias. A bias along
// the axis the device turned about cannot be told from the field's vertical
// part; it is held near zero, and it does not turn the heading anyway.
#pragma once

#include "wifipos/motion/attitude.h"
#include "wifipos/motion/quaternion.h"

namespace attitude {

class HardIronEstimate {
 public:
  // Older readings fade with this time constant, so the fit follows a
  // slowly drifting attitude.
  static constexpr double kMemory = 120.0;  // s
  // The readings' headings must spread at least this much: the length of
  // their mean unit vector stays below this.
  static constexpr double kMaxHeadingConcentration = 0.9;
  // A larger offset is no phone's magnetisation but a disturbed field.
  static constexpr double kMaxBias = 20.0;  // microtesla
  // A reading this strong is a glitch or a magnet, not the earth's field.
  static constexpr double kMaxReading = 200.0;  // microtesla

  // A reading m (device frame, microtesla) at attitude q (device to world)
  // at time t (s, not decreasing).
  void add(const Quaternion& q, const Vec3& m, double t);
  // The world frame was turned by `angle` (rad, counter-clockwise seen from
  // above) under the readings: a heading correction of the attitude. The
  // readings so far are carried into the new frame, else they would no
  // longer agree with the new ones.
  void turnWorld(double angle);
  // True once readings from headings far enough apart gave a plausible fit.
  bool ready() const { return ready_; }
  const Vec3& bias() const { return bias_; }
  void clear() { *this = HardIronEstimate(); }

 private:
  void solve();

  // Normal equations of m = R(q)^T f + b in (f, b), decayed with time.
  double ata_[6][6] = {};
  double atm_[6] = {};
  double weight_ = 0.0;
  double sumCos_ = 0.0, sumSin_ = 0.0;
  double lastTime_ = 0.0;
  int sinceSolve_ = 0;
  bool ready_ = false;
  Vec3 bias_;
};

}  // namespace attitude
