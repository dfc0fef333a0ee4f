// One generated venue of the evaluation: its archive for each method, a walk
// that changes floor (when the venue has several) and a one-floor walk with
// the radio off for dead reckoning, written to the job's directory:
// m<method>.mvz, walk.log, walk.truth.csv, level.log, level.truth.csv.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "eval/dead_reckoning.h"
#include "eval/eval_plan.h"
#include "server/route_path.h"

namespace eval {

// One generated venue and walk, written to its own directory.
struct VenueJob {
  std::string group;
  size_t kind = 0;
  int gait = -1;  // index into plan.gaits, walked in plan.gaitKind; -1: the kind's walk
  uint64_t seed = 0;
  std::string dir;
  bool ok = false;
  std::string note;   // a venue or walk the generator could not make
  std::string error;  // a file or folder that could not be written, with the system's reason
  // The same venue's one-floor walk with the radio off, for dead reckoning.
  bool drOk = false;
  std::vector<TrueLeg> drLegs;
  int64_t drFirstMs = 0;
  LocationPoint drStart;
};

// Fills the job from plan.kinds[job->kind] (or plan.gaits[job->gait] in
// plan.gaitKind) and job->seed. A seed whose rooms
// give no usable route tries the next few walk seeds; what still fails is
// left in job->note, a file that cannot be written in job->error (with ok or
// drOk false).
void GenerateVenueWalks(const Plan& plan, VenueJob* job);

}  // namespace eval
