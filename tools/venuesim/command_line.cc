#include "venuesim/command_line.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace venuesim {
namespace {

bool ParseDouble(const std::string& text, double* out) {
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || errno == ERANGE || !std::isfinite(v)) return false;
  *out = v;
  return true;
}

bool ParseInt(const std::string& text, long long lo, long long hi, long long* out) {
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno == ERANGE || v < lo || v > hi) return false;
  *out = v;
  return true;
}

}  // namespace

void PrintUsage(FILE* out) {
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

int ParseCommandLine(const std::vector<std::string>& args, CommandLine* result, std::string* error) {
  CommandLine cl;
  VenueSpec& setup = cl.setup;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& opt = args[i];
    if (opt == "--help" || opt == "-h") return kArgsHelp;
    if (i + 1 >= args.size()) {
      if (error) *error = opt + " needs a value";
      return kArgsBad;
    }
    const std::string& value = args[++i];
    double d = 0;
    long long n = 0;
    bool ok = true, known = true;
    auto dbl = [&](double* field) {
      ok = ParseDouble(value, &d);
      if (ok) *field = d;
    };
    auto integer = [&](int* field) {
      ok = ParseInt(value, -2147483647LL, 2147483647LL, &n);
      if (ok) *field = static_cast<int>(n);
    };
    if (opt == "--out") {
      ok = !value.empty();
      cl.out = value;
    } else if (opt == "--seed") {
      ok = ParseInt(value, 0, 9223372036854775807LL, &n);
      if (ok) setup.seed = static_cast<uint64_t>(n);
    } else if (opt == "--floors") integer(&setup.floors);
    else if (opt == "--width") dbl(&setup.width);
    else if (opt == "--height") dbl(&setup.height);
    else if (opt == "--beacon-spacing") dbl(&setup.beaconSpacing);
    else if (opt == "--rp-spacing") dbl(&setup.rpSpacing);
    else if (opt == "--method") integer(&setup.method);
    else if (opt == "--gp-mode") integer(&setup.gpMode);
    else if (opt == "--mean-model") integer(&setup.meanModel);
    else if (opt == "--sigma") dbl(&setup.shadowSigma);
    else if (opt == "--shadow-cell") dbl(&setup.shadowCell);
    else if (opt == "--temporal-sigma") dbl(&setup.temporalSigma);
    else if (opt == "--A") dbl(&setup.txA);
    else if (opt == "--B") dbl(&setup.txB);
    else if (opt == "--wall-loss") dbl(&setup.wallLoss);
    else if (opt == "--floor-loss") dbl(&setup.floorLoss);
    else if (opt == "--sensitivity") dbl(&setup.sensitivity);
    else if (opt == "--survey-seconds") dbl(&setup.surveySeconds);
    else if (opt == "--scan-rate") dbl(&setup.scanRateHz);
    else if (opt == "--resolution") dbl(&setup.resolution);
    else if (opt == "--lat") dbl(&setup.latitude);
    else if (opt == "--lon") dbl(&setup.longitude);
    else if (opt == "--azimuth") dbl(&setup.azimuth);
    else if (opt == "--declination") dbl(&setup.magneticDeclination);
    else if (opt == "--location-id") integer(&setup.locationId);
    else if (opt == "--name") setup.locationName = value;
    else if (opt == "--uuid") setup.uuid = value;
    else if (opt == "--version") integer(&setup.version);
    else known = false;
    if (!known) {
      if (error) *error = "unknown option " + opt;
      return kArgsBad;
    }
    if (!ok) {
      if (error) *error = "bad value for " + opt + ": " + value;
      return kArgsBad;
    }
  }
  *result = cl;
  return kArgsOk;
}

}  // namespace venuesim
