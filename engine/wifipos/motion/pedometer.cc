#include "wifipos/motion/pedometer.h"

#include <algorithm>
#include <cmath>

#include "server/utils.h"

namespace {

constexpr double kLongWindow = 2.5;     // s, mean removed from the magnitude
constexpr double kShortWindow = 0.2;    // s, smoothing mean of the magnitude
constexpr double kMaxSampleGap = 0.1;   // s, slower sampling is reported
constexpr double kAutoDeleteAge = 7.0;  // s of samples kept with auto-delete
constexpr double kStepLengthFactor = 0.6;
// The kit's factor on the fourth root of a step's own rise and dip, before
// the walker's gain: the one that suits walkers of many builds at once (soft
// and strong steps, slow and fast cadences), fitted with the radio off.
constexpr double kKitStepLengthFactor = 0.56;
constexpr double kRestartWindow = 0.3;  // s, a rise this close keeps the step start
constexpr double kMaxRiseTime = 0.5;    // s, a longer positive lobe is no step
constexpr double kMinDipTime = 0.1;     // s, a shorter negative lobe is no step
constexpr double kThresholdPeriod = 0.7;
constexpr double kWarmUp = 1.5;         // s after the oldest sample: adapt every sample
constexpr double kStepTimeout = 2.0;
constexpr double kMinMaxWindow = 0.7;
// Over a step the body's vertical speed comes back to where it was, so the
// band-passed magnitude falls about as far as it rose; a rise followed by a
// shallow dip is the body settling after the last step (the walker stopped,
// perhaps to turn on the spot), not a step. Steps dip by 0.65 or more of
// their rise, settling by 0.25 or less.
constexpr double kMinDipShare = 0.35;
// s before a bout's first step found within which the dip of a step missed
// just before it shows (see stepLength).
constexpr double kMissedDipWindow = 0.6;
// s between one step's end and the next one's start beyond which the walker
// paused: in a walking rhythm the next rise follows the end at once.
constexpr double kBoutGap = 0.35;

double Seconds(const SensorValue& v) { return v.getTimeInSeconds(); }

}  // namespace

int Pedometer::updateAccMeasurements(std::vector<SensorValue>& values) {
  if (values.empty()) {
    MV_LOG(11, "acceleration vector size = 0\n");
    return -1;
  }
  for (SensorValue& v : values)
    if (v.type == 101) updateAccMeasurement(v);
  return 0;
}

void Pedometer::dropOldest() {
  const uint64_t n = dropped_;
  if (n < summed_) {
    const double m = accelerations_.front().magnitude;
    if (longFrom_ <= n) {
      longSum_ -= m;
      longFrom_ = n + 1;
    }
    if (shortFrom_ <= n) {
      shortSum_ -= m;
      shortFrom_ = n + 1;
    }
  } else {
    summed_ = longFrom_ = shortFrom_ = n + 1;
  }
  if (!maxQueue_.empty() && maxQueue_.front() == n) maxQueue_.pop_front();
  if (!minQueue_.empty() && minQueue_.front() == n) minQueue_.pop_front();
  extremesFrom_ = std::max(extremesFrom_, n + 1);
  extremesTo_ = std::max(extremesTo_, n + 1);
  accelerations_.pop_front();
  ++dropped_;
  cursor_ = std::max(cursor_ - 1, 0);
}

void Pedometer::recomputeSums() {
  // Same order as a fresh walk from the newest sample back.
  longSum_ = shortSum_ = 0.0;
  for (uint64_t n = summed_; n-- > longFrom_;) {
    const double m = accelerations_[n - dropped_].magnitude;
    longSum_ += m;
    if (n >= shortFrom_) shortSum_ += m;
  }
  sumUpdates_ = 0;
}

int Pedometer::updateAccMeasurement(SensorValue& value) {
  if (value.time.sec == 0 && value.time.ms == 0) {
    MV_LOG(11, "ERROR: bad acceleration time. It should be > 0\n");
    return -1;
  }
  if (value.time.ms >= 1000) {
    MV_LOG(11, "ERROR: Bad sensor time. tmMillisec = %ud\n", value.time.ms);
    return -1;
  }
  if (!std::isfinite(value.x) || !std::isfinite(value.y) || !std::isfinite(value.z)) {
    // Would poison the band pass for its whole 2.5 s window.
    MV_LOG(11, "ERROR: non-finite acceleration dropped\n");
    return -1;
  }
  hasAccelerometer_ = true;
  const double t = Seconds(value);
  if (!accelerations_.empty()) {
    const double diff = t - Seconds(accelerations_.back());
    if (diff < 0.0) {
      MV_LOG(11,
             "acceleration with bigger time was filled before acceleration with less time\n"
             "You should fill the time in ascending order. Time difference = %lf\n",
             diff);
      return -1;
    }
    if (diff > kMaxSampleGap)
      MV_LOG(11, "ERROR: Frequency of accelerations sampling is less than %lf seconds\n",
             kMaxSampleGap);
  }
  value.calcMagnitude();
  accelerations_.push_back(value);
  const int rc = calcFilteredAccelMagnitude();
  if (rc != 0) return rc;
  while (static_cast<int>(accelerations_.size()) > kMaxSamples) {
    MV_LOG(11, "ERROR: mAccelSize = %d exceep Maximal size of buffer = %d\n",
           static_cast<int>(accelerations_.size()), kMaxSamples);
    dropOldest();
  }
  if (autoDelete_) {
    while (accelerations_.size() > 1 &&
           Seconds(accelerations_.back()) - Seconds(accelerations_.front()) > kAutoDeleteAge)
      dropOldest();
  }
  return 0;
}

int Pedometer::calcFilteredAccelMagnitude() {
  if (accelerations_.empty()) {
    MV_LOG(11, "ERROR: acceleration vector size = 0! \n");
    return -1;
  }
  const uint64_t end = dropped_ + accelerations_.size();
  for (; summed_ < end; ++summed_, ++sumUpdates_) {
    const double mag = accelerations_[summed_ - dropped_].magnitude;
    longSum_ += mag;
    shortSum_ += mag;
  }
  // Both windows are the newest samples younger than their length; the
  // oldest leave as the newest time grows.
  const double t0 = Seconds(accelerations_.back());
  for (; longFrom_ < end && !(t0 - Seconds(accelerations_[longFrom_ - dropped_]) < kLongWindow);
       ++longFrom_, ++sumUpdates_) {
    longSum_ -= accelerations_[longFrom_ - dropped_].magnitude;
  }
  shortFrom_ = std::max(shortFrom_, longFrom_);
  for (;
       shortFrom_ < end && !(t0 - Seconds(accelerations_[shortFrom_ - dropped_]) < kShortWindow);
       ++shortFrom_, ++sumUpdates_) {
    shortSum_ -= accelerations_[shortFrom_ - dropped_].magnitude;
  }
  if (sumUpdates_ > 4096) recomputeSums();
  const double longSum = longSum_, shortSum = shortSum_;
  const uint64_t n = end - longFrom_, m = end - shortFrom_;
  if (n == 0 || m == 0) {
    MV_LOG(11,
           "There is no measurements at acceleration array nMeasurements == 0 or "
           "nMeasAverage == 0\n");
    return -1;
  }
  const double shortMean = shortSum / static_cast<double>(m);
  longMean_ = (longSum + shortMean) / static_cast<double>(n);
  accelerations_.back().filteredMagnitude = shortMean - longMean_;
  return 0;
}

int Pedometer::detectSteps() {
  if (accelerations_.size() <= 4) {
    MV_LOG(11, "ERROR: there is no enough accelerometer measurements to detect steps\n");
    return -1;
  }
  cursor_ = std::max(cursor_, 2);
  if (thresholdTime_ == 0.0) thresholdTime_ = Seconds(accelerations_.front());
  const double oldest = Seconds(accelerations_.front());
  for (size_t i = static_cast<size_t>(cursor_); i < accelerations_.size(); ++i) {
    const double fs = accelerations_[i].filteredMagnitude;
    const double fp = accelerations_[i - 1].filteredMagnitude;
    const double fq = accelerations_[i - 2].filteredMagnitude;
    const double t = Seconds(accelerations_[i]);

    if (!inStep_ && (fs < quietLow_ || t - quietLowTime_ > kMissedDipWindow)) {
      quietLow_ = std::min(fs, 0.0);
      quietLowTime_ = t;
    }
    if (fs > threshold_ && (fp < threshold_ || fq < threshold_) && !inStep_) {
      inStep_ = true;
      if (stepStart_ == 0.0) stepStart_ = t;
      if (t - stepStart_ > kRestartWindow) stepStart_ = t;
      risePeak_ = fs;
      dipping_ = false;
      riseFrom_ = quietLow_;
      quietLow_ = 0.0;
    }
    if (inStep_ && !dipping_) risePeak_ = std::max(risePeak_, fs);
    if (fs < 0.0 && fp > 0.0) {
      if (inStep_ && t - stepStart_ > kMaxRiseTime) inStep_ = false;
      downCrossTime_ = t;
      dipping_ = true;
      dipLow_ = fs;
    }
    if (dipping_) dipLow_ = std::min(dipLow_, fs);
    if (fs > 0.0 && fp < 0.0 && inStep_) {
      if (t - downCrossTime_ > kMinDipTime) {
        inStep_ = false;
        quietLow_ = 0.0;
        if (maxAcc_ == 0.0 && minAcc_ == 0.0) calcMinMaxAcc(i);
        if (behaviour_.skipsShallowDips() && -dipLow_ < kMinDipShare * risePeak_) {
          // The body settling, not a step (see kMinDipShare).
        } else if (const double length = stepLength(i); length == 0.0) {
          MV_LOG(11, "ERROR: Step length == 0. Check accelerations\n");
        } else {
          auto queue = [&](double start) {
            stepLengths_.push_back(length);
            stepTimes_.push_back(start);
            ++totalSteps_;
          };
          if (missedStart_ > 0.0) queue(missedStart_);
          queue(stepStart_);
          while (static_cast<int>(stepTimes_.size()) > kMaxQueuedSteps) {
            stepTimes_.pop_front();
            stepLengths_.pop_front();
          }
        }
      } else if (t - downCrossTime_ < kMinDipTime) {
        inStep_ = false;
      }
    }
    if (t - thresholdTime_ > kThresholdPeriod || t - oldest < kWarmUp) {
      calcMinMaxAcc(i);
      updateThresholds();
      thresholdTime_ = t;
    }
    if (t - stepStart_ > kStepTimeout) inStep_ = false;
    ++cursor_;
  }
  return 0;
}

double Pedometer::stepLength(size_t index) {
  const double swing = std::max(maxAcc_ - minAcc_, 0.0);
  const double length = kStepLengthFactor * std::pow(swing, 0.25);
  if (!behaviour_.recoversBoutsFirstStep()) return length;
  // The period is the time since the previous step began. The first step of
  // a bout has none: the walker's last good period (or a typical one) stands
  // in, as it does for a period out of range (a missed step). The first step
  // is also detected late, its rise coming from rest instead of out of a dip,
  // so the second step's period runs from the first one's end, which is on
  // time, to its own.
  const double end = Seconds(accelerations_[index]);
  const bool opensBout = prevStepEnd_ == 0.0 || stepStart_ - prevStepEnd_ > kBoutGap;
  double period = boutSteps_ == 1 ? end - prevStepEnd_ : stepStart_ - prevStepStart_;
  if (opensBout || !(period >= steplength::kMinPeriod && period <= steplength::kMaxPeriod))
    period = stepPeriod_ > 0.0 ? stepPeriod_ : steplength::kTypicalPeriod;
  else
    stepPeriod_ = period;
  // A bout's first step from rest rises less than the next ones, which rise
  // out of a step's dip; a slow walker's may stay under the threshold. Its
  // dip still shows, as deep as a step's, before the first step found: the
  // step missed began a period earlier and is about as long.
  missedStart_ = 0.0;
  if (opensBout && riseFrom_ < -threshold_ && stepStart_ - period > prevStepEnd_) {
    missedStart_ = stepStart_ - period;
    boutSteps_ = 2;
  } else {
    boutSteps_ = opensBout ? 1 : boutSteps_ + 1;
  }
  prevStepStart_ = stepStart_;
  prevStepEnd_ = end;
  if (!behaviour_.calibratesStepLength()) return length;
  // The step's own rise and dip: the window's extremes may be a stand's or
  // the previous bout's.
  const double own = kKitStepLengthFactor * std::pow(std::max(risePeak_ - dipLow_, 0.0), 0.25);
  return std::min(own * stepGain_, steplength::kMaxLength);
}

void Pedometer::noteStepTaken(double length, double heading, double time) {
  if (!behaviour_.calibratesStepLength()) return;
  calibration_.addStep(length, stepGain_, heading, time);
  stepGain_ = calibration_.gain();
}

void Pedometer::noteRadioDrag(double dx, double dy) {
  if (behaviour_.calibratesStepLength()) calibration_.addDrag(dx, dy);
}

int Pedometer::calcMinMaxAcc(size_t index) {
  if (accelerations_.size() < 3) {
    MV_LOG(11, "ERROR: there is no enough accelerometer measurements to detect steps");
    return -1;
  }
  if (index >= accelerations_.size()) index = accelerations_.size() - 1;
  const double t = Seconds(accelerations_[index]);
  double window = kMinMaxWindow;
  if (!stepTimes_.empty() && stepTimes_.back() > t - kMinMaxWindow) window = t - stepTimes_.back();
  // The window is the newest samples up to `index` within `window` of it.
  const auto outside = [&](uint64_t n) {
    return t - Seconds(accelerations_[n - dropped_]) > window;
  };
  const uint64_t last = dropped_ + index;
  // The queues serve while the window only moves forward: a window reaching
  // further back than before, or an earlier end, builds them again.
  if (last + 1 < extremesTo_ || extremesFrom_ < dropped_ ||
      (extremesFrom_ > dropped_ && extremesFrom_ <= last + 1 && !outside(extremesFrom_ - 1))) {
    maxQueue_.clear();
    minQueue_.clear();
    extremesFrom_ = extremesTo_ = last + 1;
    while (extremesFrom_ > dropped_ && !outside(extremesFrom_ - 1)) --extremesFrom_;
    extremesTo_ = extremesFrom_;
  }
  for (; extremesTo_ <= last; ++extremesTo_) {
    const double f = filtered(extremesTo_);
    while (!maxQueue_.empty() && filtered(maxQueue_.back()) <= f) maxQueue_.pop_back();
    while (!minQueue_.empty() && filtered(minQueue_.back()) >= f) minQueue_.pop_back();
    maxQueue_.push_back(extremesTo_);
    minQueue_.push_back(extremesTo_);
  }
  for (; extremesFrom_ <= last && outside(extremesFrom_); ++extremesFrom_) {
    if (maxQueue_.front() == extremesFrom_) maxQueue_.pop_front();
    if (minQueue_.front() == extremesFrom_) minQueue_.pop_front();
  }
  maxAcc_ = minAcc_ = filtered(last);
  if (!maxQueue_.empty()) {
    maxAcc_ = std::max(maxAcc_, filtered(maxQueue_.front()));
    minAcc_ = std::min(minAcc_, filtered(minQueue_.front()));
  }
  if (maxAcc_ == minAcc_) {
    const size_t prev = cursor_ > 0 ? static_cast<size_t>(cursor_ - 1) : 0;
    const double gap =
        prev < accelerations_.size() ? t - Seconds(accelerations_[prev]) : 0.0;
    MV_LOG(11, "Warning: acceleration time current - prev = %lf\n", gap);
    MV_LOG(11, "ERROR: MaxAcc = MinAcc. Check acceleration sampling frequency!\n");
  }
  return 0;
}

void Pedometer::updateThresholds() {
  threshold_ = std::max(kMinThreshold, ((maxAcc_ - minAcc_) / 6.0 + threshold_) * 0.5);
}

double Pedometer::getStepLength(int i) const {
  if (i < 0 || i >= getNumOfSteps()) {
    MV_LOG(11, "ERROR: Bad step Number!\n");
    return 0.0;
  }
  return stepLengths_[i];
}

double Pedometer::getStepTime(int i) const {
  if (i < 0 || i >= getNumOfSteps()) {
    MV_LOG(11, "ERROR: Bad step Number!\n");
    return 0.0;
  }
  return stepTimes_[i];
}

double Pedometer::getLastStepLength() const {
  return stepLengths_.empty() ? 0.0 : stepLengths_.back();
}

double Pedometer::getLastStepTime() const { return stepTimes_.empty() ? 0.0 : stepTimes_.back(); }

void Pedometer::getStepLengthDeque(std::deque<double>& out) const {
  if (stepLengths_.empty()) MV_LOG(11, "there were no any detected steps");
  out = stepLengths_;
}

void Pedometer::clearFirstStep() {
  if (stepTimes_.empty()) return;
  stepTimes_.pop_front();
  stepLengths_.pop_front();
}

void Pedometer::clearLastStep() {
  if (stepTimes_.empty()) return;
  stepTimes_.pop_back();
  stepLengths_.pop_back();
}

void Pedometer::clearStepsHistory() {
  stepTimes_.clear();
  stepLengths_.clear();
  calibration_.restart();
}

void Pedometer::clearMeasurements() {
  dropped_ += accelerations_.size();
  accelerations_.clear();
  summed_ = longFrom_ = shortFrom_ = extremesFrom_ = extremesTo_ = dropped_;
  longSum_ = shortSum_ = 0.0;
  sumUpdates_ = 0;
  maxQueue_.clear();
  minQueue_.clear();
  cursor_ = 0;
}
