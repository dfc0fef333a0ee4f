#include "wifipos/motion/step_calibration.h"

#include <algorithm>
#include <cmath>

namespace steplength {

Calibration::Calibration(double gain)
    : typical_(gain), gain_(gain), ratioSum_(kPriorStretches) {}

void Calibration::addStep(double length, double heading) {
  if (!std::isfinite(length) || !std::isfinite(heading) || length <= 0.0) return;
  stepSinceFix_ = true;
  if (haveHeading_ && std::fabs(std::remainder(heading - lastHeading_, 2.0 * M_PI)) > kMaxTurnPerStep)
    turnSinceFix_ = true;
  lastHeading_ = heading;
  haveHeading_ = true;
  if (!anchored_) return;
  dx_ += length * std::sin(heading);
  dy_ += length * std::cos(heading);
  path_ += length;
}

void Calibration::anchor(double x, double y, double t) {
  anchored_ = true;
  ax_ = x;
  ay_ = y;
  at_ = t;
  dx_ = dy_ = path_ = 0.0;
}

void Calibration::restart() {
  anchored_ = false;
  dx_ = dy_ = path_ = 0.0;
  stepSinceFix_ = turnSinceFix_ = haveHeading_ = false;
  walkingSince_ = lastStepFix_ = -1.0;
}

bool Calibration::addFix(double x, double y, double t) {
  if (!std::isfinite(x) || !std::isfinite(y) || !std::isfinite(t)) return false;
  // Fixes may come faster than steps: walking is a step in the last moments.
  if (stepSinceFix_) lastStepFix_ = t;
  stepSinceFix_ = false;
  const bool turned = turnSinceFix_;
  turnSinceFix_ = false;
  const bool walking = lastStepFix_ >= 0.0 && t >= lastStepFix_ && t - lastStepFix_ <= kMaxStepGap;
  if (!walking || turned || (walkingSince_ >= 0.0 && t < walkingSince_)) {
    walkingSince_ = -1.0;
  } else if (walkingSince_ < 0.0) {
    walkingSince_ = t;
  }
  if (walkingSince_ < 0.0 || t - walkingSince_ < kSettleSeconds || !anchored_ || t < at_ ||
      t - at_ > kMaxStretchSeconds) {
    anchor(x, y, t);
    return false;
  }
  if (path_ < kMinBaseline) return false;
  const double dr2 = dx_ * dx_ + dy_ * dy_;
  const bool straight = std::sqrt(dr2) >= kMinStraightness * path_;
  const double ratio = ((x - ax_) * dx_ + (y - ay_) * dy_) / dr2;
  anchor(x, y, t);
  if (!straight || !std::isfinite(ratio)) return false;
  // Each stretch's steps were made with the gain of its time; what it says
  // is about that gain.
  const double said = gain_ * std::clamp(ratio, 1.0 - kMaxDeviation, 1.0 + kMaxDeviation) / typical_;
  ratioSum_ += said;
  ++stretches_;
  gain_ = std::clamp(typical_ * ratioSum_ / (kPriorStretches + stretches_),
                     typical_ * (1.0 - kMaxDeviation), typical_ * (1.0 + kMaxDeviation));
  return true;
}

}  // namespace steplength
