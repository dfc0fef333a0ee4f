#include "Navigation/m_navigation_engine.h"

#include <gtest/gtest.h>

#include <bit>
#include <filesystem>
#include <fstream>

#include "MCModels/mc_location.h"
#include "MCModels/mc_location_point.h"
#include "replay/log_records.h"
#include "server/zip_archive.h"
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

// The walk through MNavigationEngine gives the engine replay's positions bit for bit.
TEST(MNavigationEngineTest, WalkMatchesEngineReplayBitForBit) {
  const auto& s = SharedScene();
  replay::ReplayOptions o;
  o.mapPath = s.map, o.logPath = s.log, o.progress = false;
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
  auto info = Loaded(s.map)->locationInfo();
  ASSERT_TRUE(info);
  const auto members = venuesim_test::ReadArchive(s.map);
  EXPECT_EQ(info->id, s.venue.setup.locationId);
  EXPECT_EQ(info->version, s.venue.setup.version);
  EXPECT_FALSE(info->modified);
  ASSERT_EQ(info->sublocations.size(), s.venue.floors.size());
  for (size_t f = 0; f < s.venue.floors.size(); ++f) {
    const auto& floor = s.venue.floors[f];
    const auto& sub = info->sublocations[f];
    EXPECT_EQ(sub.id, floor.id);
    EXPECT_EQ(sub.archiveFile, s.map);
    EXPECT_DOUBLE_EQ(sub.width, s.venue.setup.width);
    const std::string& png = members.at(venuesim::Venue::ImageName(floor.id));
    ASSERT_TRUE(sub.pngImage);
    EXPECT_EQ(*sub.pngImage, std::vector<uint8_t>(png.begin(), png.end()));
    EXPECT_FALSE(sub.svgImage || sub.jpgImage);
    ASSERT_EQ(sub.beacons.size(), floor.beacons.size());
    for (size_t b = 0; b < floor.beacons.size(); ++b) {
      const auto& want = floor.beacons[b];
      const auto& got = sub.beacons[b];
      EXPECT_EQ(got.id, want.baseId);
      EXPECT_EQ(got.sublocationId, floor.id);
      EXPECT_NEAR(got.x, want.x, 1e-3);
      EXPECT_NEAR(got.kY, want.ky, 1e-6);
      EXPECT_EQ(got.minor, want.minor);
      EXPECT_EQ(got.status, want.status);
    }
    const auto& zones = s.venue.routes.floors[f].zones;
    ASSERT_EQ(sub.zones.size(), zones.size());
    for (size_t z = 0; z < zones.size(); ++z) {
      EXPECT_EQ(sub.zones[z].name, zones[z].name);
      ASSERT_EQ(sub.zones[z].points.size(), zones[z].points.size());
      EXPECT_NEAR(sub.zones[z].points[0].y, zones[z].points[0].y, 1e-3);
    }
  }
}

// Any beacon with an edit status marks the location modified; letter case
// counts. The map leaves deleted beacons out, so they never show.
TEST(MNavigationEngineTest, ModifiedFollowsBeaconStatus) {
  const auto& s = SharedScene();
  const std::tuple<int, const char*, bool> cases[] = {
      {0, "mod", true}, {1, "new", true}, {1, "del", false}, {0, "MOD", false}};
  for (const auto& [floor, status, modified] : cases) {
    venuesim::Venue v = s.venue;
    v.floors.at(floor).beacons.at(0).status = status;
    const std::string path = s.dir.file(std::string(status) + ".mvz");
    std::string error;
    ASSERT_EQ(venuesim::WriteVenueArchive(v, path, &error), 0) << error;
    EXPECT_EQ(Loaded(path)->locationInfo()->modified, modified) << status;
  }
}

TEST(MNavigationEngineTest, ClientLifeThroughFailuresAndClear) {
  const auto& s = SharedScene();
  auto engine = Loaded(s.map);
  auto first = engine->client();
  auto info = engine->locationInfo();
  auto graph = engine->graphEngine();
  std::optional<platform::Error> error;
  engine->createNavigationClient(s.dir.file("missing.mvz"), "id", "m", &error);
  EXPECT_EQ(error->code, 2);
  EXPECT_EQ(error->localizedDescription, "Archive does not exist at path: " + s.dir.file("missing.mvz") + ".");
  EXPECT_TRUE(engine->locationInfo() == info && engine->graphEngine() == graph && first->alive());

  // Over a live client the old one is destroyed first; its graph engine goes quiet.
  engine->createNavigationClient(s.map, "replay", "", nullptr);
  EXPECT_FALSE(first->alive());
  EXPECT_TRUE(graph->graphTags().empty());
  EXPECT_TRUE(graph->makeRouteFrom(1, 1, 1, 1, 5, 5).points.empty());

  std::ofstream(s.dir.file("junk.mvz")) << "not a zip";
  for (const auto& [path, id] : {std::pair{s.dir.file("junk.mvz"), "id"}, std::pair{s.map, ""}}) {
    engine->createNavigationClient(path, id, "m", &error);
    EXPECT_EQ(error->code, 3);
    EXPECT_EQ(error->localizedDescription, "Invalid archive, some problems inside.");
    EXPECT_FALSE(engine->client() || engine->graphEngine() || engine->locationInfo());
  }
  WScanMessage m;
  EXPECT_EQ(engine->navigate(m, &error), 31);
  EXPECT_EQ(error->domain, kMarvistoErrorDomain);
  EXPECT_EQ(error->localizedDescription, "NULL client");
  engine->enablePDR(1, 1, 1);
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
  graph->setCurrentTag("no such graph");
  EXPECT_FALSE(graph->setGraphParameter({{"description", "x"}}));
  EXPECT_EQ(graph->graphDescription(tags[0]), "east wing");
  EXPECT_TRUE(graph->makeRouteFrom(1, 5, 5, 1, 10, 5).points.empty());
  engine->clearClient();
  EXPECT_EQ(graph->getCurrentTag(), "");
  EXPECT_FALSE(graph->setGraphParameter({{"description", "x"}}));
}

// Map texts and graph results reach the host as UTF-8: a venue named with
// bytes that are no UTF-8 (an 8-bit letter, a stray 0xFF) gives replacement
// characters, never the raw bytes.
TEST(MNavigationEngineTest, TextsReachTheHostAsUtf8) {
  const auto& s = SharedScene();
  const std::string path = s.dir.file("bytes.mvz");
  std::filesystem::copy_file(s.map, path, std::filesystem::copy_options::overwrite_existing);
  auto members = venuesim_test::ReadArchive(path);
  const auto swap = [&](const std::string& member, const std::string& from, const std::string& to) {
    std::string& text = members.at(member);
    const size_t at = text.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    text.replace(at, from.size(), to);
  };
  swap("config.xml", "name=\"Synthetic venue\"", "name=\"Caf\xE9\xFF\"");
  swap("config.xml", "name=\"Floor 1\"", "name=\"Fl\xC3\xB6r \xFF\"");
  zip* z = ZipOpen(path.c_str());
  ASSERT_TRUE(z);
  const std::string& config = members.at("config.xml");
  ASSERT_EQ(ZipWriteBuffer(z, "config.xml", config.data(), int(config.size())), 0);
  ASSERT_EQ(ZipClose(z), 0);

  auto engine = Loaded(path);
  const auto info = engine->locationInfo();
  ASSERT_TRUE(info);
  auto graph = engine->graphEngine();
  const std::string tag = graph->graphTags().at(0);
  graph->setCurrentTag(tag);
  ASSERT_TRUE(graph->setGraphParameter({{"description", "Caf\xE9 \xFF"}}));
  graph->setCurrentTag("\xE9\xFF");
  const std::string r = "\xEF\xBF\xBD";
  const std::pair<std::string, std::string> cases[] = {
      {info->name, "Caf" + r + r},
      {info->sublocations.at(0).name, "Fl\xC3\xB6r " + r},
      {graph->graphDescription(tag), "Caf" + r + " " + r},
      {graph->getCurrentTag(), r + r},
  };
  for (const auto& [got, want] : cases) EXPECT_EQ(got, want);
}

}  // namespace

// The host's conversions agree with a floor's own, both ways, for any turn of
// the floor; near a pole the engine gives the anchor back.
TEST(MNavigationEngineTest, ConversionsAgreeWithTheFloors) {
  struct Row {
    double latitude, longitude, azimuth, x, y;
  };
  const Row rows[] = {{52.52, 13.40, 0, 10, 5},     {52.52, 13.40, 90, 10, 5},  {-33.9, 151.2, -45, 3, 40},
                      {0.0, 0.0, 180, 60, 30},      {60.0, -120.0, 33, 0, 0}};
  for (const Row& r : rows) {
    MCSublocation sub;
    sub.latitude = r.latitude;
    sub.longitude = r.longitude;
    sub.azimuth = r.azimuth;
    sub.width = 60;
    sub.height = 30;
    const auto viaFloor = sub.gpsFromLocal(*MCLocationPoint::pointWithLocation(1, 1, MCNumber(r.x), MCNumber(r.y)));
    const auto gps = MNavigationEngine::localToGps(r.latitude, r.longitude, r.azimuth, r.x - 30, r.y - 15);
    EXPECT_DOUBLE_EQ(gps.at("latitude"), viaFloor->latitude) << r.azimuth;
    EXPECT_DOUBLE_EQ(gps.at("longitude"), viaFloor->longitude) << r.azimuth;
    const auto back = MNavigationEngine::gpsToLocal(r.latitude, r.longitude, r.azimuth, gps.at("latitude"),
                                                    gps.at("longitude"));
    EXPECT_NEAR(back.at("x"), r.x - 30, 1e-6) << r.azimuth;
    EXPECT_NEAR(back.at("y"), r.y - 15, 1e-6) << r.azimuth;
  }
  const auto pole = MNavigationEngine::localToGps(89.5, 10, 0, 100, 100);
  EXPECT_EQ(pole.at("latitude"), 89.5);
  EXPECT_EQ(pole.at("longitude"), 10);
  const auto poleBack = MNavigationEngine::gpsToLocal(89.5, 10, 0, 89.6, 11);
  EXPECT_EQ(poleBack.at("x"), 0);
  EXPECT_EQ(poleBack.at("y"), 0);
}
