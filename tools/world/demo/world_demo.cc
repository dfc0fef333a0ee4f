// marvisto-world-demo: walks the simulated world in real time (or faster: a manual
// clock stepped at the given pace) through the stand-ins and the whole SDK
// (the coordinator loads the world's venue from an app home under DIR and
// positions every 100 ms tick), then writes the walk as the managers heard it
// as a measurement log, replays it, and prints both accuracy tables.
//   marvisto-world-demo --out DIR [--seed N] [--speed X] [--ranging-only]
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <string>
#include <thread>

#include "cli/cli.h"
#include "cli/outputs.h"
#include "cli/progress.h"
#include "live/live_run.h"
#include "platform/paths.h"
#include "platform/run_loop.h"
#include "platform/testing.h"
#include "replay/replay_run.h"
#include "world/world.h"

namespace {

constexpr double kSettleSeconds = 8;
constexpr double kStepSeconds = 0.1;

}  // namespace

int main(int argc, char** argv) {
  std::string out;
  world::WorldSetup setup;
  double speed = 1;
  bool rangingOnly = false;
  cli::Parser parser("marvisto-world-demo", "--out DIR [--seed N] [--speed X] [--ranging-only]",
                     "Walks a person through the simulated world and the whole SDK, writes the walk as\n"
                     "the managers heard it as a measurement log, replays it and prints both accuracy\n"
                     "tables.");
  parser.text("--out", "DIR", "folder for the app home, the log and the pictures (created)", &out);
  parser.require("--out");
  parser.whole("--seed", "N", "seed of the venue and the walk (default 1)", 0,
               std::numeric_limits<long long>::max(),
               [&](long long v) { setup.venue.seed = setup.walk.seed = static_cast<uint64_t>(v); });
  parser.real("--speed", "X", "times real time, on a manual clock above 1 (default 1)", &speed, 1, 1000);
  parser.flag("--ranging-only", "beacons heard through ranging only, no advertisements", &rangingOnly);
  if (const int rc = parser.handle(argc, argv); rc >= 0) return rc;
  if (rangingOnly) setup.phone.radio = world::kRanging;
  // The log and the pictures come after the walk: a folder that cannot take them is found first.
  if (const std::string why = cli::MakeWritableFolder(out); !why.empty()) {
    std::fprintf(stderr, "marvisto-world-demo: cannot write into %s: %s\n", out.c_str(), why.c_str());
    return 1;
  }
  platform::RunLoop::setMainThread();
  // Faster than real time: the clock is manual and stepped at the pace asked for.
  if (speed > 1) platform::testing::useManualClock(platform::Clock::now());
  platform::Paths::setHome(std::filesystem::absolute(out) / "home");
  std::string error;
  auto w = world::World::create(setup, &error);
  if (!w) {
    std::fprintf(stderr, "marvisto-world-demo: %s\n", error.c_str());
    return 1;
  }
  world::LiveSetup live;
  live.fastScan = setup.phone.radio & world::kAdvertisements;
  auto run = world::LiveRun::create(w, live, MainSDKManagers::shared(), &error);
  if (!run) {
    std::fprintf(stderr, "marvisto-world-demo: %s\n", error.c_str());
    return 1;
  }
  std::printf("walking %.0f s of walk at %gx through the SDK...\n", w->durationSeconds(),
              speed);
  std::fflush(stdout);
  run->start();
  const double limit = w->durationSeconds() + 30;
  const double started = platform::Clock::nowSeconds();
  cli::Progress progress("marvisto-world-demo");
  auto showWalk = [&](bool force) {
    char line[96];
    const double walked = platform::Clock::nowSeconds() - started;
    std::snprintf(line, sizeof line, "walked %.0f of %.0f s (%.0f%%)", walked, w->durationSeconds(),
                  std::min(100.0, 100.0 * walked / std::max(1.0, w->durationSeconds())));
    progress.show(line, force);
  };
  showWalk(true);
  if (speed > 1) {
    for (double t = 0; t < limit && !w->finished(); t += kStepSeconds) {
      platform::testing::advance(kStepSeconds);
      std::this_thread::sleep_for(std::chrono::duration<double>(kStepSeconds / speed));
      showWalk(false);
    }
  } else {
    // In slices, so that the line moves while the loop waits for the walk.
    while (!w->finished() && platform::Clock::nowSeconds() - started < limit) {
      platform::RunLoop::main()->runUntil([&] { return w->finished(); },
                                          std::min(0.5, limit - (platform::Clock::nowSeconds() - started)));
      showWalk(false);
    }
  }
  progress.clear();
  run->stop();
  if (!w->finished()) {
    std::fprintf(stderr, "marvisto-world-demo: the walk did not finish in %.0f s\n", limit);
    return 1;
  }
  std::printf("%s", world::FormatScore("live run through the SDK",
                                       world::ScoreTicks(run->ticks(), kSettleSeconds), kSettleSeconds)
                        .c_str());

  if (w->writeLog(out + "/walk.log", out + "/walk.truth.csv", &error) != 0) {
    std::fprintf(stderr, "marvisto-world-demo: %s\n", error.c_str());
    return 1;
  }
  replay::ReplayOptions o;
  o.mapPath = (platform::Paths::documents() / live.name / "map.mvz").string();
  o.logPath = out + "/walk.log";
  o.truthPath = out + "/walk.truth.csv";
  o.pngDir = out;
  o.progress = false;
  replay::ReplayReport report;
  if (replay::RunReplay(o, &report, &error) != 0) {
    std::fprintf(stderr, "marvisto-world-demo: %s\n", error.c_str());
    return 1;
  }
  // Scored from the walk's first tick, like the live run (the log starts a tick earlier).
  const std::vector<world::ScoredTick> replayed =
      world::ScoredFromReplay(report, std::llround(w->firstTickTime().toSeconds() * 1000.0));
  // The replay's own table counts every tick with a truth row, the settling
  // time and the ticks right after a floor change included, so its right-floor
  // figure differs from the two above; the heading says so.
  std::printf("%s\nreplay of %s/walk.log, every tick with a truth row (no settling time):\n%s",
              world::FormatScore("replay of the log", world::ScoreTicks(replayed, kSettleSeconds),
                                 kSettleSeconds)
                  .c_str(),
              out.c_str(), replay::FormatReplayReport(report).c_str());
  for (const auto& p : report.pictures) std::printf("picture: %s\n", p.c_str());
  return 0;
}
