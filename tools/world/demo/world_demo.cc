// world-demo: walks the simulated world in real time (or faster: a manual
// clock stepped at the given pace) through the stand-ins and the whole SDK
// (the coordinator loads the world's venue from an app home under DIR and
// positions every 100 ms tick), then writes the walk as the managers heard it
// as a measurement log, replays it, and prints both accuracy tables.
//   world-demo --out DIR [--seed N] [--speed X] [--ranging-only]
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "live/live_run.h"
#include "platform/paths.h"
#include "platform/run_loop.h"
#include "platform/testing.h"
#include "replay/replay_run.h"
#include "world/world.h"

namespace {

int Usage(const char* why) {
  std::fprintf(stderr,
               "world-demo: %s\nusage: world-demo --out DIR [--seed N] [--speed X] [--ranging-only]\n",
               why);
  return 2;
}

constexpr double kSettleSeconds = 8;
constexpr double kStepSeconds = 0.1;

}  // namespace

int main(int argc, char** argv) {
  std::string out;
  world::WorldSetup setup;
  double speed = 1;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    char* end = nullptr;
    if (a == "--out" && i + 1 < argc) {
      out = argv[++i];
    } else if (a == "--seed" && i + 1 < argc) {
      const unsigned long long v = std::strtoull(argv[++i], &end, 10);
      if (*end || argv[i][0] == '-' || !argv[i][0]) return Usage("--seed needs a whole number");
      setup.venue.seed = setup.walk.seed = v;
    } else if (a == "--speed" && i + 1 < argc) {
      speed = std::strtod(argv[++i], &end);
      if (*end || !(speed >= 1 && speed <= 1000)) return Usage("--speed needs a number in [1, 1000]");
    } else if (a == "--ranging-only") {
      setup.phone.radio = world::kRanging;
    } else {
      return Usage(("unexpected argument '" + a + "'").c_str());
    }
  }
  if (out.empty()) return Usage("--out DIR is required");
  std::error_code ec;
  std::filesystem::create_directories(out, ec);
  if (ec) {
    std::fprintf(stderr, "world-demo: cannot create %s: %s\n", out.c_str(), ec.message().c_str());
    return 1;
  }
  platform::RunLoop::setMainThread();
  // Faster than real time: the clock is manual and stepped at the pace asked for.
  if (speed > 1) platform::testing::useManualClock(platform::Clock::now());
  platform::Paths::setHome(std::filesystem::absolute(out) / "home");
  std::string error;
  auto w = world::World::create(setup, &error);
  if (!w) {
    std::fprintf(stderr, "world-demo: %s\n", error.c_str());
    return 1;
  }
  world::LiveSetup live;
  live.fastScan = setup.phone.radio & world::kAdvertisements;
  auto run = world::LiveRun::create(w, live, MainSDKManagers::shared(), &error);
  if (!run) {
    std::fprintf(stderr, "world-demo: %s\n", error.c_str());
    return 1;
  }
  std::printf("walking %.0f s of walk at %gx through the SDK...\n", w->durationSeconds(),
              speed);
  std::fflush(stdout);
  run->start();
  const double limit = w->durationSeconds() + 30;
  if (speed > 1) {
    for (double t = 0; t < limit && !w->finished(); t += kStepSeconds) {
      platform::testing::advance(kStepSeconds);
      std::this_thread::sleep_for(std::chrono::duration<double>(kStepSeconds / speed));
    }
  } else {
    platform::RunLoop::main()->runUntil([&] { return w->finished(); }, limit);
  }
  run->stop();
  if (!w->finished()) {
    std::fprintf(stderr, "world-demo: the walk did not finish in %.0f s\n", limit);
    return 1;
  }
  std::printf("%s", world::FormatScore("live run through the SDK",
                                       world::ScoreTicks(run->ticks(), kSettleSeconds), kSettleSeconds)
                        .c_str());

  if (w->writeLog(out + "/walk.log", out + "/walk.truth.csv", &error) != 0) {
    std::fprintf(stderr, "world-demo: %s\n", error.c_str());
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
    std::fprintf(stderr, "world-demo: %s\n", error.c_str());
    return 1;
  }
  // Scored from the walk's first tick, like the live run (the log starts a tick earlier).
  std::vector<world::ScoredTick> replayed;
  const double first = w->firstTickTime().toSeconds();
  for (const auto& r : report.ticks)
    if (r.hasTruth && r.timeMs / 1000.0 >= first - 1e-6)
      replayed.push_back({r.timeMs / 1000.0 - first, r.floorId >= 0, r.floorId, r.x, r.y,
                          r.truthFloorId, r.truthX, r.truthY});
  std::printf("%s\nreplay of %s/walk.log:\n%s",
              world::FormatScore("replay of the log", world::ScoreTicks(replayed, kSettleSeconds),
                                 kSettleSeconds)
                  .c_str(),
              out.c_str(), replay::FormatReplayReport(report).c_str());
  for (const auto& p : report.pictures) std::printf("picture: %s\n", p.c_str());
  return 0;
}
