#include "venuesim/command_line.h"

#include <cstdint>
#include <limits>

namespace venuesim {

cli::Parser VenueGenParser(CommandLine* into) {
  cli::Parser p("marvisto-venue-gen", "--out PATH [options]",
                "Writes the map archive of a synthetic venue (floors, rooms, beacons, a survey)\n"
                "and prints a summary. The same options and seed give a byte-identical archive.");
  VenueSpec& s = into->setup;
  constexpr long long kInt = std::numeric_limits<int>::max();
  p.text("--out", "PATH", "archive to write (required)", &into->out);
  p.require("--out");
  p.whole("--seed", "N", "random seed (default 1)", &s.seed, 0, std::numeric_limits<long long>::max());
  p.whole("--floors", "N", "number of floors (default 2)", &s.floors, -kInt, kInt);
  p.real("--width", "M", "floor width in metres (default 60)", &s.width);
  p.real("--height", "M", "floor height in metres (default 30)", &s.height);
  p.real("--beacon-spacing", "M", "metres between beacons (default 8)", &s.beaconSpacing);
  p.real("--rp-spacing", "M", "metres between reference points (default 2)", &s.rpSpacing);
  p.whole("--method", "CODE",
          "107 knn, 108 gp, 109 histogram, 110 gauss, 112 trilat,\n113 rp, 114 zone (default 107)", &s.method,
          -kInt, kInt);
  p.whole("--gp-mode", "CODE", "121 full, 122 normal, 123 fixed (default 121)", &s.gpMode, -kInt, kInt);
  p.whole("--mean-model", "CODE", "104 const, 106 log (default 106)", &s.meanModel, -kInt, kInt);
  p.real("--sigma", "DB", "shadowing standard deviation (default 4)", &s.shadowSigma);
  p.real("--shadow-cell", "M", "shadowing correlation cell (default 3)", &s.shadowCell);
  p.real("--temporal-sigma", "DB", "sample noise of the survey (default 2)", &s.temporalSigma);
  p.real("--A", "DBM", "path loss A - 10 B log10 d: A (default -60)", &s.txA);
  p.real("--B", "N", "path loss exponent B (default 2)", &s.txB);
  p.real("--wall-loss", "DB", "per wall crossed (default 5)", &s.wallLoss);
  p.real("--floor-loss", "DB", "per floor between (default 15)", &s.floorLoss);
  p.real("--sensitivity", "DBM", "weakest level heard (default -100)", &s.sensitivity);
  p.real("--survey-seconds", "S", "recording per reference point (default 15)", &s.surveySeconds);
  p.real("--scan-rate", "HZ", "readings per second and beacon (default 2)", &s.scanRateHz);
  p.real("--resolution", "M", "metres per bitmap pixel (default 0.1)", &s.resolution);
  p.real("--lat", "DEG", "latitude of the floors' origin", &s.latitude);
  p.real("--lon", "DEG", "longitude of the floors' origin", &s.longitude);
  p.real("--azimuth", "DEG", "floor azimuth (default 0)", &s.azimuth);
  p.real("--declination", "DEG", "magnetic declination (default 4)", &s.magneticDeclination);
  p.whole("--location-id", "N", "(default 7001)", &s.locationId, -kInt, kInt);
  p.text("--name", "TEXT", "location name (default \"Synthetic venue\")", &s.locationName);
  p.text("--uuid", "UUID", "beacons' proximity UUID (default: from the seed)", &s.uuid);
  p.whole("--map-version", "N", "the archive's map version (default 1)", &s.version, -kInt, kInt);
  p.epilogue("example: marvisto-venue-gen --out mall.mvz --seed 7 --floors 3 --width 120 --height 40 --method 108");
  p.exitStatus("0 written, 1 the archive could not be written, 2 usage error or a setup out of range");
  return p;
}

int ParseCommandLine(const std::vector<std::string>& args, CommandLine* result, std::string* error) {
  CommandLine cl;
  cli::Parser p = VenueGenParser(&cl);
  switch (p.parse(args, error)) {
    case cli::Parser::kRun:
      *result = cl;
      return kArgsOk;
    case cli::Parser::kBad:
      return kArgsBad;
    default:
      return kArgsHelp;
  }
}

}  // namespace venuesim
