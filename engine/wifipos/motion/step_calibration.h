// Learns a walker's step gain from how the radio moves the particle cloud.
// Steps move the cloud by their lengths; each radio re-weighting then drags it
// towards where the radio puts the walker. While the walker goes straight
// on, the drag along the heading is the distance the steps missed (or
// overshot): over the last tens of metres, the steps' lengths plus the drags,
// over the lengths the steps had at a gain of one, is the walker's gain. The
// sums fade with distance walked, so a gain learnt on one stretch gives way
// to what later ones say, and it starts from a prior worth a few metres.
// Radio fixes trail the walker by their averaging window: drags right after
// a start or a corner, and those between a stop and the next walk, are left
// out, as are those of steps off the walker's usual pace (stairs), and no
// one drag may say more than a bounded share of its step, so a wrong fix
// moves the gain by a percent at most.
// Those sums learn slowly on purpose, and while the steps are still a fifth
// or a third off they leave the cloud behind (or ahead) for the first tens of
// metres. Early on, the last few steps' drags also act at once: their median
// share of a step lengthens or shortens the next ones, but only where it
// stands clear of the radio's scatter across the heading (which says nothing
// of the steps), and less the more metres have counted.
#pragma once

#include <array>

namespace steplength {

class Calibration {
 public:
  // Metres of model step length over which what the radio said fades to 1/e.
  static constexpr double kFadeDistance = 30.0;
  // Metres of walking the starting gain counts for.
  static constexpr double kPriorDistance = 6.0;
  // Walking straight on this long before the drags count (s).
  static constexpr double kSettleSeconds = 3.0;
  // A longer time without a step is a stop (s).
  static constexpr double kMaxStepGap = 1.5;
  // A larger heading change from one step to the next is a corner (rad).
  static constexpr double kMaxTurnPerStep = 0.35;
  // The drags between two steps count for at most this share of the step.
  static constexpr double kMaxDragShare = 0.5;
  // A step whose time since the previous one is off the walker's usual
  // pace by more than this factor either way is not level walking at that
  // gait (stairs, a stumble, a jog): its drags do not count.
  static constexpr double kMaxPaceFactor = 1.25;
  // The usual pace: the median time between steps over this many of late.
  static constexpr int kPaceSteps = 31;
  // The recent drags that act at once: how many steps' worth, how many
  // times their scatter across the heading their median along it must
  // reach, and the metres counted over which their say fades to 1/e.
  static constexpr int kPullSteps = 8;
  static constexpr double kPullSignificance = 2.0;
  static constexpr double kPullFade = 15.0;
  // The gain stays within this range.
  static constexpr double kMinGain = 0.4;
  static constexpr double kMaxGain = 2.0;

  explicit Calibration(double gain = 1.0);

  // A step the cloud was moved by: its length (m), the gain it was made with
  // (its length over that at a gain of one), its map heading (rad, x along
  // sin, y along cos) and its time (s).
  void addStep(double length, double gain, double heading, double time);
  // How far a radio re-weighting moved the cloud's mean (m on the floor).
  void addDrag(double dx, double dy);
  // Forgets the walk under way (a floor change, a lost solution); keeps the gain.
  void restart();

  double gain() const { return gain_; }
  // Metres of steps that have counted so far.
  double counted() const { return counted_; }

 private:
  // The recent drags' median share of a step along the heading, or 0 where
  // it does not stand clear of their scatter across it.
  double recentPull() const;

  double gain_;
  double learnt_;      // the faded sums' gain, before the recent drags' pull
  double modelSum_;    // faded sum of step lengths at gain one
  double radioSum_;    // faded sum of step lengths plus drags
  double counted_ = 0.0;
  double drag_ = 0.0;    // along the heading since the last step
  double across_ = 0.0;  // across it
  bool dragSinceStep_ = false;
  bool haveStep_ = false;
  double lastHeading_ = 0.0;
  double lastTime_ = 0.0;
  double previousLength_ = 0.0;  // the last step and the gain it was made with
  double previousGain_ = 1.0;
  double straightSince_ = 0.0;
  std::array<double, kPaceSteps> periods_{};  // ring of recent step times (s)
  int periodCount_ = 0;
  int periodNext_ = 0;
  // The last counted steps' drags along and across their heading, as shares
  // of the step.
  std::array<double, kPullSteps> pullAlong_{};
  std::array<double, kPullSteps> pullAcross_{};
  int pullCount_ = 0;
  int pullNext_ = 0;
};

}  // namespace steplength
