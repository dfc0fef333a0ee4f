// Step detection on the accelerometer stream. The magnitude of each sample is
// band-passed (a 0.2 s mean minus a 2.5 s mean); a step is a rise through an
// adaptive threshold, then a fall below zero and a rise back through zero;
// with the kit's defaults the fall must also go deep enough for the rise
// (a shallow one is the body settling after the walker stopped). Each
// step's start time and length wait in a queue until the tracker consumes them.
// The cost per sample does not grow with the number of samples in the windows
// (a phone may deliver thousands stamped with one time).
// A step's length is 0.6 times the fourth root of the band-passed swing; with
// the kit's behaviour it is scaled by the walker's gain, which the radio
// teaches (see step_calibration.h).
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "wifipos/motion/step_calibration.h"
#include "wifipos/motion/step_length.h"
#include "wifipos/navigation_map/engine_behaviour.h"
#include "wifipos/sensor_value.h"

class Pedometer {
 public:
  // The kit's steps or the original ones (see the top of this file).
  explicit Pedometer(const EngineBehaviour& behaviour) : behaviour_(behaviour) {}

  // Floor of the adaptive rise threshold: 0.05 g.
  static constexpr double kMinThreshold = 0.4903325;
  // Hard limit of stored samples whatever the auto-delete setting.
  static constexpr int kMaxSamples = 500000;
  // Steps nobody consumes (e.g. no gyroscope) are not kept beyond this many;
  // the oldest go first, so a late consumer does not replay a long walk at once.
  static constexpr int kMaxQueuedSteps = 16;

  // Feeds every accelerometer sample (type 101). -1 for an empty vector.
  int updateAccMeasurements(std::vector<SensorValue>& values);
  // 0, or -1 for a rejected sample (bad or decreasing time, non-finite value).
  int updateAccMeasurement(SensorValue& value);
  // Examines every sample not looked at yet. -1 with too few samples.
  int detectSteps();
  // Band pass of the newest sample into its filteredMagnitude.
  int calcFilteredAccelMagnitude();
  // Extremes of the filtered magnitude in the window ending at sample `index`.
  int calcMinMaxAcc(size_t index);
  void updateThresholds();

  int getNumOfSteps() const { return static_cast<int>(stepTimes_.size()); }
  double getStepLength(int i) const;
  double getStepTime(int i) const;
  double getLastStepLength() const;
  double getLastStepTime() const;
  void getStepLengthDeque(std::deque<double>& out) const;  // interface; unused by the kit

  void clearFirstStep();
  void clearLastStep();  // part of the interface; the kit drops only the oldest
  // Also forgets the calibration's open stretch.
  void clearStepsHistory();
  void clearMeasurements();  // part of the interface; unused by the kit

  int getTotalStepsNumber() const { return totalSteps_; }
  // Part of the interface; nothing in the kit calls these two.
  void setTotalStepsNumber(int n) { totalSteps_ = n; }
  void resetTotalStepsNumber() { totalSteps_ = 0; }
  bool isHasAccelerometer() const { return hasAccelerometer_; }
  void setAutoDeleteOldMeasurements(bool on) { autoDelete_ = on; }

  const EngineBehaviour& behaviour() const { return behaviour_; }
  // Walker's gain of the step length, learnt by the calibration.
  double getStepGain() const { return stepGain_; }
  // The calibration against the radio (step_calibration.h): a step the
  // caller moved the cloud by (length, map heading, the step's time), and how
  // far a radio re-weighting then moved the cloud's mean. Nothing with the
  // original behaviour.
  void noteStepTaken(double length, double heading, double time);
  void noteRadioDrag(double dx, double dy);

  double getThreshold() const { return threshold_; }
  double getMaxAcc() const { return maxAcc_; }
  double getMinAcc() const { return minAcc_; }
  const std::deque<SensorValue>& getAccelerations() const { return accelerations_; }

 private:
  void dropOldest();
  void recomputeSums();
  double filtered(uint64_t n) const { return accelerations_[n - dropped_].filteredMagnitude; }
  // Length of the step completed at sample `index`.
  double stepLength(size_t index);

  // Samples are also known by number: dropped_ + their index. The band pass
  // keeps running sums of the magnitudes of the samples [longFrom_, summed_)
  // and [shortFrom_, summed_); they are recomputed now and then so rounding
  // cannot build up. The window extremes keep monotonic queues of sample
  // numbers over [extremesFrom_, extremesTo_).
  uint64_t dropped_ = 0;
  uint64_t summed_ = 0;
  uint64_t longFrom_ = 0;
  uint64_t shortFrom_ = 0;
  double longSum_ = 0.0;
  double shortSum_ = 0.0;
  int sumUpdates_ = 0;
  std::deque<uint64_t> maxQueue_;
  std::deque<uint64_t> minQueue_;
  uint64_t extremesFrom_ = 0;
  uint64_t extremesTo_ = 0;

  std::deque<SensorValue> accelerations_;
  int cursor_ = 0;
  std::deque<double> stepTimes_;
  double stepStart_ = 0.0;
  std::deque<double> stepLengths_;
  double threshold_ = kMinThreshold;
  double thresholdTime_ = 0.0;
  double maxAcc_ = 0.0;
  double minAcc_ = 0.0;
  double downCrossTime_ = 0.0;
  bool inStep_ = false;
  bool autoDelete_ = false;
  double longMean_ = 0.0;
  int totalSteps_ = 0;
  bool hasAccelerometer_ = false;
  EngineBehaviour behaviour_;
  double stepGain_ = 1.0;
  steplength::Calibration calibration_{1.0};
  // The walker's last period measured between two steps of a bout.
  double stepPeriod_ = 0.0;
  double prevStepStart_ = 0.0;
  double prevStepEnd_ = 0.0;  // time of the sample that completed it
  int boutSteps_ = 0;         // steps of the current bout so far
  // Highest band-passed magnitude of the step's rise, lowest of its dip.
  double risePeak_ = 0.0;
  double dipLow_ = 0.0;
  bool dipping_ = false;
  // Lowest band-passed magnitude outside a step lately (since the last rise
  // or step end, and within the window of a missed step's dip), and the one
  // the current step's rise came out of.
  double quietLow_ = 0.0;
  double quietLowTime_ = 0.0;
  double riseFrom_ = 0.0;
  double missedStart_ = 0.0;  // start of a step found missed, or 0
};
