// The whole SDK on the simulated world's walk: the coordinator loads the
// world's venue, its own timer ticks under the manual clock while the world
// feeds the radio and motion stand-ins, and what it records equals the
// world's log of the same walk message by message.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <tuple>

#include "live/live_run.h"
#include "platform/bluetooth_central.h"
#include "platform/location_manager.h"
#include "platform/paths.h"
#include "replay/log_records.h"
#include "replay/replay_run.h"
#include "sdk/coordinator_scene.h"
#include "world/score.h"
#include "world/world.h"

namespace {

namespace pt = platform::testing;
constexpr double kSettle = 8;

std::vector<WScanMessage> Messages(const std::string& path) {
  std::ifstream in(path);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<WScanMessage> out;
  for (std::string_view r : replay::SplitLogRecords(text).records) {
    bool ok = false;
    WScanMessage m = WScanMessage::parse(std::string(r), &ok);
    if (ok) out.push_back(std::move(m));
  }
  return out;
}

int64_t TimeMs(const WScanMessage& m) { return m.tmUnixTime * 1000 + m.tmMillisecond; }

// What the engine is given, in an order that does not depend on which queue
// delivered first within one instant.
using Radio = std::tuple<int64_t, std::string, double, int>;
using Sensor = std::tuple<int64_t, int, double, double, double, double>;
std::vector<Radio> RadioOf(const WScanMessage& m) {
  std::vector<Radio> v;
  for (const auto& e : m.entries) v.emplace_back(e.offset, e.bssid, e.rssi, e.type);
  std::sort(v.begin(), v.end());
  return v;
}
std::vector<Sensor> SensorsOf(const WScanMessage& m) {
  std::vector<Sensor> v;
  for (const auto& s : m.sensorEntries)
    v.emplace_back(s.offset, s.type, s.values[0], s.values[1], s.values[2], s.values[3]);
  std::sort(v.begin(), v.end());
  return v;
}

TEST(LiveWalkTest, TheCoordinatorRecordsTheWorldsLogAndPositionsLikeItsReplay) {
  sdk_test::CoordinatorScene c;
  platform::location::reset();
  world::WorldSetup setup;
  setup.phone.fixSeconds = 5;
  std::string error;
  auto w = world::World::create(setup, &error);
  ASSERT_TRUE(w) << error;
  world::LiveSetup live;
  live.record = true;
  auto run = world::LiveRun::create(w, live, sdk_test::FreshManagers(), &error);
  ASSERT_TRUE(run) << error;
  pt::settle();

  std::map<int64_t, int> inside;  // zone id -> entries minus exits
  bool zonesBalanced = true;
  int zoneEvents = 0;
  const auto mainThread = std::this_thread::get_id();
  auto delegate = std::make_shared<MainSDKDelegate>();
  delegate->didEnterZoneWithId = [&](MainSDK&, int64_t id) {
    zonesBalanced &= ++inside[id] == 1 && std::this_thread::get_id() != mainThread;
    ++zoneEvents;
  };
  delegate->didExitZoneWithId = [&](MainSDK&, int64_t id) {
    zonesBalanced &= --inside[id] == 0 && std::this_thread::get_id() != mainThread;
    ++zoneEvents;
  };
  run->sdk().setDelegate(delegate);
  run->start();
  while (!w->finished()) pt::advance(0.1);
  pt::advance(0.2);  // the tick after the last reading
  run->stop();
  EXPECT_TRUE(zonesBalanced);
  EXPECT_GE(zoneEvents, 2);

  // Message by message: the coordinator's recording holds exactly the world's
  // log, which starts with the coordinator's first tick. A reading at a tick's very instant
  // reaches the next tick in both (the world's ranging batches are on the
  // tick grid), so the radio entries, sensor samples and offsets agree exactly.
  ASSERT_EQ(w->writeLog(c.home.path() / "walk.log", c.home.path() / "walk.csv", &error), 0);
  const std::vector<WScanMessage> logged = Messages(c.home.path() / "walk.log");
  const std::vector<WScanMessage> recorded = Messages(run->recordedLog());
  ASSERT_FALSE(logged.empty());
  const auto first = std::find_if(recorded.begin(), recorded.end(), [&](const WScanMessage& m) {
    return TimeMs(m) == TimeMs(logged[0]);
  });
  ASSERT_NE(first, recorded.end());
  const size_t skip = size_t(first - recorded.begin());
  ASSERT_GE(recorded.size() - skip, logged.size());
  size_t radio = 0, sensors = 0;
  for (size_t i = 0; i < logged.size(); ++i) {
    const WScanMessage& a = recorded[skip + i];
    const WScanMessage& b = logged[i];
    ASSERT_EQ(TimeMs(a), TimeMs(b)) << i;
    ASSERT_EQ(std::tie(a.tmYear, a.tmMonth, a.tmDay, a.tmHour, a.tmMinute, a.tmSecond),
              std::tie(b.tmYear, b.tmMonth, b.tmDay, b.tmHour, b.tmMinute, b.tmSecond))
        << i;
    ASSERT_EQ(RadioOf(a), RadioOf(b)) << "message " << i;
    ASSERT_EQ(SensorsOf(a), SensorsOf(b)) << "message " << i;
    radio += b.entries.size();
    sensors += b.sensorEntries.size();
  }
  std::printf("%zu messages alike: %zu radio entries, %zu sensor samples\n", logged.size(), radio,
              sensors);

  // The engine's replay of the world's log, scored alike.
  replay::ReplayOptions o;
  o.mapPath = (platform::Paths::documents() / live.name / "map.mvz").string();
  o.logPath = (c.home.path() / "walk.log").string();
  o.truthPath = (c.home.path() / "walk.csv").string();
  o.progress = false;
  replay::ReplayReport report;
  ASSERT_EQ(replay::RunReplay(o, &report, &error), 0) << error;
  // Scored from the walk's first tick, as the live run is (the log's first
  // ticks, before the walk, are positioned but not scored).
  std::vector<world::ScoredTick> replayed;
  const double walkStart = w->firstTickTime().toSeconds();
  for (const auto& r : report.ticks) {
    if (r.timeMs / 1000.0 < walkStart - 1e-6) continue;
    replayed.push_back({r.timeMs / 1000.0 - walkStart, r.floorId >= 0, r.floorId, r.x, r.y,
                        r.truthFloorId, r.truthX, r.truthY});
  }
  const world::Score sdk = world::ScoreTicks(run->ticks(), kSettle);
  const world::Score engine = world::ScoreTicks(replayed, kSettle);
  std::printf("%s%s", world::FormatScore("through the coordinator", sdk, kSettle).c_str(),
              world::FormatScore("engine replay of the world's log", engine, kSettle).c_str());
  EXPECT_NEAR(sdk.median, engine.median, 0.05);
  EXPECT_NEAR(sdk.p75, engine.p75, 0.05);
  EXPECT_NEAR(sdk.rightFloor, engine.rightFloor, 0.01);
  EXPECT_EQ(sdk.evaluated, engine.evaluated);

  // The SDK's own recording, fed back through another coordinator's tick, gives the live positions.
  c.sdk->loadArchive(live.name, nullptr);
  const auto livePositions = run->positions();
  c.replay(run->recordedLog());
  const auto replayedPositions = c.server->take();
  // Every recorded tick is replayed; the record the stop writes closes the log and is not.
  ASSERT_EQ(replayedPositions.size(), livePositions.size());
  double worst = 0;
  for (size_t i = 0; i < replayedPositions.size(); ++i) {
    ASSERT_EQ(replayedPositions[i][0], livePositions[i][0]) << i;
    worst = std::max({worst, std::abs(replayedPositions[i][1] - livePositions[i][1]),
                      std::abs(replayedPositions[i][2] - livePositions[i][2])});
  }
  std::printf("largest difference live / replayed through the tick: %g m\n", worst);
  EXPECT_LE(worst, 1e-3);
}

}  // namespace
