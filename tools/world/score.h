// Scoring positions against the world's truth the way the replay scores a
// log: horizontal error at each evaluated tick, its median and 75th
// percentile over ticks with a position, and the share of ticks on the right
// floor (no position counts as wrong). Ticks within the settling time of the
// walk's start or of a change of the true floor are not scored: the engine's
// floor switch waits for repeated detections by design. Pure.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace replay {
struct ReplayReport;
}

namespace world {

struct ScoredTick {
  double seconds = 0;  // since the walk's first tick
  bool hasPosition = false;
  int floorId = -1;
  double x = 0, y = 0;
  int truthFloorId = 0;
  double truthX = 0, truthY = 0;
};

struct Score {
  int evaluated = 0;
  int withPosition = 0;
  double median = 0, p75 = 0, p95 = 0;
  double rightFloor = 0;  // share, 0..1
  int onRightFloor = 0;   // evaluated ticks with a position on the true floor
};

// `errors`, when given, receives the scored ticks' errors in tick order, so
// callers can pool several walks.
Score ScoreTicks(const std::vector<ScoredTick>& ticks, double settleSeconds, std::vector<double>* errors = nullptr);

// The replay's ticks that have a truth row and come at or after firstMs, timed
// from firstMs, ready for ScoreTicks.
std::vector<ScoredTick> ScoredFromReplay(const replay::ReplayReport& report, int64_t firstMs);

// A few lines: the figures and what they cover.
std::string FormatScore(const std::string& title, const Score& score, double settleSeconds);

}  // namespace world
