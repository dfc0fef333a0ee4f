// The whole kit through the facade: the location downloaded from our content
// server, navigation on the simulated world's walk under the manual clock,
// zone events, a route, heat-map lines counted where they land, and the
// recorded log replayed through the facade's log path and the engine's replay
// tool with the live positions.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <map>
#include <regex>
#include <set>

#include "MCBeaconManager/mc_beacon_manager.h"
#include "MCLogManager/mc_log_manager.h"
#include "MCServerManager/mc_server_manager.h"
#include "platform/app.h"
#include "platform/bluetooth_central.h"
#include "platform/location_manager.h"
#include "platform/paths.h"
#include "replay/replay_run.h"
#include "sdk/facade/facade_scene.h"
#include "world/score.h"
#include "world/world.h"

namespace {

namespace fs = std::filesystem;
namespace pt = platform::testing;

// The lines the heat-map step handed to the queue.
class CountingEngine : public MMQueueEngine {
 public:
  void addMessage(const std::string& text) override {
    {
      std::lock_guard lock(mutex_);
      lines.push_back(text);
    }
    MMQueueEngine::addMessage(text);
  }
  std::vector<std::string> taken() {
    std::lock_guard lock(mutex_);
    return lines;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines;
};

struct Position {
  int64_t floor;
  double x, y;
};

// The positions of the ticks, one per tick, none where the step failed.
using Track = std::vector<std::optional<Position>>;

std::optional<Position> Of(const MCDeviceInfo& info) {
  if (info.error) return std::nullopt;
  return Position{info.sublocation, info.x, info.y};
}

// Equal tick by tick where both have a position; how many were compared.
size_t Compare(const Track& a, const Track& b, double* worst) {
  size_t n = 0;
  for (size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
    EXPECT_EQ(a[i].has_value(), b[i].has_value()) << i;
    if (!a[i] || !b[i]) continue;
    ++n;
    EXPECT_EQ(a[i]->floor, b[i]->floor) << i;
    *worst = std::max({*worst, std::abs(a[i]->x - b[i]->x), std::abs(a[i]->y - b[i]->y)});
  }
  return n;
}

TEST(FacadeLiveTest, DownloadWalkRecordReplay) {
  facade_test::FacadeScene s;
  const contentserver::Location served = facade_test::VenueLocation(1);
  s.server->addLocation(served);
  auto engine = std::make_shared<CountingEngine>();
  s.managers.serverManager->setMqEngine(engine);
  s.makeCore(s.managers);
  const std::string name = "#" + std::to_string(served.id);
  const auto o = s.download(name, false, [](const facade_test::Outcome& o) { return o.remote() || !o.fails.empty(); });
  ASSERT_TRUE(o.has("remote 1")) << (o.fails.empty() ? "" : o.fails[0].localizedDescription);

  platform::location::reset();
  world::WorldSetup setup;
  std::string error;
  auto w = world::World::create(setup, &error);
  ASSERT_TRUE(w) << error;
  platform::location::setAuthorizationStatus(platform::kAuthorizationStatusAuthorizedAlways);
  platform::bluetooth::setRadioState(platform::kCentralStatePoweredOn);
  pt::settle();

  auto delegate = std::make_shared<MarvistoCoreDelegate>();
  std::map<int64_t, int> inside;
  bool balanced = true;
  int zoneEvents = 0;
  const auto mainThread = std::this_thread::get_id();
  delegate->didEnterZoneWithId = [&](int64_t id) {
    balanced &= ++inside[id] == 1 && std::this_thread::get_id() != mainThread;
    ++zoneEvents;
  };
  delegate->didExitZoneWithId = [&](int64_t id) {
    balanced &= --inside[id] == 0 && std::this_thread::get_id() != mainThread;
    ++zoneEvents;
  };
  s.core->setDelegate(delegate);
  s.core->_fastScanEnabled(true);
  const auto& end = w->walk().ticks.back().truth;
  s.core->addTatget(*MCLocationPoint::pointWithLocation(served.id, end.floorId, MCNumber(float(end.x)),
                                                        MCNumber(float(end.y))));
  // The central learns that the radio is on before the first advertisement.
  platform::dispatch::sync(s.managers.beaconManager->centralManager()->queue(), [] {});
  // Recording first: the tick that starts with navigation is in the log. The
  // coordinator's ticks and the walk's share one grid from this instant.
  const std::string recorded = s.core->_startSaveLogToFile();
  ASSERT_FALSE(recorded.empty());
  s.core->startMarvisto();
  w->start();
  EXPECT_EQ(fs::path(recorded).parent_path(), platform::Paths::documents() / name);
  const double t0 = platform::Clock::nowSeconds();
  Track live;
  std::vector<world::ScoredTick> scored;
  bool routed = false;
  pt::settle();  // the tick of this instant
  live.push_back(Of(*s.core->deviceInfo()));
  while (!w->finished()) {
    pt::advance(0.1);
    const auto info = s.core->deviceInfo();
    live.push_back(Of(*info));
    if (info->error) continue;
    routed |= !info->paths.empty();
    if (auto truth = w->truthAt(platform::Clock::now()))
      scored.push_back({info->time - t0, info->sublocation >= 0, int(info->sublocation), info->x, info->y,
                        truth->floorId, truth->x, truth->y});
  }
  s.core->_stopSaveLogToFile();
  s.core->stopMarvisto();
  w->stop();
  EXPECT_TRUE(balanced);
  EXPECT_GE(zoneEvents, 2);
  EXPECT_TRUE(routed);
  const world::Score score = world::ScoreTicks(scored, 8);
  std::printf("%s", world::FormatScore("through the facade", score, 8).c_str());
  // The built-in venue's targets.
  EXPECT_LE(score.median, 1.5);
  EXPECT_LE(score.p75, 2.0);
  EXPECT_GE(score.rightFloor, 0.98);

  // Every line the heat-map step queued reached the server once, 10 s apart or more.
  pt::settle();
  const auto queued = engine->taken();
  ASSERT_GE(queued.size(), 3u);
  std::vector<std::string> received;
  ASSERT_TRUE(pt::pumpUntil([&] {
    received.clear();
    for (const auto& r : s.server->records()) {
      if (r.path != "/xmlParserInsert" || r.status != 200) continue;
      std::istringstream in(r.xml);
      for (std::string line; std::getline(in, line);)
        if (!line.empty()) received.push_back(line);
    }
    return received.size() >= queued.size();
  }, 20));
  EXPECT_EQ(std::multiset<std::string>(received.begin(), received.end()),
            std::multiset<std::string>(queued.begin(), queued.end()));
  const std::regex date("d=\"(\\d+)-(\\d+)-(\\d+) (\\d+):(\\d+):(\\d+)\"");
  int64_t previous = -1;
  for (const auto& line : queued) {
    std::smatch m;
    ASSERT_TRUE(std::regex_search(line, m, date)) << line;
    const int64_t second = std::stoll(m[4]) * 3600 + std::stoll(m[5]) * 60 + std::stoll(m[6]);
    if (previous >= 0) {
      EXPECT_GE(second - previous, 10) << line;
    }
    previous = second;
  }

  // The recording, replayed through the facade's log path, gives the live positions.
  std::optional<platform::Error> replayError;
  const uint64_t records = s.core->_startNavigateByLog(fs::path(recorded).filename().string(), &replayError);
  ASSERT_FALSE(replayError) << replayError->localizedDescription;
  ASSERT_GT(records, 10u);
  auto logs = s.managers.logManager;
  Track replayed;
  while (logs->navigate()) {
    pt::advance(0.1);
    if (logs->navigate()) replayed.push_back(Of(*s.core->deviceInfo()));
  }
  // Every recorded tick but the closing record is replayed.
  EXPECT_EQ(replayed.size() + 1, records);
  EXPECT_EQ(live.size() + 1, records);
  double worst = 0;
  EXPECT_GT(Compare(live, replayed, &worst), live.size() / 2);
  EXPECT_LE(worst, 1e-3);

  // The engine's replay tool reads the SDK's log and finds the same positions.
  replay::ReplayOptions ro;
  ro.mapPath = (platform::Paths::documents() / name / "map.mvz").string();
  ro.logPath = recorded;
  ro.progress = false;
  replay::ReplayReport report;
  ASSERT_EQ(replay::RunReplay(ro, &report, &error), 0) << error;
  EXPECT_EQ(report.badRecords, 0);
  EXPECT_EQ(uint64_t(report.records), records);
  Track tool;
  for (const auto& t : report.ticks)
    tool.push_back(t.rc == 0 ? std::optional<Position>(Position{t.floorId, t.x, t.y}) : std::nullopt);
  worst = 0;
  EXPECT_GT(Compare(live, tool, &worst), live.size() / 2);
  EXPECT_LE(worst, 1e-3);
}

}  // namespace
