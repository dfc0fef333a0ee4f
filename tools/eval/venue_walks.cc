#include "eval/venue_walks.h"

#include <filesystem>

#include "venuesim/generator.h"
#include "venuesim/venue_archive.h"
#include "venuesim/walk.h"

namespace eval {
namespace {

venuesim::VenueSpec SpecFor(const VenueKind& k, uint64_t seed) {
  venuesim::VenueSpec s;
  s.seed = seed;
  s.floors = k.floors;
  s.width = k.width;
  s.height = k.height;
  s.beaconSpacing = k.beaconSpacing;
  s.shadowSigma = k.shadowSigma;
  s.wallLoss = k.wallLoss;
  s.locationName = k.name;
  s.settingsLeftOut = k.settingsLeftOut;
  return s;
}

// The gait's walker, if any, in place of the typical adult.
void BuildWalker(const Gait* gait, venuesim::WalkSpec* w) {
  if (!gait) return;
  w->speed = gait->stepLength * gait->cadence;
  w->stepLength = gait->stepLength;
  w->swing = gait->swing;
  w->phonePitch = gait->phonePitch;
  w->phoneSway = gait->phoneSway;
}

}  // namespace

void GenerateVenueWalks(const Plan& plan, VenueJob* job) {
  const Gait* gait = job->gait >= 0 ? &plan.gaits[static_cast<size_t>(job->gait)] : nullptr;
  const VenueKind& kind = gait ? plan.gaitKind : plan.kinds[job->kind];
  venuesim::Venue venue;
  std::string why;
  if (venuesim::GenerateVenue(SpecFor(kind, job->seed), &venue, &why) != venuesim::kOk) {
    job->note = kind.name + ", seed " + std::to_string(job->seed) + ": " + why;
    return;
  }
  const venuesim::PropagationModel model(venue);
  venuesim::Walk walk;
  bool walked = false;
  // A seed whose rooms give no usable route tries the next walk seed.
  for (uint64_t attempt = 0; attempt < 5 && !walked; ++attempt) {
    venuesim::WalkSpec w;
    w.seed = job->seed * 1000 + attempt;
    w.floorChange = kind.lift ? venuesim::kByLift : venuesim::kByStairs;
    BuildWalker(gait, &w);
    if (kind.floors > 1) {
      w.startFloor = static_cast<int>(w.seed % (kind.floors - 1));
      w.endFloor = w.startFloor + 1;
      if ((job->seed / 2) % 2) std::swap(w.startFloor, w.endFloor);
    } else {
      w.startFloor = w.endFloor = 0;
    }
    walked = venuesim::GenerateWalk(venue, model, w, &walk, &why) == venuesim::kOk;
  }
  if (!walked) {
    job->note = kind.name + ", seed " + std::to_string(job->seed) + ": no walk: " + why;
    return;
  }
  std::error_code ec;
  std::filesystem::create_directories(job->dir, ec);
  if (ec) {
    job->error = "cannot make " + job->dir + ": " + ec.message();
    return;
  }
  if (venuesim::WriteWalkFiles(walk, job->dir + "/walk.log", job->dir + "/walk.truth.csv", &why) != venuesim::kOk) {
    job->error = why;
    return;
  }
  const int generatorGpMode = venue.setup.gpMode;
  for (const Method& m : plan.methods) {
    venue.setup.method = m.code;
    venue.setup.gpMode = m.gpMode != 0 ? m.gpMode : generatorGpMode;
    if (venuesim::WriteVenueArchive(venue, job->dir + "/" + ArchiveStem(m) + ".mvz", &why) !=
        venuesim::kOk) {
      job->error = why;
      return;
    }
  }
  job->ok = true;
  if (!plan.deadReckoning) return;
  venuesim::Walk level;
  bool levelWalked = false;
  for (uint64_t attempt = 0; attempt < 5 && !levelWalked; ++attempt) {
    venuesim::WalkSpec w;
    // Kinds share a seed's layout; each gets a walk of its own.
    w.seed = job->seed * 1000 + 500 + job->kind * 10 + attempt;
    w.startFloor = w.endFloor = 0;
    BuildWalker(gait, &w);
    levelWalked = venuesim::GenerateWalk(venue, model, w, &level, &why) == venuesim::kOk;
  }
  if (!levelWalked || level.ticks.empty()) {
    job->note = kind.name + ", seed " + std::to_string(job->seed) + ": no level walk: " + why;
    return;
  }
  for (venuesim::WalkTick& t : level.ticks) t.readings.clear();
  if (venuesim::WriteWalkFiles(level, job->dir + "/level.log", job->dir + "/level.truth.csv", &why) !=
      venuesim::kOk) {
    job->error = why;
    return;
  }
  for (const venuesim::WalkStretch& st : level.stretches) {
    if (st.kind != venuesim::WalkStretch::kWalk || st.stairs) continue;
    job->drLegs.push_back({st.start, st.start + st.duration, st.from.x, st.from.y, st.to.x, st.to.y});
  }
  const venuesim::TruthSample& first = level.ticks.front().truth;
  job->drFirstMs = level.ticks.front().timeMs;
  job->drStart = LocationPoint(first.floorId, first.x, first.y);
  job->drOk = true;
}

}  // namespace eval
