// venue-gen: writes a synthetic venue's map archive.
//   venue-gen --out map.mvz --seed 7 --floors 3 --method 108
// Prints a short summary; exits 0 on success, 1 when generation or writing
// fails, 2 on a bad command line.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>

#include "venuesim/generator.h"
#include "venuesim/venue_archive.h"

namespace {

void Usage(FILE* out) {
  std::fprintf(out,
               "usage: venue-gen [options]\n"
               "  --out PATH            archive to write (default map.mvz)\n"
               "  --seed N              random seed (default 1)\n"
               "  --floors N            1..5 (default 2)\n"
               "  --width M, --height M floor size in metres (default 60 x 30)\n"
               "  --beacon-spacing M    metres between beacons (default 8)\n"
               "  --rp-spacing M        metres between reference points (default 2)\n"
               "  --method CODE         107 knn, 108 gp, 109 histogram, 110 gauss, 112 trilat,\n"
               "                        113 rp, 114 zone (default 107)\n"
               "  --gp-mode CODE        121 full, 122 normal, 123 fixed (default 121)\n"
               "  --mean-model CODE     104 const, 106 log (default 106)\n"
               "  --sigma DB            shadowing standard deviation (default 4)\n"
               "  --shadow-cell M       shadowing correlation cell (default 3)\n"
               "  --temporal-sigma DB   sample noise of the survey (default 2)\n"
               "  --A DBM, --B N        path loss A - 10 B log10 d (default -60, 2)\n"
               "  --wall-loss DB        per wall crossed (default 5)\n"
               "  --floor-loss DB       per floor between (default 15)\n"
               "  --sensitivity DBM     weakest level heard (default -100)\n"
               "  --survey-seconds S    recording per reference point (default 15)\n"
               "  --scan-rate HZ        readings per second and beacon (default 2)\n"
               "  --resolution M        metres per bitmap pixel (default 0.1)\n"
               "  --lat DEG, --lon DEG  GPS binding of the floors' origin\n"
               "  --azimuth DEG         floor azimuth (default 0)\n"
               "  --declination DEG     magnetic declination (default 4)\n"
               "  --location-id N       (default 7001)\n"
               "  --name TEXT           location name (default \"Synthetic venue\")\n"
               "  --uuid UUID           beacons' proximity UUID (default: from the seed)\n"
               "  --version N           map version (default 1)\n");
}

bool ParseDouble(const char* text, double* out) {
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text, &end);
  if (end == text || *end != '\0' || errno == ERANGE || !std::isfinite(v)) return false;
  *out = v;
  return true;
}

bool ParseInt(const char* text, long long lo, long long hi, long long* out) {
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(text, &end, 10);
  if (end == text || *end != '\0' || errno == ERANGE || v < lo || v > hi) return false;
  *out = v;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  venuesim::VenueSpec spec;
  std::string out = "map.mvz";
  for (int i = 1; i < argc; ++i) {
    const std::string opt = argv[i];
    if (opt == "--help" || opt == "-h") {
      Usage(stdout);
      return 0;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "venue-gen: %s needs a value\n", opt.c_str());
      Usage(stderr);
      return 2;
    }
    const char* value = argv[++i];
    double d = 0;
    long long n = 0;
    bool ok = true;
    auto dbl = [&](double* field) { ok = ParseDouble(value, &d) && (*field = d, true); };
    auto integer = [&](int* field) { ok = ParseInt(value, -2147483647LL, 2147483647LL, &n) && (*field = int(n), true); };
    if (opt == "--out") out = value;
    else if (opt == "--seed") ok = ParseInt(value, 0, 9223372036854775807LL, &n) && (spec.seed = uint64_t(n), true);
    else if (opt == "--floors") integer(&spec.floors);
    else if (opt == "--width") dbl(&spec.width);
    else if (opt == "--height") dbl(&spec.height);
    else if (opt == "--beacon-spacing") dbl(&spec.beaconSpacing);
    else if (opt == "--rp-spacing") dbl(&spec.rpSpacing);
    else if (opt == "--method") integer(&spec.method);
    else if (opt == "--gp-mode") integer(&spec.gpMode);
    else if (opt == "--mean-model") integer(&spec.meanModel);
    else if (opt == "--sigma") dbl(&spec.shadowSigma);
    else if (opt == "--shadow-cell") dbl(&spec.shadowCell);
    else if (opt == "--temporal-sigma") dbl(&spec.temporalSigma);
    else if (opt == "--A") dbl(&spec.txA);
    else if (opt == "--B") dbl(&spec.txB);
    else if (opt == "--wall-loss") dbl(&spec.wallLoss);
    else if (opt == "--floor-loss") dbl(&spec.floorLoss);
    else if (opt == "--sensitivity") dbl(&spec.sensitivity);
    else if (opt == "--survey-seconds") dbl(&spec.surveySeconds);
    else if (opt == "--scan-rate") dbl(&spec.scanRateHz);
    else if (opt == "--resolution") dbl(&spec.resolution);
    else if (opt == "--lat") dbl(&spec.latitude);
    else if (opt == "--lon") dbl(&spec.longitude);
    else if (opt == "--azimuth") dbl(&spec.azimuth);
    else if (opt == "--declination") dbl(&spec.magneticDeclination);
    else if (opt == "--location-id") integer(&spec.locationId);
    else if (opt == "--name") spec.locationName = value;
    else if (opt == "--uuid") spec.uuid = value;
    else if (opt == "--version") integer(&spec.version);
    else {
      std::fprintf(stderr, "venue-gen: unknown option %s\n", opt.c_str());
      Usage(stderr);
      return 2;
    }
    if (!ok) {
      std::fprintf(stderr, "venue-gen: bad value for %s: %s\n", opt.c_str(), value);
      return 2;
    }
  }

  venuesim::Venue venue;
  std::string error;
  if (venuesim::GenerateVenue(spec, &venue, &error) != venuesim::kOk) {
    std::fprintf(stderr, "venue-gen: %s\n", error.c_str());
    return 2;
  }
  if (venuesim::WriteVenueArchive(venue, out, &error) != venuesim::kOk) {
    std::fprintf(stderr, "venue-gen: %s\n", error.c_str());
    return 1;
  }
  struct stat st {};
  const long long size = stat(out.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
  std::printf("wrote %s (%lld bytes): location %d \"%s\", seed %llu, method %s\n", out.c_str(), size,
              spec.locationId, spec.locationName.c_str(), static_cast<unsigned long long>(spec.seed),
              venuesim::MethodWord(spec.method).c_str());
  for (const venuesim::VenueFloor& f : venue.floors) {
    size_t entries = 0;
    for (const auto& p : f.points) entries += p.entries.size();
    std::printf("  floor %d: %g x %g m, %zu rooms, %zu walls, %zu beacons, %zu reference points, %zu readings\n",
                f.id, spec.width, spec.height, f.rooms.size(), f.walls.size(), f.beacons.size(), f.points.size(),
                entries);
  }
  return 0;
}
