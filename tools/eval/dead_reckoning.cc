#include "eval/dead_reckoning.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace eval {
namespace {

double WrapDegrees(double a) {
  a = std::fmod(a + 180.0, 360.0);
  if (a < 0) a += 360.0;
  return a - 180.0;
}

double Mean(const std::vector<double>& v) {
  return v.empty() ? -1.0 : std::accumulate(v.begin(), v.end(), 0.0) / v.size();
}

}  // namespace

void DeadReckoningFigures::add(const DeadReckoningFigures& o) {
  walks += o.walks;
  walked += o.walked;
  travelled += o.travelled;
  turnErrors.insert(turnErrors.end(), o.turnErrors.begin(), o.turnErrors.end());
  headingErrors.insert(headingErrors.end(), o.headingErrors.begin(), o.headingErrors.end());
  endErrors.insert(endErrors.end(), o.endErrors.begin(), o.endErrors.end());
  walkedPerWalk.insert(walkedPerWalk.end(), o.walkedPerWalk.begin(), o.walkedPerWalk.end());
}

double DeadReckoningFigures::distanceErrorPercent() const {
  return walked > 0 ? 100.0 * (travelled - walked) / walked : 0.0;
}
double DeadReckoningFigures::meanTurnError() const { return Mean(turnErrors); }
double DeadReckoningFigures::meanHeadingError() const { return Mean(headingErrors); }
double DeadReckoningFigures::meanEndError() const { return std::max(0.0, Mean(endErrors)); }
double DeadReckoningFigures::meanWalked() const { return std::max(0.0, Mean(walkedPerWalk)); }

DeadReckoningFigures MeasureDeadReckoning(const std::vector<TrueLeg>& legs,
                                          const std::vector<replay::ReplayTick>& ticks, int64_t firstMs) {
  DeadReckoningFigures f;
  f.walks = 1;
  std::vector<const replay::ReplayTick*> positioned;
  for (const replay::ReplayTick& t : ticks) {
    if (t.floorId >= 0) positioned.push_back(&t);
  }
  auto toMs = [&](double seconds) { return firstMs + std::llround(seconds * 1000.0); };
  // The first positioned tick at or after a message time.
  auto firstFrom = [&](int64_t ms) {
    return std::lower_bound(positioned.begin(), positioned.end(), ms,
                            [](const replay::ReplayTick* t, int64_t v) { return t->timeMs < v; });
  };
  // The positioned tick nearest to a walk time, or null.
  auto at = [&](double seconds) -> const replay::ReplayTick* {
    if (positioned.empty()) return nullptr;
    const int64_t ms = toMs(seconds);
    auto it = firstFrom(ms);
    if (it == positioned.end()) return positioned.back();
    if (it != positioned.begin() && ms - (*std::prev(it))->timeMs < (*it)->timeMs - ms) return *std::prev(it);
    return *it;
  };
  // The mean of the output's headings between two walk times (NaN without any).
  auto MeanHeadingDegrees = [&](double from, double to) {
    const int64_t last = toMs(to);
    double sx = 0, sy = 0;
    int n = 0;
    for (auto it = firstFrom(toMs(from)); it != positioned.end() && (*it)->timeMs <= last; ++it, ++n) {
      sx += std::sin((*it)->azimuth);
      sy += std::cos((*it)->azimuth);
    }
    return n > 0 ? std::atan2(sx, sy) * 180.0 / M_PI : std::nan("");
  };
  double walkedHere = 0;
  bool havePrevious = false;
  double previousTrue = 0, previousEstimate = 0;
  for (size_t i = 0; i < legs.size(); ++i) {
    const TrueLeg& leg = legs[i];
    const double length = std::hypot(leg.x1 - leg.x0, leg.y1 - leg.y0);
    walkedHere += length;
    // The walker stays at the leg's end until the next leg starts: the end
    // is read then, so the last step counts once it is detected, half a step
    // after it began (how late the output is shows in the turn lag).
    double end = leg.t1 + kEndSettle;
    if (i + 1 < legs.size()) end = std::min(end, legs[i + 1].t0);
    const replay::ReplayTick* a = at(leg.t0);
    const replay::ReplayTick* b = at(end);
    if (!a || !b) continue;
    const double ex = b->x - a->x, ey = b->y - a->y;
    f.walked += length;
    f.travelled += std::hypot(ex, ey);
    if (length < kMinLegForHeading) continue;
    const double trueHeading = std::atan2(leg.x1 - leg.x0, leg.y1 - leg.y0) * 180.0 / M_PI;
    const double estimateHeading = std::atan2(ex, ey) * 180.0 / M_PI;
    if (havePrevious) {
      const double heading = MeanHeadingDegrees(leg.t0 + kHeadingSettle, leg.t1);
      if (std::isfinite(heading)) f.headingErrors.push_back(std::fabs(WrapDegrees(heading - trueHeading)));
      const double trueTurn = WrapDegrees(trueHeading - previousTrue);
      const double estimateTurn = WrapDegrees(estimateHeading - previousEstimate);
      f.turnErrors.push_back(std::fabs(WrapDegrees(estimateTurn - trueTurn)));
    }
    havePrevious = true;
    previousTrue = trueHeading;
    previousEstimate = estimateHeading;
  }
  f.walkedPerWalk.push_back(walkedHere);
  for (auto it = ticks.rbegin(); it != ticks.rend(); ++it) {
    if (it->floorId >= 0 && it->hasTruth) {
      f.endErrors.push_back(std::hypot(it->x - it->truthX, it->y - it->truthY));
      break;
    }
  }
  return f;
}

}  // namespace eval
