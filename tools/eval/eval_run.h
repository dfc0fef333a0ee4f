// Runs an evaluation plan: generates its venues and walks, replays every walk
// and recording through the navigation client under each setting (and the
// recordings through the simple 3-NN), on several threads, and gathers the
// table's rows. The result does not depend on the number of threads.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "eval/eval_plan.h"
#include "eval/eval_table.h"

namespace eval {

struct EvalOptions {
  Plan plan;
  int threads = 8;
  std::string workDir;  // generated archives and logs; empty: a temporary directory, removed afterwards
  // Empty: no pictures. Else the error distributions (cdf-<set>.png) and
  // every walk's floor plans (walks/<set>-<kind>-seed<n>-<method>-floor<id>.png,
  // walks/<set>-<kind>-seed<n>-dead-reckoning-floor<id>.png,
  // walks/<set>-<track>-floor<id>.png) land there.
  std::string pictureDir;
  // Told how far each stage ("generating venues", "positioning walks",
  // "drawing pictures") has got: done of total. Called from the worker
  // threads, one at a time; may be empty.
  std::function<void(const std::string& stage, size_t done, size_t total)> progress;
};

// Recording goal: the kit's p75 at least 25% below the 3-NN's on each track and map.
// The same for the track's first and second half by time, so that a change
// tuned on one half can be checked on the other.
struct GoalCheck {
  std::string map, track;
  double kitP75 = 0, knnP75 = 0;
  double halfKitP75[2] = {0, 0}, halfKnnP75[2] = {0, 0};
  double below() const { return Below(kitP75, knnP75); }
  double halfBelow(int h) const { return Below(halfKitP75[h], halfKnnP75[h]); }
  bool met() const { return below() >= 0.25; }
  static double Below(double kit, double knn) { return knn > 0 ? 1.0 - kit / knn : 0.0; }
};

// p75 of the ticks before (half 0) or from (half 1) the middle of the walk's time.
double HalfP75(const std::vector<world::ScoredTick>& ticks, int half);

struct EvalResult {
  std::vector<Row> rows;          // in plan order, group totals included
  std::vector<GoalCheck> goals;
  std::vector<DeadReckoningRow> deadReckoning;  // generated venues' level walks, radio off
  std::vector<std::string> notes; // walks that could not be generated, missing recordings
  std::vector<std::string> pictures;
};

// 0, or 1 with a message when the run is not whole: the work directory cannot
// be made, a walk's files or a picture cannot be written (with the system's
// reason), a replay fails.
int RunEvaluation(const EvalOptions& options, EvalResult* result, std::string* error);

std::string FormatGoals(const std::vector<GoalCheck>& goals);

}  // namespace eval
