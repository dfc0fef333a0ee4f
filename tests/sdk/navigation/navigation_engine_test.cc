#include "Navigation/m_navigation_engine.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <fstream>

#include "replay/log_records.h"
#include "replay/replay_run.h"
#include "sdk/sdk_scene.h"

namespace {

using sdk_test::SharedScene;

std::unique_ptr<MNavigationEngine> Loaded(const std::string& path) {
  auto e = std::make_unique<MNavigationEngine>();
  std::optional<platform::Error> error;
  e->createNavigationClient(path, "replay", "", &error);
  EXPECT_FALSE(error) << error->localizedDescription;
  return e;
}

// The walk through MNavigationEngine gives the replay's positions bit for bit.
TEST(MNavigationEngineTest, WalkMatchesEngineReplayBitForBit) {
  const auto& s = SharedScene();
  replay::ReplayOptions o;
  o.mapPath = s.map;
  o.logPath = s.log;
  o.progress = false;
  replay::ReplayReport report;
  std::string error;
  ASSERT_EQ(replay::RunReplay(o, &report, &error), 0) << error;

  auto engine = Loaded(s.map);
  std::ifstream in(s.log);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto split = replay::SplitLogRecords(text);
  ASSERT_EQ(split.records.size(), report.ticks.size());
  int positioned = 0;
  for (size_t i = 0; i < split.records.size(); ++i) {
    bool ok = false;
    WScanMessage m = WScanMessage::parse(std::string(split.records[i]), &ok);
    ASSERT_TRUE(ok);
    std::optional<platform::Error> err;
    const replay::ReplayTick& t = report.ticks[i];
    ASSERT_EQ(engine->navigate(m, &err), t.rc) << "tick " << i;
    ASSERT_EQ(err.has_value(), t.rc != 0);
    if (t.floorId < 0) continue;
    ++positioned;
    ASSERT_EQ(m.outSubLocation, t.floorId) << "tick " << i;
    ASSERT_EQ(std::bit_cast<uint64_t>(m.outX), std::bit_cast<uint64_t>(t.x)) << "tick " << i;
    ASSERT_EQ(std::bit_cast<uint64_t>(m.outY), std::bit_cast<uint64_t>(t.y)) << "tick " << i;
  }
  EXPECT_GT(positioned, static_cast<int>(report.ticks.size()) / 2);
}

// The description carries the archive's identity, floors, images, beacons and zones.
TEST(MNavigationEngineTest, LocationInfoMatchesArchive) {
  const auto& s = SharedScene();
  auto engine = Loaded(s.map);
  auto info = engine->locationInfo();
  ASSERT_TRUE(info);
  const auto members = venuesim_test::ReadArchive(s.map);
  EXPECT_EQ(info->id, s.venue.setup.locationId);
  EXPECT_EQ(info->version, s.venue.setup.version);
  EXPECT_EQ(info->archiveFile, s.map);
  EXPECT_FALSE(info->modified);
  ASSERT_EQ(info->sublocations.size(), s.venue.floors.size());
  for (size_t f = 0; f < s.venue.floors.size(); ++f) {
    const auto& floor = s.venue.floors[f];
    const auto& sub = info->sublocations[f];
    EXPECT_EQ(sub.id, floor.id);
    EXPECT_EQ(sub.name, floor.name);
    EXPECT_EQ(sub.archiveFile, s.map);
    EXPECT_DOUBLE_EQ(sub.width, s.venue.setup.width);
    EXPECT_EQ(sub.pngFile, venuesim::Venue::ImageName(floor.id));
    const std::string& png = members.at(sub.pngFile);
    ASSERT_TRUE(sub.pngImage);
    EXPECT_EQ(*sub.pngImage, std::vector<uint8_t>(png.begin(), png.end()));
    EXPECT_FALSE(sub.svgImage);
    EXPECT_FALSE(sub.jpgImage);
    ASSERT_EQ(sub.beacons.size(), floor.beacons.size());
    for (size_t b = 0; b < floor.beacons.size(); ++b) {
      const auto& want = floor.beacons[b];
      const auto& got = sub.beacons[b];
      EXPECT_EQ(got.id, want.baseId);
      EXPECT_EQ(got.locationId, info->id);
      EXPECT_EQ(got.sublocationId, floor.id);
      EXPECT_NEAR(got.x, want.x, 1e-3);
      EXPECT_NEAR(got.kY, want.ky, 1e-6);
      EXPECT_EQ(got.major, want.major);
      EXPECT_EQ(got.minor, want.minor);
      EXPECT_EQ(got.uuid, want.uuid);
      EXPECT_EQ(got.status, want.status);
    }
    const auto& zones = s.venue.routes.floors[f].zones;
    ASSERT_EQ(sub.zones.size(), zones.size());
    for (size_t z = 0; z < zones.size(); ++z) {
      EXPECT_EQ(sub.zones[z].id, zones[z].id);
      EXPECT_EQ(sub.zones[z].name, zones[z].name);
      ASSERT_EQ(sub.zones[z].points.size(), zones[z].points.size());
      EXPECT_NEAR(sub.zones[z].points[0].x, zones[z].points[0].x, 1e-3);
      EXPECT_EQ(sub.zones[z].points[0].sublocationId, floor.id);
    }
  }
}

// Any beacon with an edit status marks the location modified; letter case
// counts. The map leaves deleted beacons out, so they never show.
TEST(MNavigationEngineTest, ModifiedFollowsBeaconStatus) {
  const struct {
    int floor;
    const char* status;
    bool modified;
  } cases[] = {{0, "mod", true}, {1, "new", true}, {1, "del", false}, {0, "MOD", false},
               {0, "modified", false}};
  int n = 0;
  for (const auto& c : cases) {
    const std::string path = sdk_test::ArchiveWithStatus(SharedScene(), c.floor, c.status,
                                                         "status" + std::to_string(n++) + ".mvz");
    auto info = Loaded(path)->locationInfo();
    ASSERT_TRUE(info);
    EXPECT_EQ(info->modified, c.modified) << c.status;
  }
}

TEST(MNavigationEngineTest, CreationFailuresReportCodesAndKeepOrDropState) {
  const auto& s = SharedScene();
  auto engine = Loaded(s.map);
  auto info = engine->locationInfo();
  auto graph = engine->graphEngine();
  std::optional<platform::Error> error;
  engine->createNavigationClient(s.dir.file("missing.mvz"), "id", "m", &error);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, 2);
  EXPECT_EQ(error->localizedDescription,
            "Archive does not exist at path: " + s.dir.file("missing.mvz") + ".");
  EXPECT_EQ(engine->locationInfo(), info);
  EXPECT_EQ(engine->graphEngine(), graph);
  EXPECT_TRUE(engine->client()->alive());

  // A file that is no archive, and an empty device id: the engine refuses both.
  std::ofstream(s.dir.file("junk.mvz")) << "not a zip";
  for (const auto& [path, id] : {std::pair{s.dir.file("junk.mvz"), std::string("id")},
                                 std::pair{s.map, std::string()}}) {
    error.reset();
    engine->createNavigationClient(path, id, "m", &error);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, 3);
    EXPECT_EQ(error->localizedDescription, "Invalid archive, some problems inside.");
    EXPECT_FALSE(engine->client());
  }
  // The graph engine made for the destroyed client does nothing any more.
  EXPECT_TRUE(graph->graphTags().empty());
  EXPECT_TRUE(graph->makeRouteFrom(1, 1, 1, 1, 5, 5).points.empty());
}

TEST(MNavigationEngineTest, CreatingOverALiveClientDestroysTheOldOne) {
  auto engine = Loaded(SharedScene().map);
  auto first = engine->client();
  engine->createNavigationClient(SharedScene().map, "replay", "", nullptr);
  EXPECT_FALSE(first->alive());
  EXPECT_TRUE(engine->client()->alive());
  EXPECT_NE(engine->client(), first);
}

TEST(MNavigationEngineTest, ClearedClientRefusesEverything) {
  auto engine = Loaded(SharedScene().map);
  auto graph = engine->graphEngine();
  engine->clearClient();
  EXPECT_FALSE(engine->client());
  EXPECT_FALSE(engine->graphEngine());
  EXPECT_FALSE(engine->locationInfo());
  WScanMessage m;
  std::optional<platform::Error> error;
  EXPECT_EQ(engine->navigate(m, &error), 31);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain, kMarvistoErrorDomain);
  EXPECT_EQ(error->localizedDescription, "NULL client");
  engine->enablePDR(1, 1, 1);  // nothing to switch, and no crash
  graph->addTatgetToSublocation(1, 2, 2);
  EXPECT_EQ(graph->getCurrentTag(), "");
  EXPECT_FALSE(graph->setGraphParameter({{"smooth_radius", "1"}}));
}

TEST(MGraphEngineTest, ParameterNameAndValueComeFromOnePair) {
  auto engine = Loaded(SharedScene().map);
  auto graph = engine->graphEngine();
  const auto tags = graph->graphTags();
  ASSERT_FALSE(tags.empty());
  graph->setCurrentTag(tags[0]);
  EXPECT_EQ(graph->getCurrentTag(), tags[0]);
  EXPECT_TRUE(graph->setGraphParameter({{"description", "east wing"}, {"smooth_radius", "-1"}}));
  EXPECT_EQ(graph->graphDescription(tags[0]), "east wing");
  EXPECT_FALSE(graph->setGraphParameter({}));
  EXPECT_FALSE(graph->setGraphParameter({{"smooth_radius", "-1"}}));
  // No graph with the current tag: refused, no route.
  graph->setCurrentTag("no such graph");
  EXPECT_FALSE(graph->setGraphParameter({{"description", "x"}}));
  EXPECT_EQ(graph->graphDescription(tags[0]), "east wing");
  EXPECT_TRUE(graph->makeRouteFrom(1, 5, 5, 1, 10, 5).points.empty());
}

TEST(MNavigationEngineTest, CoordinateConversions) {
  for (double azimuth : {0.0, 37.5, -120.0}) {
    auto local = MNavigationEngine::gpsToLocal(52.5, 13.4, azimuth, 52.5, 13.4);
    EXPECT_EQ(local["x"], 0.0);
    EXPECT_EQ(local["y"], 0.0);
    auto gps = MNavigationEngine::localToGps(52.5, 13.4, azimuth, 30.0, -12.0);
    auto back = MNavigationEngine::gpsToLocal(52.5, 13.4, azimuth, gps["latitude"], gps["longitude"]);
    EXPECT_NEAR(back["x"], 30.0, 1e-6);
    EXPECT_NEAR(back["y"], -12.0, 1e-6);
  }
  // Near a pole the engine refuses: the anchor itself, or the origin.
  auto gps = MNavigationEngine::localToGps(89.5, 10.0, 0.0, 30.0, 40.0);
  EXPECT_EQ(gps["latitude"], 89.5);
  EXPECT_EQ(gps["longitude"], 10.0);
  auto local = MNavigationEngine::gpsToLocal(-89.5, 10.0, 0.0, -89.4, 10.0);
  EXPECT_EQ(local["x"], 0.0);
  EXPECT_EQ(local["y"], 0.0);
}

}  // namespace
