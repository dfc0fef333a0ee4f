// marvisto-demo: generates the built-in venue (two floors, beacons every 8 m,
// 4 dB shadowing) and a walk through it, positions the walk with the engine
// and prints the accuracy table and the pictures it drew.
//   marvisto-demo --out DIR [--seed N] [--lift] [--no-sensors]
// --lift changes floor by lift instead of stairs; --no-sensors leaves the
// motion-sensor samples out of the walk (radio only).
#include <cstdio>
#include <filesystem>
#include <limits>
#include <string>

#include "cli/cli.h"
#include "cli/outputs.h"
#include "replay/replay_run.h"
#include "venuesim/generator.h"
#include "venuesim/propagation.h"
#include "venuesim/venue_archive.h"
#include "venuesim/walk.h"

int main(int argc, char** argv) {
  std::string outDir;
  uint64_t seed = 1;
  bool sensors = true, lift = false;
  cli::Parser parser("marvisto-demo", "--out DIR [--seed N] [--lift] [--no-sensors]",
                     "Generates the built-in venue and a walk through it, positions the walk with the\n"
                     "engine and prints the accuracy table and the pictures it drew into DIR.");
  parser.text("--out", "DIR", "folder for the venue, the walk and the pictures (created)", &outDir);
  parser.require("--out");
  parser.whole("--seed", "N", "seed of the venue and the walk (default 1)", &seed, 0,
               std::numeric_limits<long long>::max());
  parser.flag("--lift", "change floor by lift instead of stairs", &lift);
  parser.flag("--no-sensors", "leave the motion-sensor samples out of the walk (radio only)", &sensors, false);
  if (const int rc = parser.handle(argc, argv); rc >= 0) return rc;
  if (const std::string why = cli::MakeWritableFolder(outDir); !why.empty()) {
    std::fprintf(stderr, "marvisto-demo: cannot write into %s: %s\n", outDir.c_str(), why.c_str());
    return 1;
  }

  venuesim::VenueSpec setup;  // the defaults are the demo venue
  setup.seed = seed;
  setup.floors = 2;
  setup.beaconSpacing = 8.0;
  setup.shadowSigma = 4.0;
  std::string error;
  venuesim::Venue venue;
  if (venuesim::GenerateVenue(setup, &venue, &error) != venuesim::kOk) {
    std::fprintf(stderr, "marvisto-demo: venue: %s\n", error.c_str());
    return 1;
  }
  const std::string mapPath = outDir + "/venue.mvz";
  if (venuesim::WriteVenueArchive(venue, mapPath, &error) != venuesim::kOk) {
    std::fprintf(stderr, "marvisto-demo: %s\n", error.c_str());
    return 1;
  }
  const venuesim::PropagationModel model(venue);
  venuesim::WalkSpec walkSpec;
  walkSpec.seed = seed;
  walkSpec.sensors = sensors;
  walkSpec.floorChange = lift ? venuesim::kByLift : venuesim::kByStairs;
  venuesim::Walk walk;
  if (venuesim::GenerateWalk(venue, model, walkSpec, &walk, &error) != venuesim::kOk) {
    std::fprintf(stderr, "marvisto-demo: %s\n", error.c_str());
    return 1;
  }
  const std::string logPath = outDir + "/walk.log", truthPath = outDir + "/walk.truth.csv";
  if (venuesim::WriteWalkFiles(walk, logPath, truthPath, &error) != venuesim::kOk) {
    std::fprintf(stderr, "marvisto-demo: %s\n", error.c_str());
    return 1;
  }

  replay::ReplayOptions options;
  options.mapPath = mapPath;
  options.logPath = logPath;
  options.truthPath = truthPath;
  options.pngDir = outDir;
  // A route to the room the walk ends in.
  const venuesim::TruthSample& end = walk.ticks.back().truth;
  options.targets.push_back(LocationPoint(end.floorId, end.x, end.y));
  replay::ReplayReport report;
  if (replay::RunReplay(options, &report, &error) != 0) {
    std::fprintf(stderr, "marvisto-demo: %s\n", error.c_str());
    return 1;
  }
  std::printf("Venue: %d floors of %.0f x %.0f m, beacons every %.0f m, shadowing %.0f dB (seed %llu): %s\n",
              setup.floors, setup.width, setup.height, setup.beaconSpacing, setup.shadowSigma,
              static_cast<unsigned long long>(seed), mapPath.c_str());
  std::printf("Walk: %.0f s, %d true steps, floor %d to %d by %s: %s, %s\n",
              walk.ticks.size() * walkSpec.tickSeconds, walk.trueSteps, venue.floors[walkSpec.startFloor].id,
              venue.floors[walkSpec.endFloor].id, lift ? "lift" : "stairs", logPath.c_str(), truthPath.c_str());
  std::printf("Route target: floor %d (%.1f, %.1f)\n\n", end.floorId, end.x, end.y);
  std::printf("%s", replay::FormatReplayReport(report).c_str());
  for (const std::string& p : report.pictures) {
    std::printf("picture: %s (green true path, red estimate, blue route)\n", p.c_str());
  }
  return 0;
}
