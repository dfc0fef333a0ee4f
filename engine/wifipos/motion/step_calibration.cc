#include "wifipos/motion/step_calibration.h"

#include <algorithm>
#include <cmath>

namespace steplength {
namespace {

// The median of a ring's first `count` values (its upper middle one for an
// even count).
template <size_t N>
double Median(std::array<double, N> values, int count) {
  const auto mid = values.begin() + count / 2;
  std::nth_element(values.begin(), mid, values.begin() + count);
  return *mid;
}

}  // namespace

Calibration::Calibration(double gain)
    : gain_(std::clamp(std::isfinite(gain) ? gain : 1.0, kMinGain, kMaxGain)),
      learnt_(gain_),
      modelSum_(kPriorDistance),
      radioSum_(gain_ * kPriorDistance) {}

void Calibration::addDrag(double dx, double dy) {
  if (!haveStep_ || !std::isfinite(dx) || !std::isfinite(dy)) return;
  drag_ += dx * std::sin(lastHeading_) + dy * std::cos(lastHeading_);
  across_ += dx * std::cos(lastHeading_) - dy * std::sin(lastHeading_);
  dragSinceStep_ = true;
}

void Calibration::restart() {
  haveStep_ = dragSinceStep_ = false;
  drag_ = across_ = 0.0;
}

double Calibration::recentPull() const {
  if (pullCount_ < 3) return 0.0;
  const double along = Median(pullAlong_, pullCount_);
  double across = 0.0;
  for (int i = 0; i < pullCount_; ++i) across += pullAcross_[i] * pullAcross_[i];
  across = std::sqrt(across / pullCount_);
  return std::fabs(along) >= kPullSignificance * across ? along : 0.0;
}

void Calibration::addStep(double length, double gain, double heading, double time) {
  if (!std::isfinite(length) || !std::isfinite(gain) || !std::isfinite(heading) ||
      !std::isfinite(time) || length <= 0.0 || gain <= 0.0)
    return;
  const bool walking = haveStep_ && time >= lastTime_ && time - lastTime_ <= kMaxStepGap;
  const bool straight =
      walking && std::fabs(std::remainder(heading - lastHeading_, 2.0 * M_PI)) <= kMaxTurnPerStep;
  if (!straight) straightSince_ = time;
  // A flight of stairs is walked at a slower pace, and the radio drags the
  // cloud back from the level steps it was moved by: those drags would
  // shrink the level stride that follows.
  bool usualPace = true;
  if (walking) {
    const double period = time - lastTime_;
    if (periodCount_ >= 5) {
      const double usual = Median(periods_, periodCount_);
      usualPace = period <= usual * kMaxPaceFactor && period * kMaxPaceFactor >= usual;
    }
    periods_[periodNext_] = period;
    periodNext_ = (periodNext_ + 1) % kPaceSteps;
    periodCount_ = std::min(periodCount_ + 1, kPaceSteps);
  }
  // The drags since the previous step belong to it: it was the cloud's last
  // move along that heading.
  if (straight && usualPace && dragSinceStep_ && time - straightSince_ >= kSettleSeconds) {
    const double model = previousLength_ / previousGain_;
    const double limit = kMaxDragShare * previousLength_;
    const double drag = std::clamp(drag_, -limit, limit);
    const double fade = std::exp(-model / kFadeDistance);
    modelSum_ = modelSum_ * fade + model;
    radioSum_ = radioSum_ * fade + previousLength_ + drag;
    counted_ += previousLength_;
    learnt_ = std::clamp(radioSum_ / modelSum_, kMinGain, kMaxGain);
    pullAlong_[pullNext_] = drag / previousLength_;
    pullAcross_[pullNext_] = across_ / previousLength_;
    pullNext_ = (pullNext_ + 1) % kPullSteps;
    pullCount_ = std::min(pullCount_ + 1, kPullSteps);
    const double pull = std::exp(-counted_ / kPullFade) * recentPull();
    gain_ = std::clamp(learnt_ * (1.0 + pull), kMinGain, kMaxGain);
  }
  drag_ = across_ = 0.0;
  dragSinceStep_ = false;
  haveStep_ = true;
  lastHeading_ = heading;
  lastTime_ = time;
  previousLength_ = length;
  previousGain_ = gain;
}

}  // namespace steplength
