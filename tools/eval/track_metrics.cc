#include "eval/track_metrics.h"

#include <algorithm>
#include <cmath>

namespace eval {
namespace {

double Angle(double ax, double ay, double bx, double by) {
  const double na = std::hypot(ax, ay), nb = std::hypot(bx, by);
  if (na <= 0 || nb <= 0) return 0;
  const double c = std::clamp((ax * bx + ay * by) / (na * nb), -1.0, 1.0);
  return std::acos(c) * 180.0 / M_PI;
}

}  // namespace

std::vector<double> FindTurns(const std::vector<world::ScoredTick>& ticks) {
  std::vector<double> turns;
  const size_t n = ticks.size();
  // Arc length along the true path, restarting on each floor.
  std::vector<double> s(n, 0.0);
  std::vector<size_t> stretchStart(n, 0);
  for (size_t i = 1; i < n; ++i) {
    if (ticks[i].truthFloorId != ticks[i - 1].truthFloorId) {
      stretchStart[i] = i;
      continue;
    }
    stretchStart[i] = stretchStart[i - 1];
    s[i] = s[i - 1] + std::hypot(ticks[i].truthX - ticks[i - 1].truthX, ticks[i].truthY - ticks[i - 1].truthY);
  }
  // The sharpest stretch of a candidate group: its angle, first and last tick.
  double bestAngle = 0, bestFirst = 0, bestLast = 0, lastCandidate = -1e300;
  constexpr double kSameAngle = 0.5;  // degrees
  bool open = false;
  size_t back = 0, ahead = 0;
  for (size_t i = 0; i < n; ++i) {
    // The latest tick at least an arm behind and the first an arm ahead, on the same stretch.
    if (back < stretchStart[i]) back = stretchStart[i];
    while (back + 1 <= i && s[i] - s[back + 1] >= kTurnArm) ++back;
    if (ahead < i) ahead = i;
    while (ahead < n && stretchStart[ahead] == stretchStart[i] && s[ahead] - s[i] < kTurnArm) ++ahead;
    const bool haveBack = s[i] - s[back] >= kTurnArm;
    const bool haveAhead = ahead < n && stretchStart[ahead] == stretchStart[i];
    if (!haveBack || !haveAhead) continue;
    const double a = Angle(ticks[i].truthX - ticks[back].truthX, ticks[i].truthY - ticks[back].truthY,
                           ticks[ahead].truthX - ticks[i].truthX, ticks[ahead].truthY - ticks[i].truthY);
    if (a <= kTurnDegrees) continue;
    const double t = ticks[i].seconds;
    if (open && t - lastCandidate > kTurnSeparation) {
      turns.push_back((bestFirst + bestLast) / 2);
      open = false;
    }
    if (!open || a > bestAngle + kSameAngle) {
      bestAngle = a;
      bestFirst = bestLast = t;
    } else if (a >= bestAngle - kSameAngle) {
      bestAngle = std::max(bestAngle, a);
      bestLast = t;
    }
    open = true;
    lastCandidate = t;
  }
  if (open) turns.push_back((bestFirst + bestLast) / 2);
  return turns;
}

std::vector<double> FindFloorChanges(const std::vector<world::ScoredTick>& ticks) {
  std::vector<double> out;
  for (size_t i = 1; i < ticks.size(); ++i) {
    if (ticks[i].truthFloorId != ticks[i - 1].truthFloorId) out.push_back(ticks[i].seconds);
  }
  return out;
}

std::vector<double> TurnLags(const std::vector<world::ScoredTick>& ticks, const std::vector<double>& turns) {
  std::vector<double> lags;
  if (ticks.empty()) return lags;
  // The tick nearest in time; the truth before the first tick is the first tick's.
  auto truthAt = [&](double t) -> const world::ScoredTick& {
    auto it = std::lower_bound(ticks.begin(), ticks.end(), t,
                               [](const world::ScoredTick& k, double v) { return k.seconds < v; });
    if (it == ticks.end()) return ticks.back();
    if (it != ticks.begin() && t - std::prev(it)->seconds < it->seconds - t) return *std::prev(it);
    return *it;
  };
  for (double turn : turns) {
    double bestLag = -1, bestMean = 0;
    for (int step = 0; step <= static_cast<int>(kMaxLag * 10 + 0.5); ++step) {
      const double d = step / 10.0;
      double sum = 0;
      int n = 0;
      for (const world::ScoredTick& k : ticks) {
        if (k.seconds < turn - kLagBefore || k.seconds > turn + kLagAfter) continue;
        if (!k.hasPosition || k.floorId != k.truthFloorId) continue;
        const world::ScoredTick& then = truthAt(k.seconds - d);
        sum += std::hypot(k.x - then.truthX, k.y - then.truthY);
        ++n;
      }
      if (n == 0) break;
      if (bestLag < 0 || sum / n < bestMean) {
        bestLag = d;
        bestMean = sum / n;
      }
    }
    if (bestLag >= 0) lags.push_back(bestLag);
  }
  return lags;
}

std::vector<double> FloorLags(const std::vector<world::ScoredTick>& ticks, const std::vector<double>& changes) {
  std::vector<double> lags;
  if (ticks.empty()) return lags;
  for (double change : changes) {
    double lag = ticks.back().seconds - change;
    bool holding = false;
    double since = 0;
    for (const world::ScoredTick& k : ticks) {
      if (k.seconds < change) continue;
      const bool right = k.hasPosition && k.floorId == k.truthFloorId;
      if (right && !holding) since = k.seconds;
      holding = right;
      if (holding && k.seconds - since >= kFloorHold) break;
    }
    if (holding) lag = since - change;
    lags.push_back(std::max(0.0, lag));
  }
  return lags;
}

std::vector<world::ScoredTick> AgainstEarlierTruth(const std::vector<world::ScoredTick>& ticks) {
  std::vector<world::ScoredTick> out;
  size_t j = 0;
  for (const world::ScoredTick& t : ticks) {
    const double then = t.seconds - kEarlierSeconds;
    if (then < ticks.front().seconds - 1e-9) continue;
    while (j < ticks.size() && ticks[j].seconds < then - 1e-9) ++j;
    world::ScoredTick s = t;
    s.truthFloorId = ticks[j].truthFloorId;
    s.truthX = ticks[j].truthX;
    s.truthY = ticks[j].truthY;
    out.push_back(s);
  }
  return out;
}

TrackFigures ScoreTrack(const std::vector<world::ScoredTick>& ticks, double startSettle, double floorSettle) {
  TrackFigures f;
  // The scorer settles after the first tick it is given by as long as after a
  // floor change; the rest of the start's settling is cut here.
  std::vector<world::ScoredTick> scored;
  const double from = ticks.empty() ? 0 : ticks.front().seconds + std::max(0.0, startSettle - floorSettle);
  for (const world::ScoredTick& t : ticks) {
    if (t.seconds >= from) scored.push_back(t);
  }
  f.score = world::ScoreTicks(scored, floorSettle, &f.errors);
  if (!scored.empty()) world::ScoreTicks(AgainstEarlierTruth(scored), floorSettle, &f.earlierErrors);
  f.turnLags = TurnLags(ticks, FindTurns(ticks));
  f.floorLags = FloorLags(ticks, FindFloorChanges(ticks));
  return f;
}

}  // namespace eval
