// Figures of one positioned walk against its truth, beyond the error
// quantiles: when the walker turned or changed floor, and how long the output
// took to catch up afterwards. Pure.
#pragma once

#include <vector>

#include "world/score.h"

namespace eval {

// A turn is a place on the true path where the direction over the next
// kTurnArm metres differs from the direction over the previous kTurnArm
// metres by more than kTurnDegrees. Its time is the middle of the ticks where
// the change is sharpest (the corner; the middle of a stand at it); turns
// closer than kTurnSeparation seconds count once.
constexpr double kTurnArm = 1.5;
constexpr double kTurnDegrees = 45.0;
constexpr double kTurnSeparation = 3.0;

// Times (the ticks' seconds) of the turns of the true path. A floor change
// breaks the path: no turn is looked for across it.
std::vector<double> FindTurns(const std::vector<world::ScoredTick>& ticks);

// Times of the ticks whose true floor differs from the tick before.
std::vector<double> FindFloorChanges(const std::vector<world::ScoredTick>& ticks);

// For every turn: how far the output trails the walker through it, i.e. the
// delay d (0 to kMaxLag seconds, in 0.1 s steps) that minimises the mean
// distance between the output at t and the truth at t - d over the ticks
// from kLagBefore seconds before the turn to kLagAfter seconds after it.
// Turns with no output in that span are left out.
constexpr double kMaxLag = 10.0;
constexpr double kLagBefore = 3.0;
constexpr double kLagAfter = 6.0;
std::vector<double> TurnLags(const std::vector<world::ScoredTick>& ticks, const std::vector<double>& turns);

// For every floor change: the seconds until the output is on the true floor
// and stays there for kFloorHold seconds (or to the walk's end). An output
// that never gets there counts until the last tick.
constexpr double kFloorHold = 2.0;
std::vector<double> FloorLags(const std::vector<world::ScoredTick>& ticks, const std::vector<double>& changes);

// The lag check: the output scored against where the walker was this long
// before each tick. An output that keeps up is no closer to that than to
// where the walker is.
constexpr double kEarlierSeconds = 0.5;

// The walk with each tick's truth taken from the tick kEarlierSeconds before
// it (the nearest tick at or after that time); ticks with none are left out.
std::vector<world::ScoredTick> AgainstEarlierTruth(const std::vector<world::ScoredTick>& ticks);

// One walk's share of a table row.
struct TrackFigures {
  world::Score score;           // over the scored ticks (see ScoreTrack)
  std::vector<double> errors;   // of the scored ticks
  std::vector<double> earlierErrors;  // the same ticks against the truth kEarlierSeconds before
  std::vector<double> turnLags;
  std::vector<double> floorLags;
};

// Scores a walk: ticks within startSettle seconds of its first tick or within
// floorSettle seconds of a true floor change are not scored (startSettle >=
// floorSettle). The lags cover the whole walk.
TrackFigures ScoreTrack(const std::vector<world::ScoredTick>& ticks, double startSettle, double floorSettle);

}  // namespace eval
