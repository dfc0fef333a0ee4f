// Dead-reckoning figures of a walk positioned from a known start with the
// radio off: how far the output travelled along each straight leg of the
// true path against the leg's length, how well it turned between legs, and
// where it ended. Pure.
#pragma once

#include <cstdint>
#include <vector>

#include "replay/replay_run.h"

namespace eval {

// A straight walking leg of the true path, seconds from the walk's first tick.
struct TrueLeg {
  double t0 = 0, t1 = 0;
  double x0 = 0, y0 = 0, x1 = 0, y1 = 0;
};

// Seconds after a leg's end its output end is read at the latest.
constexpr double kEndSettle = 1.0;

// Seconds into a leg before its heading is read: the turn before it ends.
constexpr double kHeadingSettle = 1.0;

// Legs shorter than this are too short for a direction; they still count in the walked length.
constexpr double kMinLegForHeading = 2.0;

struct DeadReckoningFigures {
  int walks = 0;
  double walked = 0;     // metres of the true legs
  double travelled = 0;  // metres the output moved over the same legs (straight, start to end of each)
  std::vector<double> turnErrors;  // degrees, one per pair of successive legs of kMinLegForHeading or more
  // Degrees between the output's heading, averaged over a leg from
  // kHeadingSettle after its start, and the leg's direction; one per leg
  // after a turn.
  std::vector<double> headingErrors;
  std::vector<double> endErrors;   // metres, output against truth at the last tick
  std::vector<double> walkedPerWalk;

  void add(const DeadReckoningFigures& other);
  // (travelled - walked) / walked in percent; positive: the output overshoots.
  double distanceErrorPercent() const;
  double meanTurnError() const;  // degrees; negative without turns
  double meanHeadingError() const;  // degrees; negative without turns
  double meanEndError() const;
  double meanWalked() const;
};

// The ticks are the replay's (time in milliseconds since 1970); firstMs is
// the time of the walk's first tick. A leg whose ends have no output is
// left out.
DeadReckoningFigures MeasureDeadReckoning(const std::vector<TrueLeg>& legs,
                                          const std::vector<replay::ReplayTick>& ticks, int64_t firstMs);

}  // namespace eval
