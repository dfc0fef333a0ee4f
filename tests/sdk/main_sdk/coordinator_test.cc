#include "MainSDK/main_sdk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <chrono>
#include <future>
#include <cstdlib>
#include <regex>
#include <set>

#include "Device/mc_device.h"
#include "platform/paths.h"
#include "replay/log_records.h"
#include "replay/replay_run.h"
#include "sdk/coordinator_scene.h"
#include "server/zip_archive.h"
#include "venuesim/generator.h"
#include "venuesim/venue_archive.h"
#include "server/utils.h"

namespace {

using sdk_test::CoordinatorScene;
using sdk_test::SharedScene;

// Exits and entries one tick raises, from the zones of the ticks before and after.
void ExpectedZoneEvents(std::vector<int64_t>& inside, const std::vector<int64_t>& now,
                        std::vector<MCZoneEvent>& out) {
  std::vector<int64_t> kept;
  for (int64_t id : inside) {
    if (std::count(now.begin(), now.end(), id)) {
      kept.push_back(id);
    } else {
      out.push_back({false, id});
    }
  }
  for (int64_t id : now) {
    if (!std::count(kept.begin(), kept.end(), id)) {
      out.push_back({true, id});
      kept.push_back(id);
    }
  }
  inside = kept;
}

std::vector<replay::ReplayTick> EngineReplay() {
  replay::ReplayOptions o;
  o.mapPath = SharedScene().map;
  o.logPath = SharedScene().log;
  o.progress = false;
  replay::ReplayReport report;
  std::string error;
  EXPECT_EQ(replay::RunReplay(o, &report, &error), 0) << error;
  return report.ticks;
}

void Load(CoordinatorScene& c) {
  c.install("venue", SharedScene().map);
  std::optional<platform::Error> error;
  c.sdk->loadArchive("venue", &error);
  ASSERT_FALSE(error) << error->localizedDescription;
}

TEST(MainSDKTest, LogReplayThroughTheTickGivesTheEnginePositionsAndZoneEventsOnce) {
  CoordinatorScene c;
  Load(c);
  const auto infos = c.replay(SharedScene().log);
  const auto engine = EngineReplay();
  ASSERT_EQ(infos.size() + 1, engine.size());
  std::vector<int64_t> inside;
  std::vector<MCZoneEvent> expected;
  for (size_t i = 0; i < infos.size(); ++i) {
    ASSERT_EQ(infos[i]->sublocation, engine[i].floorId) << i;
    ASSERT_EQ(infos[i]->x, float(engine[i].x)) << i;
    ASSERT_EQ(infos[i]->y, float(engine[i].y)) << i;
    std::vector<int64_t> now;
    for (const auto& z : infos[i]->zones) now.push_back(z->id);
    ExpectedZoneEvents(inside, now, expected);
  }
  EXPECT_GE(expected.size(), 2u);
  EXPECT_EQ(c.heard.zones, expected);
  for (auto t : c.heard.threads) EXPECT_EQ(t, std::this_thread::get_id());
}

TEST(MainSDKTest, FailedLoadsKeepTheLocationAndReportTheirCode) {
  struct Case {
    const char* name;
    const char* bytes;  // null: no archive at all
    bool askForError;
    int64_t code;
  } cases[] = {{"absent", nullptr, true, 2}, {"broken", "not a zip", true, 3},
               {"broken-quiet", "PK\3\4 short", false, 3}, {"absent-quiet", nullptr, false, 2}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    CoordinatorScene c;
    Load(c);
    const int64_t id = c.sdk->location()->id;
    ASSERT_GT(id, 0);
    if (k.bytes) {
      c.install(k.name, SharedScene().map);
      std::ofstream(platform::Paths::documents() / k.name / "map.mvz") << k.bytes;
    }
    std::optional<platform::Error> error;
    c.sdk->loadArchive(k.name, k.askForError ? &error : nullptr);
    if (k.askForError) {
      ASSERT_TRUE(error);
      EXPECT_EQ(error->code, k.code);
    }
    EXPECT_EQ(c.sdk->location()->id, id);
    EXPECT_EQ(c.sdk->location()->sublocations.size(), 2u);
    c.sdk->mainNavigationQueue();
    const auto info = c.sdk->deviceInfo();
    // A missing archive leaves the client; a refused one has replaced it with none.
    ASSERT_TRUE(info->error);
    EXPECT_EQ(info->error->code == 31, k.code == 3);
  }
}

// A venue whose map check leaves no floor to position on still loads; every
// tick then fails with the reason's code and "No sublocations". A map without
// any floor never gets that far: the load refuses it.
TEST(MainSDKTest, AMapWithoutAUsableFloorLoadsAndEveryTickSaysWhy) {
  struct Case {
    const char* what;
    int method;
    std::function<void(venuesim::VenueFloor&)> spoil;
    bool noFloors;
    int64_t loadCode, tickCode;
  } cases[] = {
      {"no beacon on any floor of a venue placed by beacons", venuesim::kMethodTrilat,
       [](venuesim::VenueFloor& f) { f.beacons.clear(); }, false, 0, 8},
      {"fewer than 3 reference points on every floor", venuesim::kMethodKnn,
       [](venuesim::VenueFloor& f) { f.points.resize(2); }, false, 0, 7},
      {"beacons on a floor are no use to nearest neighbours", venuesim::kMethodKnn,
       [](venuesim::VenueFloor& f) { f.beacons.clear(); }, false, 0, 0},
      {"no floor at all", venuesim::kMethodKnn, nullptr, true, 3, 0},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    venuesim_test::TempDir dir;
    venuesim::VenueSpec plan = venuesim_test::SmallSpec(41);
    plan.method = k.method;
    venuesim::Venue venue;
    std::string text;
    ASSERT_EQ(venuesim::GenerateVenue(plan, &venue, &text), 0) << text;
    for (auto& floor : venue.floors)
      if (k.spoil) k.spoil(floor);
    ASSERT_EQ(venuesim::WriteVenueArchive(venue, dir.file("v.mvz"), &text), 0) << text;
    if (k.noFloors) {  // the location's description without its floors
      const std::string config = std::regex_replace(venuesim_test::ReadArchive(dir.file("v.mvz"))["config.xml"],
                                                    std::regex("<Sublocation[\\s\\S]*?</Sublocation>"), "");
      ASSERT_EQ(config.find("Sublocation"), std::string::npos);
      zip* z = ZipOpen(dir.file("v.mvz").c_str());
      ASSERT_NE(z, nullptr);
      ZipWriteBuffer(z, "config.xml", config.data(), int(config.size()));
      ZipClose(z);
    }
    CoordinatorScene c;
    c.install("venue", dir.file("v.mvz"));
    std::optional<platform::Error> error;
    c.sdk->loadArchive("venue", &error);
    EXPECT_EQ(error ? error->code : 0, k.loadCode);
    for (int tick = 0; tick < 3; ++tick) {
      c.sdk->mainNavigationQueue();
      const auto info = c.sdk->deviceInfo();
      ASSERT_TRUE(info->error);
      if (k.tickCode != 0) {
        EXPECT_EQ(info->error->code, k.tickCode);
        EXPECT_EQ(info->error->localizedDescription, "No sublocations");
      } else {
        EXPECT_NE(info->error->localizedDescription, "No sublocations");
      }
    }
  }
}

TEST(MainSDKTest, TicksNumberTheirMessagesAndStampTheClockTime) {
  CoordinatorScene c;
  Load(c);
  platform::Clock::setManual({1796474096, 789012});  // 2026-12-05 12:34:56.789012 UTC
  const std::string path = c.sdk->startSaveLogToFile();
  c.sdk->mainNavigationQueue();
  c.sdk->mainNavigationQueue();
  c.sdk->stopSaveLogToFile();
  std::ifstream in(path);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto records = replay::SplitLogRecords(text).records;
  ASSERT_EQ(records.size(), 3u);
  // Two ticks, then the closing record made between ticks: it names the device
  // and the time the same way, with the number the next tick would take.
  for (int i = 0; i < 3; ++i) {
    bool ok = false;
    const WScanMessage m = WScanMessage::parse(std::string(records[i]), &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(m.packetNumber, i);
    EXPECT_EQ(m.deviceType, 3);
    EXPECT_EQ(m.deviceId, c.sdk->managers().device->deviceId);
    EXPECT_EQ(std::vector<int>({m.tmYear, m.tmMonth, m.tmDay, m.tmHour, m.tmMinute, m.tmSecond,
                                m.tmMillisecond}),
              std::vector<int>({2026, 12, 5, 12, 34, 56, 789}));
  }
  EXPECT_EQ(c.sdk->packetNumber(), 2);
}

TEST(MainSDKTest, HostMayStopAndReloadFromInsideAZoneCallback) {
  CoordinatorScene c;
  Load(c);
  int entered = 0;
  c.delegate->didEnterZoneWithId = [&](MainSDK& sdk, int64_t) {
    ++entered;
    sdk.stopMarvisto();
    sdk.loadArchive("venue", nullptr);
  };
  auto done = std::async(std::launch::async, [&] { c.replay(SharedScene().log); });
  // The reload renders its floors on the main thread, which this one is.
  const auto ready = [&] { return done.wait_for(std::chrono::seconds(0)) == std::future_status::ready; };
  if (!platform::testing::pumpUntil(ready, 120)) {
    ADD_FAILURE() << "the tick deadlocked";
    std::_Exit(1);
  }
  EXPECT_GT(entered, 0);
}

// The host's standard output is the host's: the build version goes to the log.
TEST(MainSDKTest, InitialisationLogsItsBuildVersionAndLeavesStandardOutputAlone) {
  venuesim_test::TempDir dir;
  const std::string log = dir.file("marvisto_log.txt");
  testing::internal::CaptureStdout();
  {
    // A new settings manager names the log file and silences the SDK's files
    // until remote settings say otherwise.
    CoordinatorScene c([&](MainSDKManagers&) {
      _Logger.setLogFile(log);
      _Logger.setDebugLevel(1, "main_sdk.cc");
    });
  }
  const std::string out = testing::internal::GetCapturedStdout();
  _Logger.setLogFile("");
  _Logger.setDebugLevel(0, "main_sdk.cc");
  EXPECT_EQ(out.find("BUILD VERSION"), std::string::npos) << out;
  std::ifstream in(log);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find(std::string("BUILD VERSION: ") + MainSDK::kBuildVersion), std::string::npos);
}

TEST(MainSDKTest, RoutesToATargetCarryTurnsAndTheFloorChange) {
  CoordinatorScene c;
  Load(c);
  const auto& floors = c.sdk->location()->sublocations;
  const auto target = MCLocationPoint::pointWithLocation(c.sdk->location()->id, floors[1]->id,
                                                          floors[1]->width / 2, floors[1]->height / 2);
  const auto infos = c.replay(SharedScene().log, [&] { c.sdk->addTatget(*target); });
  // The first tick that places the device carries the route.
  const auto placed = std::find_if(infos.begin(), infos.end(), [](const auto& i) { return i->isValid(); });
  ASSERT_NE(placed, infos.end());
  const auto& first = *placed;
  ASSERT_EQ(first->paths.size(), 1u);
  std::set<int64_t> types;
  for (const auto& e : first->paths[0]->events) types.insert(e->type);
  EXPECT_TRUE(types.count(3));
  EXPECT_TRUE(types.count(1) || types.count(2));
  const auto asked = c.sdk->makeRouteFrom(*first->paths[0]->points.front(), *target);
  EXPECT_GT(asked->points.size(), 1u);
  EXPECT_TRUE(asked->events.empty());
}

}  // namespace
