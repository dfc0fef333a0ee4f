// Which behaviour a navigation client runs: the kit's, or the engine's
// original one (asked for by "defaults=classic;" in the archive parameters).
// One value, built from the parameters when the map is loaded and handed to
// each component that behaves differently when it is made; every difference
// is one predicate below, named by what the kit does, so that this file lists
// them all. Each predicate is false for the original behaviour. There is no
// default value: whoever makes a component says which behaviour it runs.
#pragma once

class EngineBehaviour {
 public:
  // The engine's behaviour as first written, and the kit's.
  static EngineBehaviour original() { return EngineBehaviour(true); }
  static EngineBehaviour kit() { return EngineBehaviour(false); }
  bool isOriginal() const { return original_; }
  bool operator==(const EngineBehaviour&) const = default;

  // --- settings --------------------------------------------------------------
  // Settings the member leaves out take the kit's values (KitDefaults), not
  // the record's own.
  bool fillsOmittedSettings() const { return !original_; }

  // --- signal window and floor detection -----------------------------------
  // Before the first floor, readings heard while the walker stands are pooled
  // per transmitter and decide that floor.
  bool poolsReadingsWhileStanding() const { return !original_; }
  // A standing walker's window drops its older readings once the fresh ones
  // speak for another floor.
  bool trimsStandingWindowOnLeavingFloor() const { return !original_; }
  // While the phone's accelerometer is heard, the signal window lasts at
  // most a second, whatever the settings ask, unless that second hears few
  // beacons: then it reaches back to the settings' length.
  bool capsSignalWindow() const { return !original_; }
  // A histogram window that leaves the floor in doubt is settled by matching
  // the readings' levels on every floor.
  bool matchesLevelsForDoubtfulFloor() const { return !original_; }
  // The floor goes to the largest share of the window's weights, not to the
  // heaviest triangle's.
  bool choosesFloorByLargestShare() const { return !original_; }
  // A window whose largest share names the floor being counted towards, by
  // less than the walking margin, neither counts nor clears that count; nor,
  // while the walker stands (a lift), does one whose current floor's share
  // ties with that floor's.
  bool holdsFloorCountThroughNarrowLeads() const { return !original_; }
  // The first floor waits (a short while) until the radio names it clearly.
  bool waitsForClearFirstFloor() const { return !original_; }
  // A standing walker's decisive window counts twice towards a switch, and
  // a switch needs fewer agreeing windows while standing.
  bool switchesFloorSoonerWhileStanding() const { return !original_; }
  // A window too thin to weigh points counts for the only floor it hears.
  bool countsThinWindowForItsFloor() const { return !original_; }

  // --- reference-point weights and the signal fix --------------------------
  // Nearest-neighbour weights count every transmitter heard or surveyed,
  // one missing on either side at the "not heard" level.
  bool weighsMissingTransmitters() const { return !original_; }
  // The phone's level offset against the survey is learnt and subtracted.
  bool learnsLevelOffset() const { return !original_; }
  // The nearest-neighbour fix is the weighted mean of the best points near
  // the best one.
  bool fixesFromNeighbourhood() const { return !original_; }
  // Over a sparse survey the histogram fix is that neighbourhood fix too.
  bool fixesSparseHistogramFromNeighbourhood() const { return !original_; }
  // A sparse survey's histogram samples spread over neighbouring levels.
  bool spreadsSparseHistograms() const { return !original_; }
  // Gaussian-process training in fixed mode adds a noise floor per key.
  bool addsFixedModeNugget() const { return !original_; }
  // Gaussian processes in fixed mode predict with the mean they were trained
  // with (the constant level alone); the original adds the record's
  // log-distance term, which that training left out.
  bool predictsFixedModeWithTrainedMean() const { return !original_; }
  // Gaussian-process predictions leave out the far terms that add up to less
  // than a hundredth of a dBm, far below the radio's noise (the original
  // cuts only at 1e-10 dBm, which visits several times the points).
  bool neglectsTermsBelowRadioNoise() const { return !original_; }

  // --- particle filter ----------------------------------------------------------
  // Radio evidence is weighed once: a step does not weigh the cloud against
  // the last fix again, and a Gaussian-process result counts as several
  // readings.
  bool weighsEvidenceOnce() const { return !original_; }
  // The noise the cloud is weighed with against a fix follows the fixes'
  // scatter instead of the settings' correction noise.
  bool fitsFixNoiseToScatter() const { return !original_; }
  // Once steps move the cloud, that noise is learnt from how far the fixes
  // fall from the cloud, within the settings' correction noise.
  bool learnsFixNoise() const { return !original_; }
  // Resampling keeps most of the cloud while the walker stands or walks.
  bool resamplesGently() const { return !original_; }
  // While the radio steers the cloud (nearest neighbours and histograms,
  // not in dead reckoning), each particle's step is drawn with a share of its
  // length as noise on top of the settings' step-length noise.
  bool spreadsStepsByGainDoubt() const { return !original_; }
  // A move keeps the cloud's mean advancing a whole step whatever the
  // heading noise.
  bool keepsStepAdvanceUnderNoise() const { return !original_; }
  // A floor change carries the cloud over instead of restarting it (not for
  // Gaussian processes, nor in dead reckoning).
  bool carriesCloudAcrossFloors() const { return !original_; }
  // The radio evidence is the window's mean readings, which stand for where
  // the walker was half a window ago: it is weighed against the cloud moved
  // back by the steps taken since (a fix, moved on by them).
  bool leadsRadioByHalfItsWindow() const { return !original_; }
  // A step goes along the heading of the time it began.
  bool stepsAlongTheirOwnHeading() const { return !original_; }

  // --- steps and heading ---------------------------------------------------------
  // The pedometer skips a dip too shallow for a step.
  bool skipsShallowDips() const { return !original_; }
  // A bout's first step, risen from rest too softly for the threshold, is
  // found from its dip before the second one.
  bool recoversBoutsFirstStep() const { return !original_; }
  // The step length (the fourth root of the swing) is scaled by a gain learnt
  // from how the radio moves the cloud while the walker goes straight on.
  bool calibratesStepLength() const { return !original_; }
  // The gyroscope bias is learnt while still, the magnetometer's own offset
  // once the walker has turned.
  bool learnsSensorBiases() const { return !original_; }
  // The orientation comes from the kit's filter, not the original Euler-angle
  // blend, and the heading is the phone's top edge, not the yaw angle.
  bool fusesOrientationAnew() const { return !original_; }
  // Past headings are kept, so that a step detected late goes along its own.
  bool keepsPastHeadings() const { return !original_; }

  // --- output ---------------------------------------------------------------------
  // The output is smoothed by constant-velocity tracking and read ahead
  // along it, and the smoothed track is not fed back to the filter.
  bool tracksOutput() const { return !original_; }
  // Zone entries and exits have hysteresis.
  bool holdsZonesWithHysteresis() const { return !original_; }

 private:
  explicit EngineBehaviour(bool original) : original_(original) {}
  bool original_;
};
