#include "replay/command_args.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace replay {
namespace {

// "floor,x,y": an integer floor id and two finite coordinates.
bool ParseTarget(const std::string& text, LocationPoint* out) {
  const char* p = text.c_str();
  char* end = nullptr;
  errno = 0;
  const long floor = std::strtol(p, &end, 10);
  if (end == p || *end != ',' || errno == ERANGE || floor < -2147483647L || floor > 2147483647L) return false;
  p = end + 1;
  const double x = std::strtod(p, &end);
  if (end == p || *end != ',' || !std::isfinite(x)) return false;
  p = end + 1;
  const double y = std::strtod(p, &end);
  if (end == p || *end != '\0' || !std::isfinite(y)) return false;
  *out = LocationPoint(static_cast<int>(floor), x, y);
  return true;
}

}  // namespace

std::string ReplayUsage() {
  return "usage: replay --map map.mvz --log walk.log [--truth walk.truth.csv]\n"
         "              [--target floor,x,y ...] [--png-dir DIR] [--ticks-csv FILE] [--quiet]\n";
}

int ParseReplayArgs(const std::vector<std::string>& args, ReplayOptions* options, std::string* error) {
  ReplayOptions o;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string* into) {
      if (i + 1 >= args.size() || args[i + 1].empty()) {
        *error = a + " needs a value";
        return false;
      }
      *into = args[++i];
      return true;
    };
    if (a == "--map") {
      if (!value(&o.mapPath)) return 2;
    } else if (a == "--log") {
      if (!value(&o.logPath)) return 2;
    } else if (a == "--truth") {
      if (!value(&o.truthPath)) return 2;
    } else if (a == "--png-dir") {
      if (!value(&o.pngDir)) return 2;
    } else if (a == "--ticks-csv") {
      if (!value(&o.ticksCsv)) return 2;
    } else if (a == "--quiet") {
      o.progress = false;
    } else if (a == "--target") {
      // One or more floor,x,y values follow.
      size_t taken = 0;
      while (i + 1 < args.size() && args[i + 1].rfind("--", 0) != 0) {
        LocationPoint p;
        if (!ParseTarget(args[i + 1], &p)) {
          *error = "bad target '" + args[i + 1] + "': expected floor,x,y";
          return 2;
        }
        o.targets.push_back(p);
        ++i;
        ++taken;
      }
      if (taken == 0) {
        *error = "--target needs floor,x,y";
        return 2;
      }
    } else if (a == "--help" || a == "-h") {
      *error = ReplayUsage();
      return 2;
    } else {
      *error = "unknown argument '" + a + "'";
      return 2;
    }
  }
  if (o.mapPath.empty() || o.logPath.empty()) {
    *error = "--map and --log are required";
    return 2;
  }
  *options = o;
  return 0;
}

}  // namespace replay
