// Refines a walker's step gain against radio fixes. Over a stretch walked
// between two fixes, the radio's displacement projected on the dead-reckoned
// one, over the latter's length, says how much too long or short the steps
// came out. A single fix is metres off, so only long, nearly straight
// stretches count, the gain is the running mean of what they say (starting
// from the typical walker's, which counts as a few stretches), and it stays
// within a plausible range of walkers.
#pragma once

namespace steplength {

class Calibration {
 public:
  // Steps (m) between the two fixes of a stretch.
  static constexpr double kMinBaseline = 20.0;
  // Straight-line dead-reckoned displacement over the steps' sum, at least.
  static constexpr double kMinStraightness = 0.85;
  // A longer stretch is dropped: the radio may have lost the walker.
  static constexpr double kMaxStretchSeconds = 60.0;
  // A radio fix trails the walker by its averaging window: a stretch begins
  // only after this long of walking straight on, and ends at a stop, so a
  // start, a stop or a corner just behind it cannot skew it.
  static constexpr double kSettleSeconds = 6.0;
  // A longer time without a step is a stop.
  static constexpr double kMaxStepGap = 1.5;
  // A larger heading change from one step to the next is a corner, rad.
  static constexpr double kMaxTurnPerStep = 0.35;
  // What the starting gain counts for, in stretches.
  static constexpr double kPriorStretches = 2.0;
  // The gain stays within this share of the typical walker's either way.
  static constexpr double kMaxDeviation = 0.35;

  explicit Calibration(double gain);

  // A step taken with the current gain: length (m) and map heading (rad,
  // x along sin, y along cos).
  void addStep(double length, double heading);
  // A radio fix (m on the floor) at time t (s). True when it closed a
  // stretch that moved the gain.
  bool addFix(double x, double y, double t);
  // Forgets the open stretch (a floor change, a lost solution).
  void restart();

  double gain() const { return gain_; }
  int stretches() const { return stretches_; }

 private:
  void anchor(double x, double y, double t);

  double typical_;
  double gain_;
  double ratioSum_;
  int stretches_ = 0;
  bool anchored_ = false;
  double ax_ = 0.0, ay_ = 0.0, at_ = 0.0;
  double dx_ = 0.0, dy_ = 0.0, path_ = 0.0;
  bool stepSinceFix_ = false;
  bool turnSinceFix_ = false;
  double lastHeading_ = 0.0;
  bool haveHeading_ = false;
  double walkingSince_ = -1.0;  // time of the first fix of the current walking, or -1
  double lastStepFix_ = -1.0;   // time of the last fix that followed a step, or -1
};

}  // namespace steplength
