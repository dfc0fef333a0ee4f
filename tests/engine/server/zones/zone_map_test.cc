#include <cmath>
#include <cstdio>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "server/zones/zones.h"

namespace {

const char* kConfig =
    "<Location id=\"42\" name=\"Mall\">\n"
    "  <Sublocation id=\"1\" name=\"Ground\"><Metrics width_meters=\"100\" height_meters=\"50\"/></Sublocation>\n"
    "  <Sublocation id=\"2\" name=\"First\"><Metrics width_meters=\"1\" height_meters=\"2\"/>"
    "<Metrics width_meters=\"80\" height_meters=\"40\"/></Sublocation>\n"
    "</Location>\n";

const char* kZones =
    "<?xml version=\"1.0\"?>\n"
    "<Location id=\"999\">\n"
    "  <Sublocation id=\"1\">\n"
    "    <Zone id=\"7\" name=\"Cafe\" color=\"#ff0000\" alias=\"cafe\" timeout=\"30\" type=\"polygon\">\n"
    "      <Polygon><Vertex kx=\"0.1\" ky=\"0.1\"/><Vertex kx=\"0.2\" ky=\"0.1\"/>"
    "<Vertex kx=\"0.2\" ky=\"0.2\"/><Vertex kx=\"0.1\" ky=\"0.2\"/></Polygon>\n"
    "    </Zone>\n"
    "    <Zone id=\"3\" name=\"Hall\"><Polygon><Vertex kx=\"0\" ky=\"0\"/><Vertex kx=\"0.5\" ky=\"0\"/>"
    "<Vertex kx=\"0.5\" ky=\"0.5\"/><Vertex ky=\"0.5\"/></Polygon></Zone>\n"
    "    <Zone id=\"7\" name=\"Duplicate\"><Polygon><Vertex kx=\"0.9\" ky=\"0.9\"/></Polygon></Zone>\n"
    "  </Sublocation>\n"
    "  <Sublocation id=\"2\"/>\n"
    "</Location>\n";

ZoneMap ParseGood() {
  std::string error;
  bool ok = false;
  ZoneMap map = ZoneMap::parse(kConfig, kZones, &error, &ok);
  EXPECT_TRUE(ok) << error;
  return map;
}

TEST(ZoneMapParse, ReadsFloorsZonesAndVertices) {
  const ZoneMap map = ParseGood();
  EXPECT_EQ(map.getLocation(), 42);
  const ZoneMap::SubLocation f2 = map.getSubLocation(2);
  EXPECT_DOUBLE_EQ(f2.width, 80.0);  // the last Metrics element wins
  EXPECT_DOUBLE_EQ(f2.height, 40.0);
  EXPECT_TRUE(f2.zones.empty());

  const std::vector<Zone> zones = map.getZones(1);
  ASSERT_EQ(zones.size(), 2u);
  EXPECT_EQ(zones[0].id, 3);  // id order, not file order
  EXPECT_EQ(zones[1].id, 7);
  const Zone cafe = map.getZone(1, 7);
  EXPECT_EQ(cafe.name, "Cafe");  // the first of two zones with one id stays
  EXPECT_EQ(cafe.color, "#ff0000");
  EXPECT_EQ(cafe.alias, "cafe");
  EXPECT_EQ(cafe.timeout, 30);
  ASSERT_EQ(cafe.points.size(), 4u);
  EXPECT_EQ(cafe.points[2].subLoc, 1);
  EXPECT_DOUBLE_EQ(cafe.points[2].x, 20.0);
  EXPECT_DOUBLE_EQ(cafe.points[2].y, 10.0);
  const Zone hall = map.getZone(1, 3);
  EXPECT_EQ(hall.timeout, 0);
  EXPECT_DOUBLE_EQ(hall.points[3].x, 0.0);  // missing kx reads as 0
  EXPECT_DOUBLE_EQ(hall.points[3].y, 25.0);
}

TEST(ZoneMapLookup, PointQueriesAndMissingFloorsAndZones) {
  const ZoneMap map = ParseGood();
  // (15, 7) lies in both zones; (40, 20) only in the hall; (50, 25) on the
  // hall's corner; (60, 40) in none.
  std::vector<Zone> hit = map.getZones(1, 15, 7);
  ASSERT_EQ(hit.size(), 2u);
  EXPECT_EQ(hit[0].id, 3);
  EXPECT_EQ(hit[1].id, 7);
  hit = map.getZones(LocationPoint(1, 40, 20));
  ASSERT_EQ(hit.size(), 1u);
  EXPECT_EQ(hit[0].id, 3);
  EXPECT_EQ(map.getZones(1, 50, 25).size(), 1u);
  EXPECT_TRUE(map.getZones(1, 60, 40).empty());
  EXPECT_TRUE(map.getZones(2, 15, 15).empty());

  for (int id : {0, -1, 5}) {
    EXPECT_TRUE(map.getZones(id, 15, 15).empty());
    EXPECT_TRUE(map.getZones(id).empty());
    EXPECT_EQ(map.getSubLocation(id).id, 0);
  }
  const Zone none = map.getZone(1, 8);
  EXPECT_EQ(none.id, 0);
  EXPECT_TRUE(none.name.empty() && none.points.empty());
  EXPECT_EQ(map.getZone(9, 7).id, 0);
  EXPECT_TRUE(ZoneMap().getZones(1, 0, 0).empty());
}

TEST(ZoneMapBuild, FloorsKeepTheFirstAndClearEmpties) {
  ZoneMap map;
  EXPECT_TRUE(map.isEmpty());
  EXPECT_EQ(map.getLocation(), 0);
  map.setLocation(5);
  ZoneMap::SubLocation a(3, 10, 20);
  Zone z;
  z.id = 1;
  EXPECT_TRUE(a.addZone(z));
  z.name = "other";
  EXPECT_FALSE(a.addZone(z));
  EXPECT_EQ(a.zones.at(1).name, "");
  map.addSubLocation(a);
  map.addSubLocation(ZoneMap::SubLocation(3, 99, 99));
  EXPECT_DOUBLE_EQ(map.getSubLocation(3).width, 10.0);
  const ZoneMap copy(map);
  map.clear();
  EXPECT_TRUE(map.isEmpty());
  EXPECT_EQ(map.getLocation(), 0);
  EXPECT_EQ(copy.getLocation(), 5);
  EXPECT_EQ(copy.getZones(3).size(), 1u);
}

struct ParseCase {
  const char* config;
  const char* zones;
  const char* error;
};

TEST(ZoneMapParse, MalformedMembersGiveTheirErrorTexts) {
  const char* good = "<Location id=\"1\"><Sublocation id=\"1\"><Metrics width_meters=\"10\" height_meters=\"10\"/></Sublocation></Location>";
  const ParseCase cases[] = {
      {"", "<Location/>", "config.xml: no <Location> element!"},
      {"<Loc id=\"1\"/>", "<Location/>", "config.xml: no <Location> element!"},
      {"<Location id=\"1\"", "<Location/>", "config.xml: no <Location> element!"},
      {"<Location/>", "<Location/>", "config.xml: invalid location id!"},
      {"<Location id=\"abc\"/>", "<Location/>", "config.xml: invalid location id!"},
      {"<Location id=\"1\"><Sublocation/></Location>", "<Location/>",
       "config.xml: invalid sublocation id!"},
      {"<Location id=\"1\"><Sublocation id=\"2\"><Metrics width_meters=\"0.5\" height_meters=\"10\"/></Sublocation></Location>",
       "<Location/>", "config.xml: invalid sublocation size\n"},
      {"<Location id=\"1\"><Sublocation id=\"2\"/></Location>", "<Location/>",
       "config.xml: invalid sublocation size\n"},
      {"<Location id=\"1\"><Sublocation id=\"2\"><Metrics width_meters=\"nan\" height_meters=\"10\"/></Sublocation></Location>",
       "<Location/>", "config.xml: invalid sublocation size\n"},
      {"<Location id=\"1\"><Sublocation id=\"2\"><Metrics width_meters=\"10\" height_meters=\"inf\"/></Sublocation></Location>",
       "<Location/>", "config.xml: invalid sublocation size\n"},
      {good, "", "zones.xml: no Location element!\n"},
      {good, "<Zones/>", "zones.xml: no Location element!\n"},
      {good, "<Location><Sublocation id=\"x\"/></Location>", "zones.xml: invalid sublocation id!"},
      {good, "<Location><Sublocation id=\"7\"/></Location>", "zones.xml: unknown sublocation: 7!"},
      {good, "<Location><Sublocation id=\"1\"><Zone id=\"0\"/></Sublocation></Location>",
       "zones.xml: invalid zone identifier (sublocation 1)!"},
      {good, "<Location><Sublocation id=\"1\"><Zone name=\"x\"/></Sublocation></Location>",
       "zones.xml: invalid zone identifier (sublocation 1)!"},
  };
  for (const ParseCase& c : cases) {
    std::string error;
    bool ok = true;
    const ZoneMap map = ZoneMap::parse(c.config, c.zones, &error, &ok);
    EXPECT_FALSE(ok) << c.config << " / " << c.zones;
    EXPECT_EQ(error, c.error) << c.config << " / " << c.zones;
    EXPECT_TRUE(map.isEmpty());
    EXPECT_EQ(map.getLocation(), 0);
  }
  // Nesting beyond what the XML reader accepts is a plain parse failure.
  std::string deep;
  for (int i = 0; i < 20000; ++i) deep += "<Location id=\"1\">";
  std::string error;
  EXPECT_FALSE(ZoneMap().parseConfig(deep, &error));
  EXPECT_EQ(error, "config.xml: no <Location> element!");
  EXPECT_TRUE(ZoneMap::parse(good, deep, &error, nullptr).isEmpty());
  EXPECT_EQ(error, "zones.xml: no Location element!\n");
  // Without error text or flag a failure is still an empty map.
  EXPECT_TRUE(ZoneMap::parse("<x/>", "", nullptr, nullptr).isEmpty());
}

TEST(ZoneMapParse, SizeErrorIsAppendedAndEarlierReadsStay) {
  ZoneMap map;
  std::string error = "before: ";
  EXPECT_FALSE(map.parseConfig(
      "<Location id=\"4\"><Sublocation id=\"1\"><Metrics width_meters=\"10\" height_meters=\"10\"/></Sublocation>"
      "<Sublocation id=\"2\"><Metrics width_meters=\"10\" height_meters=\"0\"/></Sublocation></Location>",
      &error));
  EXPECT_EQ(error, "before: config.xml: invalid sublocation size\n");
  EXPECT_EQ(map.getLocation(), 4);
  EXPECT_EQ(map.getSubLocation(1).id, 1);
  EXPECT_EQ(map.getSubLocation(2).id, 0);

  EXPECT_FALSE(map.parseZones(
      "<Location><Sublocation id=\"1\"><Zone id=\"2\"/></Sublocation><Sublocation id=\"3\"/></Location>",
      nullptr));
  EXPECT_EQ(map.getZone(1, 2).id, 2);
}

TEST(ZoneMapWrite, ExactTextForm) {
  ZoneMap map;
  map.setLocation(12);
  ZoneMap::SubLocation floor(2, 20, 10);
  Zone z;
  z.id = 5;
  z.name = "Shop";
  z.color = "#00ff00";
  z.alias = "s";
  z.timeout = 9;
  z.points = {LocationPoint(2, 2, 1), LocationPoint(2, 10, 5)};
  floor.addZone(z);
  map.addSubLocation(floor);
  map.addSubLocation(ZoneMap::SubLocation(1, 5, 5));
  const std::string expected =
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Location id=\"12\">\n"
      "  <Sublocation id=\"1\">\n  </Sublocation>\n"
      "  <Sublocation id=\"2\">\n"
      "    <Zone id=\"5\" name=\"Shop\" color=\"#00ff00\" alias=\"s\" timeout=\"9\" type=\"polygon\">\n"
      "      <Polygon>\n"
      "        <Vertex kx=\"0.100000\" ky=\"0.100000\"/>\n"
      "        <Vertex kx=\"0.500000\" ky=\"0.500000\"/>\n"
      "      </Polygon>\n    </Zone>\n"
      "  </Sublocation>\n</Location>\n";
  EXPECT_EQ(map.toString(), expected);

  std::FILE* f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  map.print(f);
  std::rewind(f);
  std::string printed;
  char buf[256];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) printed.append(buf, n);
  std::fclose(f);
  EXPECT_EQ(printed, expected);
  map.print(nullptr);  // no stream, no crash
}

// The writer's output, read back against the matching config, gives the same
// zones: vertices to 1e-6 of the floor size, texts exactly, whatever they hold.
TEST(ZoneMapWrite, WrittenZonesReadBackEqual) {
  std::mt19937 rng(20261206);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const std::string alphabet = "aZ09 &<>\"'\t\n\r\x01\x1f\xff;=/!?#-\xc3\xa9";
  auto randomText = [&](size_t len) {
    std::string s;
    for (size_t i = 0; i < len; ++i) s += alphabet[rng() % alphabet.size()];
    return s;
  };

  ZoneMap map;
  map.setLocation(77);
  std::string config = "<Location id=\"77\">";
  for (int f = 1; f <= 3; ++f) {
    ZoneMap::SubLocation floor(f, 10.0 + 37.5 * f, 5.0 + 11.25 * f);
    char buf[200];
    std::snprintf(buf, sizeof buf,
                  "<Sublocation id=\"%d\"><Metrics width_meters=\"%.17g\" height_meters=\"%.17g\"/></Sublocation>",
                  f, floor.width, floor.height);
    config += buf;
    for (int z = 1; z <= 6; ++z) {
      Zone zone;
      zone.id = z * 3;
      zone.name = randomText(rng() % 12);
      zone.color = randomText(rng() % 8);
      zone.alias = randomText(rng() % 8);
      zone.timeout = static_cast<int>(rng() % 1000);
      const int nv = static_cast<int>(rng() % 7);
      for (int v = 0; v < nv; ++v)
        zone.points.emplace_back(f, unit(rng) * floor.width, unit(rng) * floor.height);
      floor.addZone(zone);
    }
    map.addSubLocation(floor);
  }
  config += "</Location>";
  map.addSubLocation(ZoneMap::SubLocation(4, 1, 1));
  config.insert(config.size() - 11,
                "<Sublocation id=\"4\"><Metrics width_meters=\"1\" height_meters=\"1\"/></Sublocation>");

  std::string error;
  bool ok = false;
  const ZoneMap back = ZoneMap::parse(config, map.toString(), &error, &ok);
  ASSERT_TRUE(ok) << error;
  EXPECT_EQ(back.getLocation(), 77);
  for (int f = 1; f <= 4; ++f) {
    const ZoneMap::SubLocation a = map.getSubLocation(f), b = back.getSubLocation(f);
    ASSERT_EQ(b.id, f);
    ASSERT_EQ(a.zones.size(), b.zones.size());
    for (const auto& [id, za] : a.zones) {
      const Zone zb = back.getZone(f, id);
      EXPECT_EQ(zb.id, za.id);
      EXPECT_EQ(zb.name, za.name);
      EXPECT_EQ(zb.color, za.color);
      EXPECT_EQ(zb.alias, za.alias);
      EXPECT_EQ(zb.timeout, za.timeout);
      ASSERT_EQ(zb.points.size(), za.points.size());
      for (size_t i = 0; i < za.points.size(); ++i) {
        EXPECT_EQ(zb.points[i].subLoc, f);
        EXPECT_NEAR(zb.points[i].x, za.points[i].x, 1e-6 * a.width);
        EXPECT_NEAR(zb.points[i].y, za.points[i].y, 1e-6 * a.height);
      }
    }
  }
  // Writing the read-back map gives the same text again.
  EXPECT_EQ(back.toString(), map.toString());
}

}  // namespace
