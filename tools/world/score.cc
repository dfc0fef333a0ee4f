#include "world/score.h"

#include <cmath>
#include <cstdio>
#include <utility>

#include "replay/replay_run.h"

namespace world {

Score ScoreTicks(const std::vector<ScoredTick>& ticks, double settleSeconds, std::vector<double>* scored) {
  Score s;
  std::vector<double> errors;
  int right = 0;
  double settleFrom = ticks.empty() ? 0 : ticks.front().seconds;
  int lastFloor = ticks.empty() ? 0 : ticks.front().truthFloorId;
  for (const auto& t : ticks) {
    if (t.truthFloorId != lastFloor) {
      lastFloor = t.truthFloorId;
      settleFrom = t.seconds;
    }
    if (t.seconds - settleFrom < settleSeconds) continue;
    ++s.evaluated;
    if (!t.hasPosition) continue;
    ++s.withPosition;
    if (t.floorId == t.truthFloorId) ++right;
    errors.push_back(std::hypot(t.x - t.truthX, t.y - t.truthY));
  }
  s.median = replay::Quantile(errors, 0.5);
  s.p75 = replay::Quantile(errors, 0.75);
  s.p95 = replay::Quantile(errors, 0.95);
  s.rightFloor = s.evaluated ? double(right) / s.evaluated : 0;
  s.onRightFloor = right;
  if (scored) *scored = std::move(errors);
  return s;
}

std::vector<ScoredTick> ScoredFromReplay(const replay::ReplayReport& report, int64_t firstMs) {
  std::vector<ScoredTick> out;
  for (const replay::ReplayTick& t : report.ticks) {
    if (!t.hasTruth || t.timeMs < firstMs) continue;
    out.push_back({(t.timeMs - firstMs) / 1000.0, t.floorId >= 0, t.floorId, t.x, t.y, t.truthFloorId,
                   t.truthX, t.truthY});
  }
  return out;
}

std::string FormatScore(const std::string& title, const Score& score, double settleSeconds) {
  char text[512];
  std::snprintf(text, sizeof text,
                "%s (ticks %.0f s or more after the start and floor changes: %d, with a position: %d)\n"
                "  median error %.2f m, 75th percentile %.2f m, 95th percentile %.2f m, "
                "right floor %.1f %%\n",
                title.c_str(), settleSeconds, score.evaluated, score.withPosition, score.median,
                score.p75, score.p95, 100.0 * score.rightFloor);
  return text;
}

}  // namespace world
