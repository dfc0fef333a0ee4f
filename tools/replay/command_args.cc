#include "replay/command_args.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <filesystem>

#include "cli/outputs.h"

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

cli::Parser ReplayParser(ReplayOptions* o) {
  cli::Parser p("marvisto-replay",
                "--map MAP.mvz --log WALK.log [--truth WALK.truth.csv] [--target floor,x,y ...]\n"
                "                       [--png-dir DIR] [--ticks-csv FILE] [--quiet]",
                "Positions a recorded or simulated measurement log over a map archive and prints\n"
                "the accuracy table against the ground truth.");
  p.text("--map", "MAP.mvz", "map archive (required)", &o->mapPath);
  p.require("--map");
  p.text("--log", "WALK.log", "measurement log (required)", &o->logPath);
  p.require("--log");
  p.text("--truth", "CSV", "ground truth table; without it no accuracy figures", &o->truthPath);
  p.custom(
      "--target", "floor,x,y ...", "route targets (one or more)",
      [o](const std::string& v, std::string* why) {
        LocationPoint t;
        if (!ParseTarget(v, &t)) {
          *why = "bad target \"" + v + "\": expected floor,x,y";
          return false;
        }
        o->targets.push_back(t);
        return true;
      },
      true);
  p.text("--png-dir", "DIR", "draw a picture per floor into DIR (an existing folder)", &o->pngDir);
  p.text("--ticks-csv", "FILE", "write one line per positioned message", &o->ticksCsv);
  p.flag("--quiet", "no progress line on stderr (shown only on a terminal)", &o->progress, false);
  p.exitStatus(
      "0 replayed, 1 a file could not be read or written, or a --target lies on no floor of\n"
      "the map (the table is still printed when the replay itself ran), 2 usage error, or an\n"
      "output found unusable before the replay (a --png-dir folder that is missing or takes no\n"
      "files, a --ticks-csv that cannot be written)");
  return p;
}

int ParseReplayArgs(const std::vector<std::string>& args, ReplayOptions* options, std::string* error) {
  ReplayOptions o;
  cli::Parser p = ReplayParser(&o);
  switch (p.parse(args, error)) {
    case cli::Parser::kRun:
      *options = o;
      return 0;
    case cli::Parser::kBad:
      return 2;
    default:
      return 1;
  }
}

std::string CheckOutputFolders(const ReplayOptions& options) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (!options.pngDir.empty()) {
    if (!fs::is_directory(options.pngDir, ec)) return "--png-dir " + options.pngDir + ": no such folder";
    if (const std::string why = cli::FolderWritable(options.pngDir); !why.empty())
      return "--png-dir " + options.pngDir + ": cannot write there: " + why;
  }
  if (!options.ticksCsv.empty()) {
    const fs::path parent = fs::path(options.ticksCsv).parent_path();
    if (!parent.empty() && !fs::is_directory(parent, ec))
      return "--ticks-csv " + options.ticksCsv + ": no folder " + parent.string();
    if (const std::string why = cli::FileWritable(options.ticksCsv); !why.empty())
      return "--ticks-csv " + options.ticksCsv + ": cannot write it: " + why;
  }
  return "";
}

}  // namespace replay
